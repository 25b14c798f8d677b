#include "tests/tray/quellin_outside.h"

#include "common/device_contract.h"
#include "tools/running_on_wine.h"

#include <shellapi.h>

#include <gtest/gtest.h>

std::wstring BesideThisProgram(const wchar_t* pszFile)
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(nullptr, szPath, ARRAYSIZE(szPath));
    std::wstring path = szPath;
    return path.substr(0, path.rfind(L'\\') + 1) + pszFile;
}

LPWSTR StartupDesktop(LPCWSTR pszDesktop)
{
    return RunningOnWine() ? const_cast<LPWSTR>(pszDesktop) : nullptr;
}

void EnterTestDesktop(LPCWSTR pszDesktop)
{
    static bool fEntered = false;
    if (fEntered || !RunningOnWine()) return;
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", pszDesktop, REG_SZ, L"1024x768",
                    sizeof(L"1024x768"));
    HDESK hdesk = CreateDesktopW(pszDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ASSERT_NE(nullptr, hdesk);
    ASSERT_TRUE(SetThreadDesktop(hdesk));
    fEntered = true;
    GetDesktopWindow(); // starts the desktop's shell
    ASSERT_TRUE(WaitFor([] { return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; }));
}

void SetValue(LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb)
{
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, dwType, pv, cb));
}

void SetDword(LPCWSTR pszName, DWORD dw)
{
    SetValue(pszName, REG_DWORD, &dw, sizeof(dw));
}

std::vector<BYTE> GetValue(LPCWSTR pszName)
{
    std::vector<BYTE> data(1024);
    DWORD cb = static_cast<DWORD>(data.size());
    if (RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, RRF_RT_ANY, nullptr, data.data(),
                     &cb) != ERROR_SUCCESS)
        return {};
    data.resize(cb);
    return data;
}

std::vector<BYTE> Block(BYTE b)
{
    std::vector<BYTE> block(126, b);
    block[123] = block[124] = 0;
    return block;
}

bool IconShown(HWND hwnd)
{
    NOTIFYICONDATAW nid = {sizeof(nid)};
    nid.hWnd = hwnd;
    nid.uID = 0;
    nid.uFlags = 0;
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}
