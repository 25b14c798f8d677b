// The package's own custom actions, in a DLL that Windows Installer loads
// from the package itself. They give the Parameters key the access the
// unelevated tray program needs (the installer's registry table sets values,
// not security), put the key's earlier access back when the installation
// rolls back, put its access from before the first installation back at an
// uninstall, and stop an installation on purpose so that its rollback can be
// seen. Every step writes a line with its Win32 status into the
// installation's log (msiexec /l*v), and an action that cannot do its part
// fails the installation.
#include "common/device_contract.h"
#include "common/reg_key.h"

#include <windows.h>
#include <msiquery.h>
#include <sddl.h>

#include <cwchar>

namespace {

#define SERVICE_KEY_PATH L"SYSTEM\\CurrentControlSet\\Services\\" CONTROLLER_SERVICE_NAME
// The rollback's word for a key that was not there before the installation.
const WCHAR NO_KEY[] = L"none";
// The record's word for an access that the key did not have of its own
// before the first installation, or that is not known.
const WCHAR INHERITED_ACCESS[] = L"inherited";

// "install_actions: STEP: status N" in the installation's log.
void LogStep(MSIHANDLE hInstall, LPCWSTR pszStep, DWORD dwStatus)
{
    PMSIHANDLE hRecord = MsiCreateRecord(2);
    MsiRecordSetStringW(hRecord, 0, L"install_actions: [1]: status [2]");
    MsiRecordSetStringW(hRecord, 1, pszStep);
    MsiRecordSetInteger(hRecord, 2, static_cast<int>(dwStatus));
    MsiProcessMessage(hInstall, INSTALLMESSAGE_INFO, hRecord);
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

// The key's DACL in SDDL, from LocalAlloc, in *ppszSddl; ERROR_FILE_NOT_FOUND
// when there is no key.
DWORD ReadKeyAccess(LPCWSTR pszPath, LPWSTR* ppszSddl)
{
    *ppszSddl = nullptr;
    RegKey key;
    DWORD status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszPath, 0, READ_CONTROL | KEY_WOW64_64KEY, key.put());
    if (status != ERROR_SUCCESS) return status;
    DWORD cb = 0;
    status = RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &cb);
    if (status != ERROR_INSUFFICIENT_BUFFER)
        return status == ERROR_SUCCESS ? ERROR_INVALID_SECURITY_DESCR : status;
    PSECURITY_DESCRIPTOR psd = LocalAlloc(LPTR, cb);
    if (!psd) return ERROR_OUTOFMEMORY;
    status = RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, psd, &cb);
    if (status == ERROR_SUCCESS && !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                       psd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, ppszSddl, nullptr))
        status = GetLastError();
    LocalFree(psd);
    return status;
}

// Whether SDDL is the access this package sets, as RegGetKeySecurity gives
// it back.
bool IsPackageAccess(LPCWSTR pszSddl)
{
    PSECURITY_DESCRIPTOR psd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PARAMETERS_KEY_SDDL, SDDL_REVISION_1, &psd,
                                                              nullptr))
        return false;
    LPWSTR pszPackage = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(psd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &pszPackage, nullptr);
    const bool fSame = pszPackage && wcscmp(pszPackage, pszSddl) == 0;
    LocalFree(pszPackage);
    LocalFree(psd);
    return fSame;
}

// The Parameters key in the 64-bit view, where the 64-bit tray program and
// the driver read it.
DWORD OpenParametersKey(bool fCreate, RegKey& key)
{
    if (!fCreate)
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, WRITE_DAC | KEY_WOW64_64KEY,
                             key.put());
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, nullptr, 0,
                           WRITE_DAC | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
}

// Sets the key's DACL from SDDL: protected or not, as the descriptor says.
DWORD SetKeyAccess(HKEY hKey, LPCWSTR pszSddl)
{
    PSECURITY_DESCRIPTOR psd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(pszSddl, SDDL_REVISION_1, &psd, nullptr))
        return GetLastError();
    const DWORD status = RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, psd);
    LocalFree(psd);
    return status;
}

// The access of a key nothing was set on: the entries the service key hands
// down to its subkeys, marked inherited, in a DACL that is not protected, so
// that a later change of the service key's access reaches the key again.
DWORD InheritServiceKeyAccess(HKEY hKey)
{
    RegKey service;
    DWORD status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY_PATH, 0, READ_CONTROL | KEY_WOW64_64KEY, service.put());
    if (status != ERROR_SUCCESS) return status;
    DWORD cb = 0;
    RegGetKeySecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, &cb);
    PSECURITY_DESCRIPTOR psdService = cb ? LocalAlloc(LPTR, cb) : nullptr;
    if (!psdService) return ERROR_OUTOFMEMORY;
    status = RegGetKeySecurity(service.get(), DACL_SECURITY_INFORMATION, psdService, &cb);
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    PACL paclService = nullptr;
    if (status == ERROR_SUCCESS &&
        !GetSecurityDescriptorDacl(psdService, &fPresent, &paclService, &fDefaulted))
        status = GetLastError();
    // A service key without a DACL hands nothing down; a key left without
    // any entry would be closed to everyone but its owner.
    if (status == ERROR_SUCCESS && (!fPresent || !paclService)) status = ERROR_INVALID_SECURITY_DESCR;
    PACL pacl = nullptr;
    if (status == ERROR_SUCCESS) {
        // At most two entries for each of the service key's.
        const DWORD cbAcl = 2 * paclService->AclSize + sizeof(ACL);
        pacl = static_cast<PACL>(LocalAlloc(LPTR, cbAcl));
        if (!pacl || !InitializeAcl(pacl, cbAcl, paclService->AclRevision)) status = ERROR_OUTOFMEMORY;
    }
    for (DWORD i = 0; status == ERROR_SUCCESS && i < paclService->AceCount; ++i) {
        void* pvAce = nullptr;
        if (!GetAce(paclService, i, &pvAce)) {
            status = GetLastError();
            break;
        }
        auto* pHeader = static_cast<ACE_HEADER*>(pvAce);
        if (!(pHeader->AceFlags & CONTAINER_INHERIT_ACE)) continue;
        const bool fPropagates = !(pHeader->AceFlags & NO_PROPAGATE_INHERIT_ACE);
        const BYTE bInherit = pHeader->AceFlags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE);
        // The mask follows the header in every kind of entry. Generic rights
        // grant nothing in an entry that applies to the key itself: they
        // become the key's own rights there, and an entry that passes them
        // on keeps them, inherit-only, as the system does.
        const ACCESS_MASK dwMask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(pvAce)->Mask;
        ACCESS_MASK dwMapped = dwMask;
        GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
        MapGenericMask(&dwMapped, &mapping);
        dwMapped &= ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
        struct Entry {
            BYTE bFlags;
            ACCESS_MASK dwMask;
        } rgEntry[2] = {{INHERITED_ACE, dwMapped}, {}};
        DWORD cEntry = 1;
        if (fPropagates && dwMapped == dwMask) {
            rgEntry[0].bFlags |= bInherit;
        } else if (fPropagates) {
            rgEntry[1] = {static_cast<BYTE>(INHERITED_ACE | INHERIT_ONLY_ACE | bInherit), dwMask};
            cEntry = 2;
        }
        for (DWORD j = 0; j < cEntry && status == ERROR_SUCCESS; ++j) {
            // Appended as it is, then given its flags and rights.
            if (!AddAce(pacl, paclService->AclRevision, MAXDWORD, pvAce, pHeader->AceSize)) {
                status = GetLastError();
                break;
            }
            void* pvAdded = nullptr;
            GetAce(pacl, pacl->AceCount - 1, &pvAdded);
            static_cast<ACE_HEADER*>(pvAdded)->AceFlags = rgEntry[j].bFlags;
            reinterpret_cast<ACCESS_ALLOWED_ACE*>(pvAdded)->Mask = rgEntry[j].dwMask;
        }
    }
    if (status == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, pacl, FALSE);
        SetSecurityDescriptorControl(&sd, SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED);
        status = RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, &sd);
    }
    LocalFree(pacl);
    LocalFree(psdService);
    return status;
}

} // namespace

// Immediate: keeps the Parameters key's present access ("none" when there is
// no key yet) for RestoreParametersKeyAccess, which a rollback runs, and
// works out the access from before the first installation: the one the
// product's key remembers, or else the present one, unless that is this
// package's own (an installation that did not record it), when it is not
// known. The installation records it (ORIGINAL_ACCESS) and an uninstall puts
// it back (RevertParametersKeyAccess). A key whose access cannot be read
// fails the installation: the rollback would restore nothing.
extern "C" UINT __stdcall SaveParametersKeyAccess(MSIHANDLE hInstall)
{
    LPWSTR pszPresent = nullptr;
    DWORD status = ReadKeyAccess(PARAMETERS_KEY_PATH, &pszPresent);
    LogStep(hInstall, L"reading the Parameters key's access", status);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return ERROR_INSTALL_FAILURE;

    LPWSTR pszRemembered = GetProperty(hInstall, L"REMEMBERED_ACCESS");
    LPCWSTR pszOriginal = INHERITED_ACCESS;
    if (pszRemembered && *pszRemembered)
        pszOriginal = pszRemembered;
    else if (pszPresent && !IsPackageAccess(pszPresent))
        pszOriginal = pszPresent;
    status = MsiSetPropertyW(hInstall, L"RestoreParametersKeyAccess", pszPresent ? pszPresent : NO_KEY);
    if (status == ERROR_SUCCESS) status = MsiSetPropertyW(hInstall, L"ORIGINAL_ACCESS", pszOriginal);
    if (status == ERROR_SUCCESS)
        status = MsiSetPropertyW(hInstall, L"RevertParametersKeyAccess", pszOriginal);
    LogStep(hInstall, L"keeping the Parameters key's access for a rollback and the uninstall", status);
    LocalFree(pszRemembered);
    LocalFree(pszPresent);
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, as the local system, before the installer writes the key's
// values (making the key when there is none): the access the tray program
// and the driver rely on.
extern "C" UINT __stdcall ApplyParametersKeyAccess(MSIHANDLE hInstall)
{
    RegKey key;
    DWORD status = OpenParametersKey(true, key);
    LogStep(hInstall, L"opening the Parameters key to set its access", status);
    if (status != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    // The descriptor is protected ("D:P"), so what the service key grants
    // stops here.
    status = SetKeyAccess(key.get(), PARAMETERS_KEY_SDDL);
    LogStep(hInstall, L"setting the Parameters key's access", status);
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Rollback, as the local system: the access saved before the installation,
// when the key was there; when it was not, the key ApplyParametersKeyAccess
// made goes again, if the rollback of the registry values left it empty.
extern "C" UINT __stdcall RestoreParametersKeyAccess(MSIHANDLE hInstall)
{
    LPWSTR pszSddl = GetProperty(hInstall, L"CustomActionData");
    if (pszSddl && wcscmp(pszSddl, NO_KEY) == 0) {
        RegKey key;
        DWORD status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0,
                                     KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
        DWORD cSubKeys = 0, cValues = 0;
        if (status == ERROR_SUCCESS)
            status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                                      &cValues, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS && cSubKeys == 0 && cValues == 0)
            status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, KEY_WOW64_64KEY, 0);
        if (status != ERROR_FILE_NOT_FOUND)
            LogStep(hInstall, L"rollback: removing the Parameters key it made", status);
    } else if (pszSddl && *pszSddl) {
        RegKey key;
        DWORD status = OpenParametersKey(false, key);
        if (status == ERROR_SUCCESS) status = SetKeyAccess(key.get(), pszSddl);
        LogStep(hInstall, L"rollback: restoring the Parameters key's access", status);
    }
    LocalFree(pszSddl);
    return ERROR_SUCCESS; // a rollback goes on whatever one step finds
}

// Deferred, as the local system, at an uninstall (not at an upgrade's
// removal of the older version): the access from before the first
// installation, or the one the service key hands down. The key stays, with
// the user's profiles; when it is gone there is nothing to do.
extern "C" UINT __stdcall RevertParametersKeyAccess(MSIHANDLE hInstall)
{
    LPWSTR pszOriginal = GetProperty(hInstall, L"CustomActionData");
    RegKey key;
    DWORD status = OpenParametersKey(false, key);
    LogStep(hInstall, L"opening the Parameters key to put its access back", status);
    if (status == ERROR_SUCCESS) {
        if (!pszOriginal || !*pszOriginal || wcscmp(pszOriginal, INHERITED_ACCESS) == 0) {
            status = InheritServiceKeyAccess(key.get());
            LogStep(hInstall, L"giving the Parameters key the service key's access", status);
        } else {
            status = SetKeyAccess(key.get(), pszOriginal);
            LogStep(hInstall, L"putting back the Parameters key's access from before the installation",
                    status);
        }
    } else if (status == ERROR_FILE_NOT_FOUND) {
        status = ERROR_SUCCESS;
    }
    LocalFree(pszOriginal);
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, in the tests' package only, under its ROLLBACKTEST property: the
// installation fails after everything is in place, so that its rollback can
// be watched.
extern "C" UINT __stdcall FailInstallation(MSIHANDLE hInstall)
{
    LogStep(hInstall, L"failing the installation on purpose (ROLLBACKTEST)", ERROR_INSTALL_FAILURE);
    return ERROR_INSTALL_FAILURE;
}
