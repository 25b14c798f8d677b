// Gives every test a Parameters key of its own: HKEY_LOCAL_MACHINE of the test
// process is redirected into a fresh scratch key under HKEY_CURRENT_USER, which
// is deleted again afterwards. Tests never see the real key nor each other.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

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
