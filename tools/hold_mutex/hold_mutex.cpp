// hold_mutex MUTEX_NAME READY_EVENT_NAME
// Creates the mutex owned, signals the ready event, then holds the mutex until
// the test ends the process.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 2;
    HANDLE hMutex = CreateMutexW(nullptr, TRUE, argv[1]);
    if (!hMutex) return 1;
    HANDLE hReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (hReady) {
        SetEvent(hReady);
        CloseHandle(hReady);
    }
    Sleep(INFINITE);
    return 0;
}
