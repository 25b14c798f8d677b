#include "oem_registration.h"

#include "common/reg_key.h"
#include "package_oem_entries.h"

#include <cwchar>
#include <cwctype>

namespace {

constexpr WCHAR OEM_ROOT[] =
    L"SYSTEM\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM";

std::vector<BYTE> FromHex(LPCWSTR psz)
{
    std::vector<BYTE> bytes;
    for (; iswxdigit(psz[0]) && iswxdigit(psz[1]); psz += 2) {
        const WCHAR sz[3] = {psz[0], psz[1], 0};
        bytes.push_back(static_cast<BYTE>(wcstoul(sz, nullptr, 16)));
    }
    return bytes;
}

} // namespace

std::wstring OemKeyPath(VC_CONTROLLER_ID id)
{
    WCHAR sz[ARRAYSIZE(OEM_ROOT) + 32];
    swprintf(sz, ARRAYSIZE(sz), L"%ls\\VID_%04X&PID_%04X", OEM_ROOT, id.wVendorID, id.wProductID);
    return sz;
}

LSTATUS WriteOemEntries(VC_CONTROLLER_ID id)
{
    const std::wstring root = OemKeyPath(id);
    for (const OemEntry& entry : OEM_ENTRIES) {
        const std::wstring path = *entry.pszSubkey ? root + L"\\" + entry.pszSubkey : root;
        RegKey key;
        LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                         KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
        if (status != ERROR_SUCCESS) return status;
        if (entry.fBinary) {
            const std::vector<BYTE> bytes = FromHex(entry.pszValue);
            status = RegSetValueExW(key.get(), entry.pszName, 0, REG_BINARY, bytes.data(),
                                    static_cast<DWORD>(bytes.size()));
        } else {
            status = RegSetValueExW(key.get(), entry.pszName, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(entry.pszValue),
                                    static_cast<DWORD>((wcslen(entry.pszValue) + 1) * sizeof(WCHAR)));
        }
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

LSTATUS RemoveOemEntries(VC_CONTROLLER_ID id)
{
    RegKey oem;
    LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, OEM_ROOT, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, oem.put());
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    const std::wstring path = OemKeyPath(id);
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    status = RegDeleteTreeW(oem.get(), name.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::vector<BYTE> PackageBinary(LPCWSTR pszSubkey, LPCWSTR pszName)
{
    for (const OemEntry& entry : OEM_ENTRIES)
        if (entry.fBinary && entry.pszName && !_wcsicmp(entry.pszSubkey, pszSubkey) &&
            !_wcsicmp(entry.pszName, pszName))
            return FromHex(entry.pszValue);
    return {};
}

DWORD PackageDword(LPCWSTR pszSubkey, LPCWSTR pszName, size_t ib)
{
    const std::vector<BYTE> bytes = PackageBinary(pszSubkey, pszName);
    DWORD dw = 0;
    if (bytes.size() >= ib + sizeof(dw)) memcpy(&dw, bytes.data() + ib, sizeof(dw));
    return dw;
}

std::vector<std::wstring> PackageEffectKeys()
{
    std::vector<std::wstring> keys;
    for (const OemEntry& entry : OEM_ENTRIES)
        if (!entry.pszName && !_wcsnicmp(entry.pszSubkey, L"OEMForceFeedback\\Effects\\", 25))
            keys.push_back(entry.pszSubkey);
    return keys;
}
