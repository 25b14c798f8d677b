// The icon in the notification area, the click protocol on it, and its two
// popup menus.
#include "tray/tray_app.h"

#include "tray/resource.h"
#include "tray/tray_platform.h"

#include <shellapi.h>

#include <cwchar>

namespace {

constexpr UINT PROFILE_MENU_TEXT_CCH = 520;
constexpr UINT MODIFIED_SUFFIX_CCH = 260;

} // namespace

void TrayApp::AddIcon()
{
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(nid);
    nid.hWnd = hwnd;
    nid.uID = 0;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_TRAYICON;
    nid.hIcon = static_cast<HICON>(
        LoadImageW(hInstance, MAKEINTRESOURCEW(IDI_TRAY), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    LoadStringW(hInstance, IDS_TIP, nid.szTip, ARRAYSIZE(nid.szTip));
    // Adding an icon that is already shown, or while no notification area
    // runs, changes nothing; "TaskbarCreated" brings the icon back later.
    g_platform.Shell_NotifyIconW(NIM_ADD, &nid);
    if (nid.hIcon) DestroyIcon(nid.hIcon); // the shell keeps its own copy
    SetForegroundWindow(hwnd);
}

void TrayApp::RemoveIcon()
{
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(nid);
    nid.hWnd = hwnd;
    nid.uID = 0;
    g_platform.Shell_NotifyIconW(NIM_DELETE, &nid); // removing an icon that is not shown is harmless
}

void TrayApp::OnTrayIcon(UINT uMouseMessage)
{
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
        ShowContextMenu();
        break;
    }
}

void TrayApp::ShowProfileMenu()
{
    const BOOL fSheetOpen = pLauncher->IsSheetOpen(); // once for the whole menu
    HMENU hmenu = CreatePopupMenu();
    if (!hmenu) return;

    WCHAR szModified[MODIFIED_SUFFIX_CCH] = L"";
    LoadStringW(hInstance, IDS_MODIFIED, szModified, ARRAYSIZE(szModified));

    for (LONG i = 0; i < pSettings->cProfiles; i++) {
        WCHAR szText[PROFILE_MENU_TEXT_CCH];
        // Names hold at most 260 characters with the terminator, so a name
        // and the suffix always fit; the bounded copies keep it so anyway.
        wcsncpy(szText, pSettings->rgpszNames[i], ARRAYSIZE(szText) - 1);
        szText[ARRAYSIZE(szText) - 1] = L'\0';
        if (pSettings->fModified == 1 && i == pSettings->iCurrent)
            wcsncat(szText, szModified, ARRAYSIZE(szText) - 1 - wcslen(szText));

        MENUITEMINFOW mii = {};

        mii.cbSize = sizeof(mii);
        mii.fMask = MIIM_STATE | MIIM_ID | MIIM_TYPE;
        mii.fType = MFT_STRING;
        mii.fState = fSheetOpen ? MFS_GRAYED : 0;
        if (i == pSettings->iCurrent) mii.fState |= MFS_CHECKED;
        mii.wID = IDM_PROFILE_BASE + i;
        mii.dwTypeData = szText;
        InsertMenuItemW(hmenu, i, TRUE, &mii);
    }
    ShowMenu(hmenu, hmenu);
}

void TrayApp::ShowContextMenu()
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
        MENUITEMINFOW mii = {};
        mii.cbSize = sizeof(mii);
        mii.fMask = MIIM_STATE;
        mii.fState = item.fState; // replaces the item's state whole
        SetMenuItemInfoW(hmenuPopup, item.id, FALSE, &mii);
    }
    // Destroying the loaded menu frees its popup with it.
    ShowMenu(hmenuPopup, hmenu);
}

void TrayApp::ShowMenu(HMENU hmenuPopup, HMENU hmenuToDestroy)
{
    // A popup menu closes on a click elsewhere only when its owner window is
    // in the foreground.
    SetForegroundWindow(hwnd);
    POINT pt = {};
    g_platform.GetCursorPos(&pt);
    // Returns when the menu closes; a chosen item arrives as WM_COMMAND.
    g_platform.TrackPopupMenuEx(hmenuPopup, TPM_RIGHTBUTTON, pt.x, pt.y, hwnd, nullptr);
    DestroyMenu(hmenuToDestroy);
    // Lets the menu's owner leave the foreground state cleanly.
    PostMessageW(hwnd, WM_NULL, 0, 0);
}
