#include "tray/tray_app.h"

#include "tray/resource.h"

#include <wtsapi32.h>

#include <new>

TrayApp* TrayApp::Create(HINSTANCE hInstance, HWND hwnd)
{
    TrayApp* pApp = new (std::nothrow) TrayApp(hInstance, hwnd);
    if (!pApp) return nullptr;

    pApp->pSettings = new (std::nothrow) SettingsStore(hInstance, hwnd);
    if (pApp->pSettings) pApp->pLauncher = new (std::nothrow) PropertySheetLauncher(hInstance, hwnd);
    if (pApp->pLauncher) pApp->pDevices = new (std::nothrow) SupportedDeviceList();
    if (!pApp->pDevices) {
        // Every handler works on all three objects: without one of them the
        // program has nothing to run on.
        delete pApp;
        return nullptr;
    }

    if (pApp->pDevices->RunDeviceOperation(DEVOP_PRESENCE)) pApp->AddIcon();
    if (pApp->pSettings->fAutoChange == 1)
        SetTimer(hwnd, IDT_FOREGROUND, 0, nullptr); // the first check comes as soon as the loop runs
    return pApp;
}

TrayApp::~TrayApp()
{
    RemoveIcon(); // harmless when no icon is shown
    delete pDevices;
    delete pLauncher;
    // Nothing to save: every change was saved when it was made.
    delete pSettings;
}

void TrayApp::OnCommand(WORD id)
{
    switch (id) {
    case IDM_PROPERTIES:
        // The menu item is grayed while a sheet is open.
        pLauncher->Launch();
        return;
    case IDM_AUTOCHANGE:
        cAutoChangeCommands++;
        if (pSettings->fAutoChange == 1) {
            KillTimer(hwnd, IDT_FOREGROUND);
            fResumeSwitching = FALSE;
            pSettings->fAutoChange = 0;
        } else {
            ArmForegroundTimer(0);
            pSettings->fAutoChange = 1;
        }
        pSettings->Save();
        return;
    case IDM_EXIT:
        if (!pLauncher->IsSheetOpen()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return;
    }

    if (pLauncher->IsSheetOpen()) return;
    const LONG i = static_cast<LONG>(id) - IDM_PROFILE_BASE;
    if (i < 0 || i >= pSettings->cProfiles || i == pSettings->iCurrent) return;
    // The user may decline to discard modified settings; the unchanged
    // settings are saved and announced all the same.
    ApplyAndAnnounce(i, FALSE);
}

void TrayApp::ApplyAndAnnounce(LONG i, BOOL fSilent)
{
    cApplyDepth++;
    pSettings->ApplyProfile(i, fSilent);
    pSettings->Save();
    pDevices->RunDeviceOperation(DEVOP_RELOAD);
    if (--cApplyDepth == 0 && fReloadPending) {
        fReloadPending = FALSE;
        pSettings->Load();
    }
}

void TrayApp::ReloadSettings()
{
    // Loading replaces the profile arrays: while ApplyProfile waits in one of
    // its message boxes it still holds the index into them.
    if (cApplyDepth > 0) {
        fReloadPending = TRUE;
        return;
    }
    pSettings->Load();
}

void TrayApp::ArmForegroundTimer(UINT uElapse)
{
    if (IsSessionActive())
        SetTimer(hwnd, IDT_FOREGROUND, uElapse, nullptr);
    else
        fResumeSwitching = TRUE; // armed when the session is back
}

void TrayApp::OnSessionChange(WPARAM wParam)
{
    const BOOL fWasActive = IsSessionActive();
    switch (wParam) {
    case WTS_SESSION_LOCK:
        fSessionLocked = TRUE;
        break;
    case WTS_SESSION_UNLOCK:
        fSessionLocked = FALSE;
        break;
    case WTS_CONSOLE_DISCONNECT:
    case WTS_REMOTE_DISCONNECT:
        fSessionDisconnected = TRUE;
        break;
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
        fSessionDisconnected = FALSE;
        break;
    default:
        return;
    }

    if (fWasActive && !IsSessionActive()) {
        // The setting is the machine's: while the user is away, the foreground
        // of this session must not choose it for the user who is at it. A tick
        // that runs now leaves the timer to be armed on the way back.
        if (KillTimer(hwnd, IDT_FOREGROUND)) fResumeSwitching = TRUE;
    } else if (!fWasActive && IsSessionActive()) {
        // Another session may have changed the settings meanwhile.
        ReloadSettings();
        if (fResumeSwitching) {
            fResumeSwitching = FALSE;
            // The profile current now may be another user's choice: the
            // program in the foreground is examined anew.
            dwLastForegroundPid = 0;
            SetTimer(hwnd, IDT_FOREGROUND, 0, nullptr);
        }
    }
}

void TrayApp::OnTimer(UINT_PTR id)
{
    switch (id) {
    case IDT_CLICK:
        KillTimer(hwnd, IDT_CLICK);
        ShowProfileMenu();
        break;
    case IDT_FOREGROUND:
        CheckForeground();
        break;
    case IDT_ICON_RETRY:
        RetryIcon();
        break;
    case IDT_KEYBOARD_MENU: {
        KillTimer(hwnd, IDT_KEYBOARD_MENU);
        const UINT uMenu = uKeyboardMenu;
        uKeyboardMenu = 0;
        if (uMenu == KEYBOARD_MENU_PROFILE)
            ShowProfileMenu(TRUE);
        else if (uMenu == KEYBOARD_MENU_CONTEXT)
            ShowContextMenu(TRUE);
        break;
    }
    }
}
