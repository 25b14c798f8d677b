// The tray program's single application object: owns the Settings Store, the
// Property Sheet Launcher and the Supported Device List from the creation of
// the hidden window to its destruction, and carries out every event the
// window procedure hands it.
#pragma once

#include "tray/device_list.h"
#include "tray/property_sheet_launcher.h"
#include "tray/settings_store.h"

#include "common/tray_contract.h"

#include <windows.h>

// Timers of the hidden window.
constexpr UINT_PTR IDT_CLICK = 1;      // tells a single click from a double click
constexpr UINT_PTR IDT_FOREGROUND = 2; // drives automatic profile switching
constexpr UINT FOREGROUND_INTERVAL_MS = 1000;
constexpr UINT_PTR IDT_ICON_RETRY = 3;    // adds the icon again while the shell refuses it
constexpr UINT_PTR IDT_KEYBOARD_MENU = 4; // opens a menu the keyboard asked for
// At logon the notification area may still be starting: the icon is tried
// again every 2 s for 2 minutes.
constexpr UINT ICON_RETRY_INTERVAL_MS = 2000;
constexpr UINT ICON_RETRY_COUNT = 60;

class TrayApp {
public:
    // Builds the Tray App and its three objects, adds the icon when a
    // supported controller is present and arms automatic switching. Null when
    // any of the objects could not be allocated; nothing is left behind then.
    static TrayApp* Create(HINSTANCE hInstance, HWND hwnd);
    // Removes the icon and destroys the three objects, last the store.
    ~TrayApp();
    TrayApp(const TrayApp&) = delete;
    TrayApp& operator=(const TrayApp&) = delete;

    void OnCommand(WORD id);
    void OnTimer(UINT_PTR id);
    // The reload message: the store reads everything anew from the registry.
    void ReloadSettings();
    // WM_WTSSESSION_CHANGE: switching pauses while the session is locked or
    // disconnected and resumes, with the settings read anew, when it is back.
    void OnSessionChange(WPARAM wParam);

    // The icon and its menus.
    void AddIcon();
    void RemoveIcon();
    void OnTrayIcon(UINT uMouseMessage);
    // From the keyboard a menu opens at the icon, and the focus goes back to
    // the notification area when it is dismissed.
    void ShowProfileMenu(BOOL fFromKeyboard = FALSE);
    void ShowContextMenu(BOOL fFromKeyboard = FALSE);

    // Automatic profile switching.
    void CheckForeground();
    void SwitchToProcessProfile(DWORD pid);

    HINSTANCE hInstance;
    HWND hwnd;
    DWORD dwLastForegroundPid = 0;
    SettingsStore* pSettings = nullptr;
    PropertySheetLauncher* pLauncher = nullptr;
    SupportedDeviceList* pDevices = nullptr;

private:
    TrayApp(HINSTANCE hInstance, HWND hwnd) : hInstance(hInstance), hwnd(hwnd) {}
    void ShowMenu(HMENU hmenuPopup, HMENU hmenuToDestroy, BOOL fFromKeyboard);
    void RequestKeyboardMenu(UINT uMenu);
    // Adds the icon and sets its version; false when the shell refused it.
    BOOL TryAddIcon();
    void RetryIcon();
    // Ends the retries: the icon is shown, removed, or no longer wanted.
    void StopIconRetry();
    // Sets the timer of automatic switching, unless the session is away.
    void ArmForegroundTimer(UINT uElapse);
    // ApplyProfile, then Save and a Reload Request to every controller.
    void ApplyAndAnnounce(LONG i, BOOL fSilent);

    // A reload that arrives while the store's message boxes are open waits
    // until the profile has been applied. Applies nest: another profile
    // command, or a tick, can be dispatched inside those boxes, and the outer
    // apply still holds its index into the profiles when the inner one ends.
    // So the waiting reload runs only once the outermost apply has ended.
    LONG cApplyDepth = 0;
    BOOL fReloadPending = FALSE;
    // Counts the commands that turned automatic switching on or off. A tick
    // during which one came leaves the timer as the command set it.
    DWORD cAutoChangeCommands = 0;

    // Whether the shell accepted the icon, and how many more times the retry
    // timer tries to add it.
    BOOL fIconShown = FALSE;
    UINT cIconRetriesLeft = 0;

    // A locked or disconnected session does not switch the machine's setting
    // under the user of another session; switching that ran, or was turned
    // on meanwhile, resumes when the session is back.
    BOOL fSessionLocked = FALSE;
    BOOL fSessionDisconnected = FALSE;
    BOOL fResumeSwitching = FALSE;
    BOOL IsSessionActive() const { return !fSessionLocked && !fSessionDisconnected; }

    // The keyboard's menus open from a timer, once however many selections
    // one key press brings; none opens over a menu that is open already.
    UINT uKeyboardMenu = 0; // KEYBOARD_MENU_PROFILE or KEYBOARD_MENU_CONTEXT
    BOOL fMenuOpen = FALSE;
    // A right click also brings WM_CONTEXTMENU, after WM_RBUTTONUP opened the
    // context menu already.
    BOOL fContextMenuOfClick = FALSE;
};

constexpr UINT KEYBOARD_MENU_PROFILE = 1;
constexpr UINT KEYBOARD_MENU_CONTEXT = 2;
