#include "tests/tray/registry_sandbox.h"

#include "common/device_contract.h"

#include <sddl.h>
#include <strsafe.h>

void RegistrySandbox::SetUp()
{
    // One key per process: the tests run in parallel in one Wine prefix.
    StringCchPrintfW(szScratch_, ARRAYSIZE(szScratch_), L"Software\\TrayTestScratch\\%lu",
                     GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, szScratch_);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, szScratch_, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &hkeyScratch_, nullptr));
    RedirectMachineKey();
}

void RegistrySandbox::RedirectMachineKey()
{
    ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, hkeyScratch_));
}

void RegistrySandbox::TearDown()
{
    RestoreMachineKey();
    if (hkeyScratch_) RegCloseKey(hkeyScratch_);
    RegDeleteTreeW(HKEY_CURRENT_USER, szScratch_);
}

HKEY RegistrySandbox::OpenScratchKey(REGSAM samDesired) const
{
    HKEY hkey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, szScratch_, 0, samDesired, &hkey));
    return hkey;
}

void RegistrySandbox::RestoreMachineKey()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
}

void RegistrySandbox::SetValue(LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb)
{
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, dwType, pv, cb));
}

void RegistrySandbox::DeleteValue(LPCWSTR pszName)
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName);
}

bool RegistrySandbox::HasValue(LPCWSTR pszName)
{
    return RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, RRF_RT_ANY | RRF_NOEXPAND, nullptr,
                        nullptr, nullptr) == ERROR_SUCCESS;
}

std::vector<BYTE> RegistrySandbox::GetValue(LPCWSTR pszName, DWORD* pdwType)
{
    std::vector<BYTE> data(4096);
    DWORD cb = static_cast<DWORD>(data.size());
    // RRF_NOEXPAND keeps REG_SZ data exactly as stored (no terminator added).
    if (RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, RRF_RT_ANY | RRF_NOEXPAND, pdwType,
                     data.data(), &cb) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no value " << testing::PrintToString(std::wstring(pszName));
        return {};
    }
    data.resize(cb);
    return data;
}

DWORD RegistrySandbox::GetDword(LPCWSTR pszName)
{
    const std::vector<BYTE> data = GetValue(pszName);
    DWORD dw = 0;
    if (data.size() == sizeof(dw)) memcpy(&dw, data.data(), sizeof(dw));
    return dw;
}

std::wstring StandardUserWithGrantSddl()
{
    // Every ACE string "(...)" whose trustee, its last field, is BA is left out.
    const std::wstring installed = PARAMETERS_KEY_SDDL;
    std::wstring sddl;
    size_t i = 0;
    while (i < installed.size()) {
        const size_t iAce = installed.find(L'(', i);
        sddl += installed.substr(i, iAce - i);
        if (iAce == std::wstring::npos) break;
        const size_t iEnd = installed.find(L')', iAce) + 1;
        const std::wstring ace = installed.substr(iAce, iEnd - iAce);
        if (!ace.ends_with(L";BA)")) sddl += ace;
        i = iEnd;
    }
    return sddl;
}

std::vector<StandardUserKey> StandardUserKeys()
{
    // The third grants the users exactly the rights the program asks for
    // (KEY_QUERY_VALUE | KEY_SET_VALUE): asking more, KEY_READ say, fails.
    return {{STANDARD_USER_WITHOUT_GRANT_SDDL, false},
            {StandardUserWithGrantSddl(), true},
            {L"D:P(A;;KA;;;SY)(A;;0x3;;;BU)", true}};
}

ParametersKeySecurity::ParametersKeySecurity(const std::wstring& sddl)
{
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hkey_, nullptr));
    DWORD cb = 0;
    RegGetKeySecurity(hkey_, DACL_SECURITY_INFORMATION, nullptr, &cb);
    saved_.resize(cb);
    EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(hkey_, DACL_SECURITY_INFORMATION, saved_.data(), &cb));

    PSECURITY_DESCRIPTOR psd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &psd, nullptr)) {
        ADD_FAILURE() << "no descriptor from " << testing::PrintToString(sddl);
        return;
    }
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(hkey_, DACL_SECURITY_INFORMATION, psd));
    LocalFree(psd);
}

ParametersKeySecurity::~ParametersKeySecurity()
{
    if (!hkey_) return;
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(hkey_, DACL_SECURITY_INFORMATION, saved_.data()));
    RegCloseKey(hkey_);
}
