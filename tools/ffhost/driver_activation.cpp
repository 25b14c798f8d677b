#include "driver_activation.h"

#include "common/class_ids.h"
#include "common/reg_key.h"

#include <cstdio>

std::wstring DefaultDriverPath()
{
    WCHAR szPath[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return L"brasquet.dll";
    std::wstring path(szPath, cch);
    const size_t iSlash = path.find_last_of(L"\\/");
    path.resize(iSlash == std::wstring::npos ? 0 : iSlash + 1);
    return path + L"brasquet.dll";
}

std::wstring RegisteredDriverPath(REGSAM samView)
{
    RegKey serverKey;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\" CLSID_EFFECT_DRIVER_STRING L"\\InprocServer32", 0,
                      KEY_QUERY_VALUE | samView, serverKey.put()) != ERROR_SUCCESS)
        return L"";
    WCHAR szPath[MAX_PATH] = {};
    DWORD cb = sizeof(szPath) - sizeof(WCHAR);
    if (RegGetValueW(serverKey.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, szPath, &cb) != ERROR_SUCCESS)
        return L"";
    return szPath;
}

DriverLoader::DriverLoader(bool fCom, const std::wstring& path) : fCom_(fCom), path_(path) {}

DriverLoader::~DriverLoader()
{
    if (hModule_) FreeLibrary(hModule_);
    if (fComInitialized_) CoUninitialize();
}

HRESULT DriverLoader::Load()
{
    if (fCom_) {
        // DirectInput may call its driver from any thread: the class is
        // registered free-threaded ("Both"), so the host joins the MTA.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return hr;
        fComInitialized_ = true;
        return S_OK;
    }
    hModule_ = LoadLibraryW(path_.c_str());
    if (!hModule_) return HRESULT_FROM_WIN32(GetLastError());
    pfnGetClassObject_ = reinterpret_cast<PFNDLLGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(hModule_, "DllGetClassObject")));
    return pfnGetClassObject_ ? S_OK : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT DriverLoader::Create(IDirectInputEffectDriver** ppDriver)
{
    *ppDriver = nullptr;
    if (fCom_) {
        return CoCreateInstance(CLSID_EffectDriver, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IDirectInputEffectDriver, reinterpret_cast<void**>(ppDriver));
    }
    if (!pfnGetClassObject_) return E_UNEXPECTED;
    IClassFactory* pFactory = nullptr;
    HRESULT hr =
        pfnGetClassObject_(CLSID_EffectDriver, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr)) return hr;
    hr = pFactory->CreateInstance(nullptr, IID_IDirectInputEffectDriver, reinterpret_cast<void**>(ppDriver));
    pFactory->Release();
    return hr;
}

std::wstring DriverLoader::Path() const
{
    return fCom_ ? RegisteredDriverPath() : path_;
}

std::string HresultName(HRESULT hr)
{
    struct Name {
        HRESULT hr;
        const char* psz;
    };
    static const Name s_rgNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {DI_TRUNCATED, "DI_TRUNCATED"},
        {E_FAIL, "E_FAIL"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)"},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)"},
    };
    for (const Name& name : s_rgNames) {
        if (name.hr == hr) return name.psz;
    }
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(hr));
    return sz;
}
