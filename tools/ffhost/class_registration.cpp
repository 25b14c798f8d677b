#include "class_registration.h"

#include "common/class_ids.h"
#include "common/reg_key.h"

#include <cwchar>

namespace {

constexpr WCHAR CLASS_KEY_PATH[] = L"CLSID\\" CLSID_EFFECT_DRIVER_STRING;
constexpr WCHAR SERVER_KEY_PATH[] = L"CLSID\\" CLSID_EFFECT_DRIVER_STRING L"\\InprocServer32";

LSTATUS SetString(HKEY hKey, LPCWSTR pszName, LPCWSTR pszValue)
{
    const DWORD cb = static_cast<DWORD>((wcslen(pszValue) + 1) * sizeof(WCHAR));
    return RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue), cb);
}

} // namespace

LSTATUS RegisterEffectDriver(LPCWSTR pszDllPath)
{
    WCHAR szFullPath[MAX_PATH];
    const DWORD cch = GetFullPathNameW(pszDllPath, MAX_PATH, szFullPath, nullptr);
    if (cch == 0 || cch >= MAX_PATH) return ERROR_BAD_PATHNAME;
    RegKey classKey;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, CLASS_KEY_PATH, 0, nullptr, 0, KEY_WRITE, nullptr,
                                     classKey.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = SetString(classKey.get(), nullptr, L"Force feedback effect driver");
    if (status != ERROR_SUCCESS) return status;
    RegKey serverKey;
    status = RegCreateKeyExW(HKEY_CLASSES_ROOT, SERVER_KEY_PATH, 0, nullptr, 0, KEY_WRITE, nullptr,
                             serverKey.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = SetString(serverKey.get(), nullptr, szFullPath);
    if (status != ERROR_SUCCESS) return status;
    return SetString(serverKey.get(), L"ThreadingModel", L"Both");
}

LSTATUS UnregisterEffectDriver()
{
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, CLASS_KEY_PATH);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}
