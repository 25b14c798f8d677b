// In-process COM server of the stand-in component: class factory, the COM
// exports and self-registration under HKEY_LOCAL_MACHINE.
#include "tools/tovarin_standin/prop_sheet_component.h"

#include "common/class_ids.h"
#include "tools/tovarin_standin/standin_behaviour.h"

#include <olectl.h>

#include <new>

HINSTANCE g_hModule;
LONG g_cObjects;
DWORD g_dwBehaviour = STANDIN_NORMAL;

namespace {

#define CLSID_KEY_PATH L"Software\\Classes\\CLSID\\" CLSID_PROPERTY_SHEET_COMPONENT_STRING

class ClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory per module: its count does not keep anything alive.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        auto* pComponent = new (std::nothrow) PropSheetComponent();
        if (!pComponent) return E_OUTOFMEMORY;
        const HRESULT hr = pComponent->QueryInterface(riid, ppv);
        pComponent->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            InterlockedIncrement(&g_cObjects);
        else
            InterlockedDecrement(&g_cObjects);
        return S_OK;
    }
};

ClassFactory g_classFactory;

LONG SetStringValue(HKEY hkey, LPCWSTR pszName, LPCWSTR pszValue)
{
    return RegSetValueExW(hkey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                          static_cast<DWORD>((lstrlenW(pszValue) + 1) * sizeof(WCHAR)));
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_PropertySheetComponent) return CLASS_E_CLASSNOTAVAILABLE;
    return g_classFactory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return g_cObjects == 0 ? S_OK : S_FALSE;
}

// regsvr32 calls this: the class id's InprocServer32 names this file.
STDAPI DllRegisterServer()
{
    WCHAR szPath[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(g_hModule, szPath, ARRAYSIZE(szPath));
    if (cch == 0 || cch >= ARRAYSIZE(szPath)) return E_FAIL;

    HKEY hkeyClass;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, CLSID_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &hkeyClass, nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    LONG lResult = SetStringValue(hkeyClass, nullptr, L"Controller property sheet (stand-in)");
    HKEY hkeyServer;
    if (lResult == ERROR_SUCCESS)
        lResult = RegCreateKeyExW(hkeyClass, L"InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &hkeyServer, nullptr);
    if (lResult == ERROR_SUCCESS) {
        lResult = SetStringValue(hkeyServer, nullptr, szPath);
        if (lResult == ERROR_SUCCESS) lResult = SetStringValue(hkeyServer, L"ThreadingModel", L"Apartment");
        RegCloseKey(hkeyServer);
    }
    RegCloseKey(hkeyClass);
    return lResult == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer()
{
    const LONG lResult = RegDeleteTreeW(HKEY_LOCAL_MACHINE, CLSID_KEY_PATH);
    return lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

// For the tests that load the component into their own process.
extern "C" void WINAPI StandInSetBehaviour(DWORD dwBehaviour)
{
    g_dwBehaviour = dwBehaviour;
}
