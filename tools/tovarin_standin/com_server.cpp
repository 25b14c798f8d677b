// In-process COM server of the stand-in component: class factory, the COM
// exports and self-registration under HKEY_LOCAL_MACHINE.
#include "tools/tovarin_standin/prop_sheet_component.h"

#include "common/class_ids.h"
#include "common/reg_key.h"
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

    RegKey classKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, CLSID_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        classKey.put(), nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    if (SetStringValue(classKey.get(), nullptr, L"Controller property sheet (stand-in)") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    RegKey serverKey;
    if (RegCreateKeyExW(classKey.get(), L"InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        serverKey.put(), nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    if (SetStringValue(serverKey.get(), nullptr, szPath) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    if (SetStringValue(serverKey.get(), L"ThreadingModel", L"Apartment") != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    return S_OK;
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
