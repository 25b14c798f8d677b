// brasquet's entry points as a COM in-process server: the library entry point,
// which keeps the process-wide lock for the library's whole stay in the
// process and stops the motors when the process ends, and the two exports
// that DirectInput and COM call.
#include "ffdriver/class_factory.h"
#include "ffdriver/effect_driver.h"
#include "ffdriver/effect_driver_object.h"
#include "ffdriver/module_count.h"

#include "common/class_ids.h"

#include <windows.h>

#include <new>

BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD dwReason, LPVOID lpReserved)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        CreateProcessLock();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        if (lpReserved) {
            // The process is ending, and many games end it without releasing
            // DirectInput: every other thread is gone, Rumble Threads
            // included, before their last report. Each bound controller gets
            // its stop here, or it rumbles on at the last strength. The lock
            // is neither taken (a thread may have been ended inside a pass
            // that held it) nor deleted: another library's detach may still
            // release a driver.
            StopBoundDevices();
        } else {
            // FreeLibrary: nothing of the library is left, since each Rumble
            // Thread holds the library until it has ended.
            DeleteProcessLock();
        }
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    if (!IsEqualCLSID(rclsid, CLSID_EffectDriver)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* pFactory = new (std::nothrow) ClassFactory;
    if (!pFactory) return E_OUTOFMEMORY;
    // Every call hands out a factory of its own, holding only the caller's
    // reference; an unknown interface destroys it at once.
    const HRESULT hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return hr;
}

// Not while a class factory, an Effect Driver or a server lock lives. A
// Rumble Thread outlives its driver by a few lines, under a reference of its
// own to the library, which an unload here cannot take away.
STDAPI DllCanUnloadNow()
{
    return ModuleCount() == 0 ? S_OK : S_FALSE;
}
