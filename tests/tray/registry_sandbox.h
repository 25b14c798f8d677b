// Gives every test a Parameters key of its own: HKEY_LOCAL_MACHINE of the test
// process is redirected into a fresh scratch key under HKEY_CURRENT_USER, which
// is deleted again afterwards. Tests never see the real key nor each other.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The Parameters key as a standard user's token meets it on Windows, where the
// token's Administrators entry only denies. Under Wine every program runs as
// an elevated administrator that is also one of the users and interactive, so
// a descriptor without an Administrators entry makes the key treat the test's
// programs as that standard user.
// Without the grant: full control for SYSTEM alone, reading for the users.
inline constexpr wchar_t STANDARD_USER_WITHOUT_GRANT_SDDL[] = L"D:P(A;;KA;;;SY)(A;;KR;;;BU)";
// With the grant: the installation's descriptor, its Administrators entries
// taken out, so that only the interactive users' entry may set values.
std::wstring StandardUserWithGrantSddl();

// Both, and a key that grants the users no more than querying and setting
// values, each with whether the key lets a standard user set its values.
struct StandardUserKey {
    std::wstring sddl;
    bool fGranted;
};
std::vector<StandardUserKey> StandardUserKeys();

// Gives the Parameters key under HKEY_LOCAL_MACHINE (created if missing) the
// descriptor of an SDDL string for the life of the object, and its own back
// afterwards. Set its values first: the new descriptor may refuse the test.
class ParametersKeySecurity {
public:
    explicit ParametersKeySecurity(const std::wstring& sddl);
    ~ParametersKeySecurity();
    ParametersKeySecurity(const ParametersKeySecurity&) = delete;
    ParametersKeySecurity& operator=(const ParametersKeySecurity&) = delete;

private:
    // Opened before the change: what it was granted then puts the old
    // descriptor back, whatever the new one refuses.
    HKEY hkey_ = nullptr;
    std::vector<BYTE> saved_;
};

class RegistrySandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Gives the process the real HKEY_LOCAL_MACHINE back, where SetupAPI
    // finds the present devices.
    static void RestoreMachineKey();
    void RedirectMachineKey();
    // The scratch key opened anew with the access given; the caller closes it.
    HKEY OpenScratchKey(REGSAM samDesired) const;

    // Values of the Parameters key, as another program would see them.
    static void SetValue(LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb);
    static void SetDword(LPCWSTR pszName, DWORD dw) { SetValue(pszName, REG_DWORD, &dw, sizeof(dw)); }
    static void DeleteValue(LPCWSTR pszName);
    static bool HasValue(LPCWSTR pszName);
    static std::vector<BYTE> GetValue(LPCWSTR pszName, DWORD* pdwType = nullptr);
    static DWORD GetDword(LPCWSTR pszName);

private:
    WCHAR szScratch_[64] = {};
    HKEY hkeyScratch_ = nullptr;
};
