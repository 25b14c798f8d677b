// A real hidden tray window in the test process, built by the program's own
// window procedure, over a Parameters key of the test's own. The platform
// calls that a test must answer go through g_platform: one controller that
// can be plugged and unplugged, the notification area, popup menus, message
// boxes, the foreground process and the process list.
#pragma once

#include "tests/tray/fake_controllers.h"
#include "tests/tray/registry_sandbox.h"
#include "tray/app_shell.h"
#include "tray/tray_platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

struct MenuItemSeen {
    UINT wID;
    UINT fState;
    UINT fType;
    std::wstring text;

    bool operator==(const MenuItemSeen&) const = default;
    friend void PrintTo(const MenuItemSeen& item, std::ostream* os)
    {
        *os << "{" << item.wID << ", state " << item.fState << ", type " << item.fType << ", "
            << testing::PrintToString(item.text) << "}";
    }
};

struct ProcessSeen {
    DWORD pid;
    std::wstring exeFile;
};

class TrayWindowTest : public RegistrySandbox {
protected:
    void SetUp() override;
    void TearDown() override;

    // The Parameters key as the tray program finds it at start: profiles 1 to
    // n named as given, each with a block of its own; the current block
    // differs from all of them. Restart bytes are equal everywhere.
    static void StoreProfiles(std::initializer_list<const wchar_t*> names, LONG iCurrent = 0,
                              BYTE fModified = 0, BYTE fAutoChange = 0);
    static std::vector<BYTE> ProfileBlock(LONG i);
    static std::vector<BYTE> CurrentBlockAtStart();

    // Creates the hidden window (class registered once per process).
    HWND MakeTrayWindow();
    TrayApp* App() const { return GetTrayApp(); }

    // Dispatches what is queued for the thread, without waiting.
    static void Pump();
    // Dispatches messages until pred holds or the time runs out.
    static bool PumpUntil(const std::function<bool()>& pred, DWORD dwTimeoutMs = 5000);

    // Save writes "Auto Setting Change" every time: forgetting it shows
    // whether a later Save ran.
    static void ForgetSavedFlags() { DeleteValue(L"Auto Setting Change"); }
    static bool SaveRan() { return HasValue(L"Auto Setting Change"); }

    // Whether the timer runs; the answer stops it.
    bool StopTimer(UINT_PTR id) const { return KillTimer(hwnd_, id) != FALSE; }

    // Another holder of the property sheet component's mutex, in this process.
    void HoldSheetMutex();
    void ReleaseSheetMutex();

    HWND hwnd_ = nullptr;
    HANDLE hSheetMutex_ = nullptr;

public:
    // What the fakes saw and how they answer; reset for every test. The
    // controller is plugged in at the start and counts its Reload Requests.
    static FakeController& Controller() { return g_fakeControllers[0]; }
    // The notification area: each message, what the last add, change and
    // version asked for. Like the shell it refuses to add an icon it shows
    // and to change one it does not, and refuses the next s_cAddsToRefuse
    // adds, as while it is still starting.
    static std::vector<DWORD> s_notifyMessages;
    static NOTIFYICONDATAW s_lastAdd;
    static SIZE s_lastAddIconSize; // of the image the last add gave, which the program frees after it
    static NOTIFYICONDATAW s_lastModify;
    static UINT s_uLastVersion;
    static bool s_fIconShown;
    static int s_cAddsToRefuse;
    static RECT s_rcIcon; // where the shell says the icon is
    // Where and how each menu was shown (the point and the rectangle to keep
    // clear), and the item a menu that returns its choice returns.
    static std::vector<POINT> s_menuPoints;
    static std::vector<RECT> s_menuExclusions;
    static UINT s_uMenuChoice;
    static std::vector<UINT> s_messageBoxStyles;
    // Session notifications registered (window, flags) and unregistered, and
    // the restart registrations (flags).
    static std::vector<std::pair<HWND, DWORD>> s_sessionRegistrations;
    static std::vector<HWND> s_sessionUnregistrations;
    static std::vector<DWORD> s_restartRegistrations;
    static std::vector<std::vector<MenuItemSeen>> s_menus;
    static std::vector<UINT> s_menuFlags;
    static std::function<void(HMENU)> s_onMenu;
    static UINT s_uDoubleClickTime;
    static int s_nMessageBoxAnswer;
    static std::vector<std::wstring> s_messageBoxes; // caption, then text
    static std::function<void()> s_onMessageBox;
    static HWND s_hwndForeground;
    static DWORD s_pidForeground;
    static std::vector<ProcessSeen> s_processes;
    static int s_cSnapshots;
    // Messages let through from lower integrity, with the window and action.
    static std::vector<std::tuple<HWND, UINT, DWORD>> s_messageFilters;
    // Runs as a Reload Request goes out, before the controller counts it.
    static std::function<void()> s_onReloadRequest;

private:
    TrayPlatform saved_;
};
