#include "tests/tray/tray_window_fixture.h"

#include "common/device_contract.h"

#include <strsafe.h>

std::vector<DWORD> TrayWindowTest::s_notifyMessages;
NOTIFYICONDATAW TrayWindowTest::s_lastAdd;
SIZE TrayWindowTest::s_lastAddIconSize;
NOTIFYICONDATAW TrayWindowTest::s_lastModify;
UINT TrayWindowTest::s_uLastVersion;
bool TrayWindowTest::s_fIconShown;
int TrayWindowTest::s_cAddsToRefuse;
RECT TrayWindowTest::s_rcIcon;
std::vector<POINT> TrayWindowTest::s_menuPoints;
std::vector<RECT> TrayWindowTest::s_menuExclusions;
UINT TrayWindowTest::s_uMenuChoice;
std::vector<UINT> TrayWindowTest::s_messageBoxStyles;
std::vector<std::pair<HWND, DWORD>> TrayWindowTest::s_sessionRegistrations;
std::vector<HWND> TrayWindowTest::s_sessionUnregistrations;
std::vector<DWORD> TrayWindowTest::s_restartRegistrations;
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
    using T = TrayWindowTest;
    T::s_notifyMessages.push_back(dwMessage);
    EXPECT_EQ(0u, pnid->uID);
    switch (dwMessage) {
    case NIM_ADD:
        T::s_lastAdd = *pnid;
        T::s_lastAddIconSize = {};
        if (ICONINFO info = {}; pnid->hIcon && GetIconInfo(pnid->hIcon, &info)) {
            BITMAP bm = {};
            GetObjectW(info.hbmMask, sizeof(bm), &bm);
            T::s_lastAddIconSize = {bm.bmWidth, info.hbmColor ? bm.bmHeight : bm.bmHeight / 2};
            DeleteObject(info.hbmMask);
            if (info.hbmColor) DeleteObject(info.hbmColor);
        }
        if (T::s_fIconShown) return FALSE;
        if (T::s_cAddsToRefuse > 0) {
            T::s_cAddsToRefuse--;
            return FALSE;
        }
        T::s_fIconShown = true;
        return TRUE;
    case NIM_MODIFY:
        T::s_lastModify = *pnid;
        return T::s_fIconShown;
    case NIM_SETVERSION:
        T::s_uLastVersion = pnid->uVersion;
        return T::s_fIconShown;
    case NIM_DELETE: {
        const bool fWasShown = T::s_fIconShown;
        T::s_fIconShown = false;
        return fWasShown;
    }
    default:
        return T::s_fIconShown;
    }
}

HRESULT WINAPI FakeNotifyIconGetRect(const NOTIFYICONIDENTIFIER* pniid, RECT* prc)
{
    EXPECT_EQ(sizeof(NOTIFYICONIDENTIFIER), pniid->cbSize);
    EXPECT_EQ(0u, pniid->uID);
    if (!TrayWindowTest::s_fIconShown) return E_FAIL;
    *prc = TrayWindowTest::s_rcIcon;
    return S_OK;
}

BOOL WINAPI FakeRegisterSession(HWND hwnd, DWORD dwFlags)
{
    TrayWindowTest::s_sessionRegistrations.emplace_back(hwnd, dwFlags);
    return TRUE;
}

BOOL WINAPI FakeUnregisterSession(HWND hwnd)
{
    TrayWindowTest::s_sessionUnregistrations.push_back(hwnd);
    return TRUE;
}

HRESULT WINAPI FakeRegisterRestart(PCWSTR pszCommandLine, DWORD dwFlags)
{
    EXPECT_TRUE(!pszCommandLine || !*pszCommandLine); // the program takes no command line
    TrayWindowTest::s_restartRegistrations.push_back(dwFlags);
    return S_OK;
}

BOOL WINAPI FakeTrackPopupMenuEx(HMENU hmenu, UINT uFlags, int x, int y, HWND, LPTPMPARAMS ptpm)
{
    TrayWindowTest::s_menuPoints.push_back({x, y});
    TrayWindowTest::s_menuExclusions.push_back(ptpm ? ptpm->rcExclude : RECT{});
    std::vector<MenuItemSeen> items;
    const int cItems = GetMenuItemCount(hmenu);
    for (int i = 0; i < cItems; i++) {
        WCHAR szText[600] = L"";
        MENUITEMINFOW mii = {sizeof(mii)};
        mii.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        mii.dwTypeData = szText;
        mii.cch = ARRAYSIZE(szText);
        GetMenuItemInfoW(hmenu, i, TRUE, &mii);
        items.push_back({mii.wID, mii.fState, mii.fType, szText});
    }
    TrayWindowTest::s_menus.push_back(items);
    TrayWindowTest::s_menuFlags.push_back(uFlags);
    // A copy runs: the hook may replace itself.
    if (const auto onMenu = TrayWindowTest::s_onMenu) onMenu(hmenu);
    return (uFlags & TPM_RETURNCMD) ? static_cast<BOOL>(TrayWindowTest::s_uMenuChoice) : TRUE;
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

int WINAPI FakeMessageBox(HWND, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType)
{
    TrayWindowTest::s_messageBoxStyles.push_back(uType);
    TrayWindowTest::s_messageBoxes.push_back(pszCaption);
    TrayWindowTest::s_messageBoxes.push_back(pszText);
    if (const auto onMessageBox = TrayWindowTest::s_onMessageBox) onMessageBox();
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

BOOL(WINAPI* g_pfnControllerIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

BOOL WINAPI ReloadRequestSeen(HANDLE h, DWORD dwCode, LPVOID pvIn, DWORD cbIn, LPVOID pvOut, DWORD cbOut,
                              LPDWORD pcb, LPOVERLAPPED pov)
{
    if (const auto onReloadRequest = TrayWindowTest::s_onReloadRequest) onReloadRequest();
    return g_pfnControllerIoControl(h, dwCode, pvIn, cbIn, pvOut, cbOut, pcb, pov);
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
    g_platform.Shell_NotifyIconGetRect = FakeNotifyIconGetRect;
    g_platform.WTSRegisterSessionNotification = FakeRegisterSession;
    g_platform.WTSUnRegisterSessionNotification = FakeUnregisterSession;
    g_platform.RegisterApplicationRestart = FakeRegisterRestart;
    g_pfnControllerIoControl = g_platform.DeviceIoControl;
    g_platform.DeviceIoControl = ReloadRequestSeen;

    s_notifyMessages.clear();
    s_lastAdd = {};
    s_lastAddIconSize = {};
    s_lastModify = {};
    s_uLastVersion = 0;
    s_fIconShown = false;
    s_cAddsToRefuse = 0;
    s_rcIcon = {900, 740, 916, 756};
    s_menuPoints.clear();
    s_menuExclusions.clear();
    s_uMenuChoice = 0;
    s_messageBoxStyles.clear();
    s_sessionRegistrations.clear();
    s_sessionUnregistrations.clear();
    s_restartRegistrations.clear();
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
