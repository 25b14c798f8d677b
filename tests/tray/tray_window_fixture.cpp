#include "tests/tray/tray_window_fixture.h"

#include "common/device_contract.h"

#include <strsafe.h>

std::vector<DWORD> TrayWindowTest::s_notifyMessages;
NOTIFYICONDATAW TrayWindowTest::s_lastAdd;
std::vector<std::vector<MenuItemSeen>> TrayWindowTest::s_menus;
std::vector<UINT> TrayWindowTest::s_menuFlags;
std::function<void(HMENU)> TrayWindowTest::s_onMenu;
UINT TrayWindowTest::s_uDoubleClickTime;
int TrayWindowTest::s_nMessageBoxAnswer;
std::vector<std::wstring> TrayWindowTest::s_messageBoxes;
std::function<void()> TrayWindowTest::s_onMessageBox;
HWND TrayWindowTest::s_hwndForeground;
DWORD TrayWindowTest::s_pidForeground;
std::vector<ProcessSeen> TrayWindowTest::s_processes;
int TrayWindowTest::s_cSnapshots;
std::vector<std::tuple<HWND, UINT, DWORD>> TrayWindowTest::s_messageFilters;
std::function<void()> TrayWindowTest::s_onReloadRequest;

namespace {

// The ids of the one controller, as the Supported Device List names it.
constexpr DWORD kControllerAttribute = 0x845E0001;

BOOL WINAPI FakeNotifyIcon(DWORD dwMessage, PNOTIFYICONDATAW pnid)
{
    TrayWindowTest::s_notifyMessages.push_back(dwMessage);
    if (dwMessage == NIM_ADD) TrayWindowTest::s_lastAdd = *pnid;
    return TRUE;
}

BOOL WINAPI FakeTrackPopupMenuEx(HMENU hmenu, UINT uFlags, int, int, HWND, LPTPMPARAMS)
{
    std::vector<MenuItemSeen> items;
    const int cItems = GetMenuItemCount(hmenu);
    for (int i = 0; i < cItems; i++) {
        WCHAR szText[600] = L"";
        MENUITEMINFOW mii = {};
        mii.cbSize = sizeof(mii);
        mii.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        mii.dwTypeData = szText;
        mii.cch = ARRAYSIZE(szText);
        GetMenuItemInfoW(hmenu, i, TRUE, &mii);
        items.push_back({mii.wID, mii.fState, mii.fType, szText});
    }
    TrayWindowTest::s_menus.push_back(items);
    TrayWindowTest::s_menuFlags.push_back(uFlags);
    if (TrayWindowTest::s_onMenu) TrayWindowTest::s_onMenu(hmenu);
    return TRUE;
}

UINT WINAPI FakeGetDoubleClickTime()
{
    return TrayWindowTest::s_uDoubleClickTime;
}

BOOL WINAPI FakeGetCursorPos(LPPOINT ppt)
{
    ppt->x = 10;
    ppt->y = 20;
    return TRUE;
}

int WINAPI FakeMessageBox(HWND, LPCWSTR pszText, LPCWSTR pszCaption, UINT)
{
    TrayWindowTest::s_messageBoxes.push_back(pszCaption);
    TrayWindowTest::s_messageBoxes.push_back(pszText);
    if (TrayWindowTest::s_onMessageBox) TrayWindowTest::s_onMessageBox();
    return TrayWindowTest::s_nMessageBoxAnswer;
}

HWND WINAPI FakeGetForegroundWindow()
{
    return TrayWindowTest::s_hwndForeground;
}

DWORD WINAPI FakeGetWindowThreadProcessId(HWND hwnd, LPDWORD pdwPid)
{
    if (!hwnd) return GetWindowThreadProcessId(hwnd, pdwPid); // what the platform says of no window
    if (pdwPid) *pdwPid = TrayWindowTest::s_pidForeground;
    return 1;
}

BOOL WINAPI FakeChangeWindowMessageFilterEx(HWND hwnd, UINT uMsg, DWORD dwAction, PCHANGEFILTERSTRUCT)
{
    TrayWindowTest::s_messageFilters.emplace_back(hwnd, uMsg, dwAction);
    return TRUE;
}

BOOLEAN(WINAPI* g_pfnControllerSetFeature)(HANDLE, PVOID, ULONG);

BOOLEAN WINAPI SetFeatureSeen(HANDLE h, PVOID pv, ULONG cb)
{
    if (TrayWindowTest::s_onReloadRequest) TrayWindowTest::s_onReloadRequest();
    return g_pfnControllerSetFeature(h, pv, cb);
}

size_t g_iProcess;

HANDLE WINAPI FakeSnapshot(DWORD, DWORD)
{
    TrayWindowTest::s_cSnapshots++;
    return CreateEventW(nullptr, FALSE, FALSE, nullptr); // any handle that CloseHandle takes
}

BOOL FillProcess(LPPROCESSENTRY32W pe)
{
    if (g_iProcess >= TrayWindowTest::s_processes.size()) return FALSE;
    const ProcessSeen& process = TrayWindowTest::s_processes[g_iProcess++];
    pe->th32ProcessID = process.pid;
    StringCchCopyW(pe->szExeFile, ARRAYSIZE(pe->szExeFile), process.exeFile.c_str());
    return TRUE;
}

BOOL WINAPI FakeProcessFirst(HANDLE, LPPROCESSENTRY32W pe)
{
    g_iProcess = 0;
    return FillProcess(pe);
}

BOOL WINAPI FakeProcessNext(HANDLE, LPPROCESSENTRY32W pe)
{
    return FillProcess(pe);
}

void SetBinary(LPCWSTR pszName, const std::vector<BYTE>& data)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, pszName, REG_BINARY, data.data(),
                    static_cast<DWORD>(data.size()));
}

} // namespace

void TrayWindowTest::SetUp()
{
    RegistrySandbox::SetUp();
    saved_ = g_platform;
    InstallFakeControllers();
    g_fakeControllers = {{HIWORD(kControllerAttribute), LOWORD(kControllerAttribute)}};
    g_platform.Shell_NotifyIconW = FakeNotifyIcon;
    g_platform.TrackPopupMenuEx = FakeTrackPopupMenuEx;
    g_platform.GetDoubleClickTime = FakeGetDoubleClickTime;
    g_platform.GetCursorPos = FakeGetCursorPos;
    g_platform.MessageBoxW = FakeMessageBox;
    g_platform.GetForegroundWindow = FakeGetForegroundWindow;
    g_platform.GetWindowThreadProcessId = FakeGetWindowThreadProcessId;
    g_platform.CreateToolhelp32Snapshot = FakeSnapshot;
    g_platform.Process32FirstW = FakeProcessFirst;
    g_platform.Process32NextW = FakeProcessNext;
    g_platform.ChangeWindowMessageFilterEx = FakeChangeWindowMessageFilterEx;
    g_pfnControllerSetFeature = g_platform.HidD_SetFeature;
    g_platform.HidD_SetFeature = SetFeatureSeen;

    s_notifyMessages.clear();
    s_lastAdd = {};
    s_menus.clear();
    s_menuFlags.clear();
    s_onMenu = nullptr;
    s_uDoubleClickTime = 100;
    s_nMessageBoxAnswer = IDYES;
    s_messageBoxes.clear();
    s_onMessageBox = nullptr;
    s_hwndForeground = reinterpret_cast<HWND>(0xF00);
    s_pidForeground = 0;
    s_processes.clear();
    s_cSnapshots = 0;
    s_messageFilters.clear();
    s_onReloadRequest = nullptr;

    SetDword(L"Supported Device Count", 1);
    SetDword(L"Supported Device Attribute 0", kControllerAttribute);
}

void TrayWindowTest::TearDown()
{
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    // WM_DESTROY posted the quit message; it must not end the next test's loops.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    ReleaseSheetMutex();
    ExpectEveryControllerClosed();
    g_platform = saved_;
    RegistrySandbox::TearDown();
}

std::vector<BYTE> TrayWindowTest::ProfileBlock(LONG i)
{
    std::vector<BYTE> block(126);
    for (size_t k = 0; k < block.size(); k++)
        block[k] = static_cast<BYTE>(i * 16 + k);
    block[123] = block[124] = 0; // no driver restart between any two blocks
    return block;
}

std::vector<BYTE> TrayWindowTest::CurrentBlockAtStart()
{
    std::vector<BYTE> block(126, 0xEE);
    block[123] = block[124] = 0;
    return block;
}

void TrayWindowTest::StoreProfiles(std::initializer_list<const wchar_t*> names, LONG iCurrent, BYTE fModified,
                                   BYTE fAutoChange)
{
    LONG i = 1;
    for (const wchar_t* pszName : names) {
        WCHAR szValue[32];
        StringCchPrintfW(szValue, ARRAYSIZE(szValue), L"Setting %d", i);
        SetBinary(szValue, ProfileBlock(i));
        StringCchPrintfW(szValue, ARRAYSIZE(szValue), L"Setting Name %d", i);
        SetValue(szValue, REG_SZ, pszName, static_cast<DWORD>((wcslen(pszName) + 1) * sizeof(WCHAR)));
        i++;
    }
    SetDword(L"Setting Count", static_cast<DWORD>(i));
    SetDword(L"Current Setting Index", static_cast<DWORD>(iCurrent));
    SetBinary(L"Current Setting", CurrentBlockAtStart());
    SetBinary(L"Modified Flag", {fModified});
    SetBinary(L"Auto Setting Change", {fAutoChange});
}

HWND TrayWindowTest::MakeTrayWindow()
{
    static const BOOL fRegistered = RegisterTrayWindowClass(GetModuleHandleW(nullptr));
    EXPECT_TRUE(fRegistered);
    hwnd_ = CreateTrayWindow(GetModuleHandleW(nullptr));
    return hwnd_;
}

void TrayWindowTest::Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool TrayWindowTest::PumpUntil(const std::function<bool()>& pred, DWORD dwTimeoutMs)
{
    const DWORD dwStart = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - dwStart > dwTimeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        Pump();
    }
    return true;
}

void TrayWindowTest::HoldSheetMutex()
{
    hSheetMutex_ = CreateMutexW(nullptr, TRUE, L"tovarin mutex");
    ASSERT_NE(nullptr, hSheetMutex_);
}

void TrayWindowTest::ReleaseSheetMutex()
{
    if (hSheetMutex_) {
        ReleaseMutex(hSheetMutex_);
        CloseHandle(hSheetMutex_);
        hSheetMutex_ = nullptr;
    }
}
