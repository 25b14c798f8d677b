// exit_while_playing.exe DEVICE EVENT [unload]: a game that ends without
// releasing DirectInput. It binds an Effect Driver of the brasquet.dll beside
// it to the controller at DEVICE, plays a constant force of 10000, and once
// the named event EVENT is set (the controller has seen full strength) calls
// ExitProcess with the driver still bound and playing.
// With "unload", the game instead frees a plugin (release_on_detach.dll) that
// gave up the driver and brasquet.dll's last reference from its
// DLL_PROCESS_DETACH, waits until the library is gone and its Rumble Thread
// has ended, and only then returns 0: a thread that ran on in the unmapped
// library crashes the process first.
#include "driver_harness.h"

#include <windows.h>

#include <set>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) return 2;
    const bool fUnload = argc == 4 && lstrcmpW(argv[3], L"unload") == 0;
    HANDLE hPlaying = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (!hPlaying) return 3;
    HMODULE hLibrary = LoadLibraryW(DefaultDriverPath().c_str());
    IDirectInputEffectDriver* pDriver = nullptr;
    HANDLE hRumbleThread = nullptr;
    {
        DriverLoader loader(false, DefaultDriverPath());
        if (!hLibrary || FAILED(loader.Load()) || FAILED(loader.Create(&pDriver))) return 4;
        DIHIDFFINITINFO init = {sizeof(init)};
        init.pwszDeviceInterface = argv[1];
        const std::set<DWORD> before = ThreadIds();
        if (FAILED(pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init))) return 5;
        for (DWORD id : ThreadIds()) {
            if (!before.count(id)) hRumbleThread = OpenThread(SYNCHRONIZE, FALSE, id);
        }
        DownloadConstant(pDriver, 10000, DIEP_START);
        if (WaitForSingleObject(hPlaying, 30000) != WAIT_OBJECT_0) return 6;
        if (!fUnload) ExitProcess(0);
    }
    // The loader's reference is gone: the plugin holds the only one left
    // besides the Rumble Thread's own.
    HMODULE hPlugin = LoadLibraryW(L"release_on_detach.dll");
    auto pfnReleaseOnDetach = reinterpret_cast<void (*)(IUnknown*, HMODULE)>(
        reinterpret_cast<void*>(GetProcAddress(hPlugin, "ReleaseOnDetach")));
    if (!pfnReleaseOnDetach || !hRumbleThread) return 7;
    pfnReleaseOnDetach(pDriver, hLibrary);
    FreeLibrary(hPlugin);
    if (WaitForSingleObject(hRumbleThread, 10000) != WAIT_OBJECT_0) return 8;
    for (int i = 0; i < 100 && GetModuleHandleW(L"brasquet.dll"); ++i)
        Sleep(50);
    return GetModuleHandleW(L"brasquet.dll") ? 9 : 0;
}
