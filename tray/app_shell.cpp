#include "tray/app_shell.h"

#include "tray/tray_platform.h"

#include "common/unique_handle.h"

#include <commctrl.h>

namespace {

TrayApp* g_pTrayApp;
UINT g_uTaskbarCreated; // 0 until WM_CREATE registered it
// Handlers of the Tray App run nested message loops (menus, message boxes,
// the property sheet) in which the window can be destroyed; the Tray App is
// then freed only once the outermost handler has returned.
LONG g_cHandlersRunning;
BOOL g_fTeardownPending;

void DestroyTrayApp()
{
    delete g_pTrayApp;
    g_pTrayApp = nullptr;
}

class HandlerScope {
public:
    HandlerScope() { g_cHandlersRunning++; }
    ~HandlerScope()
    {
        if (--g_cHandlersRunning == 0 && g_fTeardownPending) {
            g_fTeardownPending = FALSE;
            DestroyTrayApp();
        }
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
};

} // namespace

TrayApp* GetTrayApp()
{
    return g_pTrayApp;
}

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CREATE: {
        InitCommonControls();
        const auto* pcs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        g_pTrayApp = TrayApp::Create(pcs->hInstance, hwnd);
        if (!g_pTrayApp) return -1; // CreateWindowExW fails and the program ends
        g_uTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
        // Started from an elevated prompt, the program would not hear the
        // shell or the property sheet, which run with the user's lower
        // integrity: the icon would not come back after the shell restarts,
        // clicks on it and the reload message would be dropped. Nothing else
        // from below is let through. Unelevated this changes nothing.
        g_platform.ChangeWindowMessageFilterEx(hwnd, g_uTaskbarCreated, MSGFLT_ALLOW, nullptr);
        g_platform.ChangeWindowMessageFilterEx(hwnd, WM_TRAYICON, MSGFLT_ALLOW, nullptr);
        // Locking the session or switching to another user pauses automatic
        // switching; without the notifications it would just keep running.
        g_platform.WTSRegisterSessionNotification(hwnd, NOTIFY_FOR_THIS_SESSION);
        // An upgrade closes the program through the Restart Manager and starts
        // it again in this session; a crash, a hang or a reboot does not.
        g_platform.RegisterApplicationRestart(nullptr,
                                              RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
        return 0;
    }
    case WM_QUERYENDSESSION:
        // Nothing is ever left unsaved: the program may always be closed.
        return TRUE;
    case WM_ENDSESSION:
        // The Restart Manager closes the program for an upgrade: it ends as
        // Exit ends it, icon removed and instance mutex released, with exit
        // code 0. At a logoff or shutdown the system ends it anyway.
        if (wParam && (lParam & ENDSESSION_CLOSEAPP)) DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        g_platform.WTSUnRegisterSessionNotification(hwnd);
        if (g_cHandlersRunning > 0)
            g_fTeardownPending = TRUE;
        else
            DestroyTrayApp();
        // Also ends any nested message loop that is still running.
        PostQuitMessage(0);
        return 0;
    }

    TrayApp* pApp = g_pTrayApp;
    if (!pApp || g_fTeardownPending) return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    HandlerScope scope;

    switch (uMsg) {
    case WM_COMMAND:
        pApp->OnCommand(LOWORD(wParam));
        return 0;
    case WM_TIMER:
        pApp->OnTimer(wParam);
        return 0;
    case WM_DEVICECHANGE:
        // Every kind of change alike: only presence matters.
        if (pApp->pDevices->RunDeviceOperation(DEVOP_PRESENCE))
            pApp->AddIcon();
        else
            pApp->RemoveIcon();
        return TRUE;
    case WM_WTSSESSION_CHANGE:
        pApp->OnSessionChange(wParam);
        return 0;
    case WM_TRAYICON:
        if (wParam == TRAYICON_NOTIFY)
            pApp->OnTrayIcon(static_cast<UINT>(lParam));
        else if (wParam == TRAYICON_RELOAD)
            pApp->ReloadSettings(); // no Reload Request, no change to the timer or the icon
        return 0;
    }
    if (g_uTaskbarCreated != 0 && uMsg == g_uTaskbarCreated) {
        // The notification area (re)started and knows no icon of ours.
        if (pApp->pDevices->RunDeviceOperation(DEVOP_PRESENCE)) pApp->AddIcon();
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

BOOL RegisterTrayWindowClass(HINSTANCE hInstance)
{
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.style = 0;
    wc.lpfnWndProc = TrayWindowProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = TRAY_WINDOW_CLASS;
    return RegisterClassExW(&wc) != 0;
}

HWND CreateTrayWindow(HINSTANCE hInstance)
{
    // An ordinary top-level window, never shown: message-only windows do not
    // receive the WM_DEVICECHANGE and "TaskbarCreated" broadcasts.
    return CreateWindowExW(0, TRAY_WINDOW_CLASS, TRAY_WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
}

int RunTrayProgram(HINSTANCE hInstance)
{
    const HANDLE hMutex = CreateMutexW(nullptr, TRUE, TRAY_INSTANCE_MUTEX_NAME);
    const DWORD dwError = GetLastError();
    KernelHandle instanceMutex(hMutex);
    // The mutex of an instance started elevated grants nothing to a user's
    // unelevated token, so a later ordinary start cannot open it: that too
    // means that another instance runs. The running instance is left alone
    // and not told.
    if (dwError == ERROR_ALREADY_EXISTS || (!hMutex && dwError == ERROR_ACCESS_DENIED))
        return EXIT_ALREADY_RUNNING;

    if (!RegisterTrayWindowClass(hInstance)) return 0;
    if (!CreateTrayWindow(hInstance)) return 0;

    MSG msg;
    for (;;) {
        const BOOL fResult = GetMessageW(&msg, nullptr, 0, 0);
        if (fResult == -1) return 0;
        if (fResult == 0) return static_cast<int>(msg.wParam);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
