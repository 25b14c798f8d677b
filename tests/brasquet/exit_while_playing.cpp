// exit_while_playing.exe DEVICE EVENT: a game that ends without releasing
// DirectInput. It binds an Effect Driver of the brasquet.dll beside it to
// the controller at DEVICE, plays a constant force of 10000, and once the
// named event EVENT is set (the controller has seen full strength) calls
// ExitProcess with the driver still bound and playing.
#include "driver_activation.h"
#include "effect_downloads.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 2;
    HANDLE hPlaying = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (!hPlaying) return 3;
    DriverLoader loader(false, DefaultDriverPath());
    IDirectInputEffectDriver* pDriver = nullptr;
    if (FAILED(loader.Load()) || FAILED(loader.Create(&pDriver))) return 4;
    DIHIDFFINITINFO init = {};
    init.dwSize = sizeof(init);
    init.pwszDeviceInterface = argv[1];
    if (FAILED(pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init))) return 5;
    DownloadConstant(pDriver, 10000, DIEP_START);
    if (WaitForSingleObject(hPlaying, 30000) != WAIT_OBJECT_0) return 6;
    ExitProcess(0);
}
