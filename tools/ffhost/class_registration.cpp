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

bool ReadAt(HANDLE hFile, LONG lOffset, void* pv, DWORD cb)
{
    DWORD cbRead = 0;
    return SetFilePointer(hFile, lOffset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(hFile, pv, cb, &cbRead, nullptr) && cbRead == cb;
}

} // namespace

REGSAM RegistryViewOf(LPCWSTR pszDllPath)
{
    const HANDLE hFile = CreateFileW(pszDllPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return 0;
    IMAGE_DOS_HEADER dos = {};
    DWORD dwSignature = 0;
    IMAGE_FILE_HEADER file = {};
    const bool fRead = ReadAt(hFile, 0, &dos, sizeof(dos)) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                       ReadAt(hFile, dos.e_lfanew, &dwSignature, sizeof(dwSignature)) &&
                       dwSignature == IMAGE_NT_SIGNATURE &&
                       ReadAt(hFile, dos.e_lfanew + sizeof(dwSignature), &file, sizeof(file));
    CloseHandle(hFile);
    if (!fRead || !(file.Characteristics & IMAGE_FILE_DLL)) return 0;
    if (file.Machine == IMAGE_FILE_MACHINE_AMD64) return KEY_WOW64_64KEY;
    if (file.Machine == IMAGE_FILE_MACHINE_I386) return KEY_WOW64_32KEY;
    return 0;
}

LSTATUS RegisterEffectDriver(LPCWSTR pszDllPath)
{
    WCHAR szFullPath[MAX_PATH];
    const DWORD cch = GetFullPathNameW(pszDllPath, MAX_PATH, szFullPath, nullptr);
    if (cch == 0 || cch >= MAX_PATH) return ERROR_BAD_PATHNAME;
    const REGSAM samView = RegistryViewOf(szFullPath);
    if (!samView) return ERROR_BAD_EXE_FORMAT;
    RegKey classKey;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, CLASS_KEY_PATH, 0, nullptr, 0, KEY_WRITE | samView,
                                     nullptr, classKey.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = SetString(classKey.get(), nullptr, L"Force feedback effect driver");
    if (status != ERROR_SUCCESS) return status;
    RegKey serverKey;
    status = RegCreateKeyExW(HKEY_CLASSES_ROOT, SERVER_KEY_PATH, 0, nullptr, 0, KEY_WRITE | samView, nullptr,
                             serverKey.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = SetString(serverKey.get(), nullptr, szFullPath);
    if (status != ERROR_SUCCESS) return status;
    return SetString(serverKey.get(), L"ThreadingModel", L"Both");
}

LSTATUS UnregisterEffectDriver(LPCWSTR pszDllPath)
{
    const REGSAM samView = RegistryViewOf(pszDllPath);
    if (!samView) return ERROR_BAD_EXE_FORMAT;
    RegKey classKey;
    LSTATUS status =
        RegOpenKeyExW(HKEY_CLASSES_ROOT, CLASS_KEY_PATH, 0, KEY_ALL_ACCESS | samView, classKey.put());
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteTreeW(classKey.get(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    return RegDeleteKeyExW(HKEY_CLASSES_ROOT, CLASS_KEY_PATH, samView, 0);
}
