// The icon in the notification area, the click protocol on it, and its two
// popup menus.
#include "tray/tray_app.h"

#include "tray/resource.h"
#include "tray/tray_platform.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>

namespace {

constexpr UINT MODIFIED_SUFFIX_CCH = 260;
// A name with every character doubled (each & is), and the suffix.
constexpr UINT PROFILE_MENU_TEXT_CCH = 2 * PROFILE_NAME_CCH + MODIFIED_SUFFIX_CCH;

// A menu takes & as the mark of the next letter's shortcut: "&&" shows one.
void CopyMenuText(LPWSTR pszText, size_t cchText, LPCWSTR pszName)
{
    size_t i = 0;
    for (; *pszName && i + 2 < cchText; pszName++) {
        if (*pszName == L'&') pszText[i++] = L'&';
        pszText[i++] = *pszName;
    }
    pszText[i] = L'\0';
}

} // namespace

void TrayApp::AddIcon()
{
    if (TryAddIcon() || cIconRetriesLeft != 0) return;
    // At logon the program may start before the notification area, which
    // then sends no "TaskbarCreated" for it: the icon is tried again for a
    // while, and after that at the next device change.
    cIconRetriesLeft = ICON_RETRY_COUNT;
    SetTimer(hwnd, IDT_ICON_RETRY, ICON_RETRY_INTERVAL_MS, nullptr);
}

BOOL TrayApp::TryAddIcon()
{
    NOTIFYICONDATAW nid = {sizeof(nid)};
    nid.hWnd = hwnd;
    nid.uID = 0;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_TRAYICON;
    // The notification area shows the small size of the screen's scale; an
    // image of that size is taken as it is drawn, not shrunk from a larger one.
    LoadIconMetric(hInstance, MAKEINTRESOURCEW(IDI_TRAY), LIM_SMALL, &nid.hIcon);
    LoadStringW(hInstance, IDS_TIP, nid.szTip, ARRAYSIZE(nid.szTip));
    // The shell refuses to add an icon it shows already: that one is brought
    // up to date instead.
    BOOL fShown = g_platform.Shell_NotifyIconW(NIM_ADD, &nid);
    if (!fShown) fShown = g_platform.Shell_NotifyIconW(NIM_MODIFY, &nid);
    if (nid.hIcon) DestroyIcon(nid.hIcon); // the shell keeps its own copy
    fIconShown = fShown;
    if (!fShown) return FALSE;

    StopIconRetry();
    // Version 3 lets the keyboard reach the icon (NIN_KEYSELECT,
    // WM_CONTEXTMENU) and keeps the icon id in wParam, where the reload
    // message's wParam 1 stays apart from it; version 4 would put the anchor
    // point there.
    NOTIFYICONDATAW nidVersion = {sizeof(nidVersion)};
    nidVersion.hWnd = hwnd;
    nidVersion.uID = 0;
    nidVersion.uVersion = NOTIFYICON_VERSION;
    g_platform.Shell_NotifyIconW(NIM_SETVERSION, &nidVersion);
    return TRUE;
}

void TrayApp::StopIconRetry()
{
    cIconRetriesLeft = 0;
    KillTimer(hwnd, IDT_ICON_RETRY);
}

void TrayApp::RetryIcon()
{
    // A controller that went away comes back with a device change.
    if (!fIconShown && pDevices->RunDeviceOperation(DEVOP_PRESENCE) && !TryAddIcon() &&
        cIconRetriesLeft > 1) {
        cIconRetriesLeft--;
        return;
    }
    StopIconRetry();
}

void TrayApp::RemoveIcon()
{
    fIconShown = FALSE;
    StopIconRetry();
    NOTIFYICONDATAW nid = {sizeof(nid)};
    nid.hWnd = hwnd;
    nid.uID = 0;
    g_platform.Shell_NotifyIconW(NIM_DELETE, &nid); // removing an icon that is not shown is harmless
}

void TrayApp::OnTrayIcon(UINT uMouseMessage)
{
    if (uMouseMessage != WM_CONTEXTMENU && uMouseMessage != WM_MOUSEMOVE) fContextMenuOfClick = FALSE;
    switch (uMouseMessage) {
    case WM_LBUTTONDOWN:
        // A single click is one that no second click follows within the
        // double-click time; a timer that runs already starts again.
        SetTimer(hwnd, IDT_CLICK, g_platform.GetDoubleClickTime(), nullptr);
        break;
    case WM_LBUTTONDBLCLK:
        KillTimer(hwnd, IDT_CLICK);
        if (!pLauncher->IsSheetOpen()) pLauncher->Launch(); // modal: returns when the sheet is closed
        break;
    case WM_RBUTTONUP:
        fContextMenuOfClick = TRUE;
        ShowContextMenu();
        break;
    case NIN_KEYSELECT:
        // Enter or Space on the icon: its main function, the profile menu.
        RequestKeyboardMenu(KEYBOARD_MENU_PROFILE);
        break;
    case WM_CONTEXTMENU:
        // Shift+F10 or the menu key; the one that follows a right click is
        // the click's, whose menu WM_RBUTTONUP opened.
        if (fContextMenuOfClick) {
            fContextMenuOfClick = FALSE;
            break;
        }
        RequestKeyboardMenu(KEYBOARD_MENU_CONTEXT);
        break;
    }
    // NIN_SELECT comes after a left click, which the click protocol handles.
}

void TrayApp::RequestKeyboardMenu(UINT uMenu)
{
    // The shell may report one key press more than once, and while a menu is
    // open its selections belong to that menu.
    if (fMenuOpen || uKeyboardMenu != 0) return;
    uKeyboardMenu = uMenu;
    SetTimer(hwnd, IDT_KEYBOARD_MENU, 0, nullptr);
}

void TrayApp::ShowProfileMenu(BOOL fFromKeyboard)
{
    const BOOL fSheetOpen = pLauncher->IsSheetOpen(); // once for the whole menu
    HMENU hmenu = CreatePopupMenu();
    if (!hmenu) return;

    WCHAR szModified[MODIFIED_SUFFIX_CCH] = L"";
    LoadStringW(hInstance, IDS_MODIFIED, szModified, ARRAYSIZE(szModified));

    for (LONG i = 0; i < pSettings->cProfiles; i++) {
        WCHAR szText[PROFILE_MENU_TEXT_CCH];
        // Names hold at most 260 characters with the terminator, so a name,
        // even with every character doubled, and the suffix always fit; the
        // bounded copies keep it so anyway.
        CopyMenuText(szText, ARRAYSIZE(szText), pSettings->rgpszNames[i]);
        if (pSettings->fModified == 1 && i == pSettings->iCurrent)
            wcsncat(szText, szModified, ARRAYSIZE(szText) - 1 - wcslen(szText));

        MENUITEMINFOW mii = {sizeof(mii)};
        mii.fMask = MIIM_STATE | MIIM_ID | MIIM_TYPE;
        mii.fType = MFT_STRING;
        mii.fState = fSheetOpen ? MFS_GRAYED : 0;
        if (i == pSettings->iCurrent) mii.fState |= MFS_CHECKED;
        mii.wID = IDM_PROFILE_BASE + i;
        mii.dwTypeData = szText;
        InsertMenuItemW(hmenu, i, TRUE, &mii);
    }
    ShowMenu(hmenu, hmenu, fFromKeyboard);
}

void TrayApp::ShowContextMenu(BOOL fFromKeyboard)
{
    const BOOL fSheetOpen = pLauncher->IsSheetOpen();
    HMENU hmenu = LoadMenuW(hInstance, MAKEINTRESOURCEW(IDR_CONTEXT_MENU));
    if (!hmenu) return;
    HMENU hmenuPopup = GetSubMenu(hmenu, 0);
    const UINT fGrayed = fSheetOpen ? MFS_GRAYED : 0;

    const struct {
        UINT id;
        UINT fState;
    } rgItems[] = {
        {IDM_PROPERTIES, MFS_DEFAULT | fGrayed},
        {IDM_AUTOCHANGE, (pSettings->fAutoChange == 1 ? MFS_CHECKED : 0u) | fGrayed},
        {IDM_EXIT, fGrayed},
    };
    for (const auto& item : rgItems) {
        MENUITEMINFOW mii = {sizeof(mii)};
        mii.fMask = MIIM_STATE;
        mii.fState = item.fState; // replaces the item's state whole
        SetMenuItemInfoW(hmenuPopup, item.id, FALSE, &mii);
    }
    // Destroying the loaded menu frees its popup with it.
    ShowMenu(hmenuPopup, hmenu, fFromKeyboard);
}

void TrayApp::ShowMenu(HMENU hmenuPopup, HMENU hmenuToDestroy, BOOL fFromKeyboard)
{
    // A popup menu closes on a click elsewhere only when its owner window is
    // in the foreground.
    SetForegroundWindow(hwnd);
    fMenuOpen = TRUE;
    NOTIFYICONIDENTIFIER niid = {sizeof(niid)};
    niid.hWnd = hwnd;
    niid.uID = 0;
    RECT rcIcon = {};
    if (fFromKeyboard && SUCCEEDED(g_platform.Shell_NotifyIconGetRect(&niid, &rcIcon))) {
        // The mouse may be anywhere: the menu opens at the icon, beside it
        // rather than over it, above it where the taskbar is at the bottom.
        TPMPARAMS tpm = {sizeof(tpm)};
        tpm.rcExclude = rcIcon;
        const UINT uCommand = static_cast<UINT>(g_platform.TrackPopupMenuEx(
            hmenuPopup, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | TPM_VERTICAL | TPM_RETURNCMD, rcIcon.left,
            rcIcon.top, hwnd, &tpm));
        fMenuOpen = FALSE;
        DestroyMenu(hmenuToDestroy);
        if (uCommand != 0) {
            PostMessageW(hwnd, WM_COMMAND, uCommand, 0);
        } else if (g_platform.GetForegroundWindow() == hwnd) {
            // Dismissed with Esc (a click elsewhere takes the foreground with
            // it): the keyboard user goes on in the notification area.
            NOTIFYICONDATAW nid = {sizeof(nid)};
            nid.hWnd = hwnd;
            nid.uID = 0;
            g_platform.Shell_NotifyIconW(NIM_SETFOCUS, &nid);
        }
        PostMessageW(hwnd, WM_NULL, 0, 0);
        return;
    }

    POINT pt = {};
    g_platform.GetCursorPos(&pt);
    // Returns when the menu closes; a chosen item arrives as WM_COMMAND.
    g_platform.TrackPopupMenuEx(hmenuPopup, TPM_RIGHTBUTTON, pt.x, pt.y, hwnd, nullptr);
    fMenuOpen = FALSE;
    DestroyMenu(hmenuToDestroy);
    // Lets the menu's owner leave the foreground state cleanly.
    PostMessageW(hwnd, WM_NULL, 0, 0);
}
