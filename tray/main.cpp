// Entry of the tray program. The command line and the show state are not
// used: the program takes its configuration from the registry only and never
// shows its window.
#include "tray/app_shell.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    return RunTrayProgram(hInstance);
}
