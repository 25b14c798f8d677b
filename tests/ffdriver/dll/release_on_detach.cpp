// release_on_detach.dll: a library that gives up an Effect Driver from its
// DLL_PROCESS_DETACH, as plugin hosts and overlays do from DllMain or from a
// global destructor while FreeLibrary unloads them: under the loader lock.
#include <windows.h>
#include <unknwn.h>

namespace {
IUnknown* g_pDriver = nullptr;
HMODULE g_hLibrary = nullptr;
} // namespace

// Takes over the caller's reference to pDriver and, unless null, to the
// library hLibrary that serves it, freed after the driver. Plain C, so that
// the name is the same for every ABI.
extern "C" __declspec(dllexport) void ReleaseOnDetach(IUnknown* pDriver, HMODULE hLibrary)
{
    g_pDriver = pDriver;
    g_hLibrary = hLibrary;
}

BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD dwReason, LPVOID /*lpReserved*/)
{
    if (dwReason == DLL_PROCESS_DETACH && g_pDriver) {
        g_pDriver->Release();
        g_pDriver = nullptr;
        if (g_hLibrary) FreeLibrary(g_hLibrary);
        g_hLibrary = nullptr;
    }
    return TRUE;
}
