// The package's own custom actions, in a DLL that Windows Installer loads
// from the package itself. They give the Parameters key the access the
// unelevated tray program needs (the installer's registry table sets values,
// not security), put the key's earlier access back when the installation
// rolls back, and stop an installation on purpose so that its rollback can
// be seen.
#include "common/device_contract.h"
#include "common/reg_key.h"

#include <windows.h>
#include <msiquery.h>
#include <sddl.h>

namespace {

// The Parameters key in the 64-bit view, where the 64-bit tray program and
// the driver read it.
LSTATUS OpenParametersKey(REGSAM samDesired, RegKey& key)
{
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, nullptr, 0,
                           samDesired | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
}

UINT ApplyKeyAccess(LPCWSTR pszSddl)
{
    PSECURITY_DESCRIPTOR psd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(pszSddl, SDDL_REVISION_1, &psd, nullptr))
        return ERROR_INSTALL_FAILURE;
    RegKey key;
    LSTATUS status = OpenParametersKey(WRITE_DAC, key);
    // The descriptor is protected ("D:P"), so what the service key grants
    // stops here.
    if (status == ERROR_SUCCESS) status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, psd);
    LocalFree(psd);
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// A property's value in a buffer from LocalAlloc, or nullptr when it cannot
// be read.
LPWSTR GetProperty(MSIHANDLE hInstall, LPCWSTR pszName)
{
    WCHAR szEmpty[1] = L"";
    DWORD cch = 0;
    if (MsiGetPropertyW(hInstall, pszName, szEmpty, &cch) != ERROR_MORE_DATA) return nullptr;
    ++cch;
    auto* pszValue = static_cast<LPWSTR>(LocalAlloc(LPTR, cch * sizeof(WCHAR)));
    if (pszValue && MsiGetPropertyW(hInstall, pszName, pszValue, &cch) != ERROR_SUCCESS) {
        LocalFree(pszValue);
        pszValue = nullptr;
    }
    return pszValue;
}

} // namespace

// Immediate: keeps the Parameters key's present access (nothing when there is
// no key yet) for RestoreParametersKeyAccess, which a rollback runs.
extern "C" UINT __stdcall SaveParametersKeyAccess(MSIHANDLE hInstall)
{
    RegKey key;
    LPWSTR pszSddl = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, READ_CONTROL | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS) {
        DWORD cb = 0;
        RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &cb);
        PSECURITY_DESCRIPTOR psd = cb ? LocalAlloc(LPTR, cb) : nullptr;
        if (psd && RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, psd, &cb) == ERROR_SUCCESS)
            ConvertSecurityDescriptorToStringSecurityDescriptorW(
                psd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &pszSddl, nullptr);
        LocalFree(psd);
    }
    const UINT result = MsiSetPropertyW(hInstall, L"RestoreParametersKeyAccess", pszSddl ? pszSddl : L"");
    LocalFree(pszSddl);
    return result;
}

// Deferred, as the local system: the access the tray program and the driver
// rely on.
extern "C" UINT __stdcall ApplyParametersKeyAccess(MSIHANDLE)
{
    return ApplyKeyAccess(PARAMETERS_KEY_SDDL);
}

// Rollback, as the local system: the access saved before the installation,
// when the key was there.
extern "C" UINT __stdcall RestoreParametersKeyAccess(MSIHANDLE hInstall)
{
    LPWSTR pszSddl = GetProperty(hInstall, L"CustomActionData");
    if (pszSddl && *pszSddl) ApplyKeyAccess(pszSddl);
    LocalFree(pszSddl);
    return ERROR_SUCCESS; // a rollback goes on whatever one step finds
}

// Deferred, in the tests' package only, under its ROLLBACKTEST property: the
// installation fails after everything is in place, so that its rollback can
// be watched.
extern "C" UINT __stdcall FailInstallation(MSIHANDLE)
{
    return ERROR_INSTALL_FAILURE;
}
