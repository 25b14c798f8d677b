// The hidden window's lifecycle and the messages it answers without a click:
// device changes, the notification area's restart, the reload message.
#include "tests/tray/tray_window_fixture.h"

#include "tests/tray/failing_allocation.h"
#include "tray/resource.h"

#include <dbt.h>
#include <wtsapi32.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using AppShellTest = TrayWindowTest;

TEST_F(AppShellTest, StartWithControllerAddsTheIconAsTheShellExpectsIt)
{
    StoreProfiles({L"game.exe"});
    ASSERT_NE(nullptr, MakeTrayWindow());
    ASSERT_NE(nullptr, App());

    // Version 3 right after the add: the keyboard reaches the icon, and
    // wParam keeps the icon id.
    ASSERT_EQ((std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}), s_notifyMessages);
    EXPECT_EQ(3u, s_uLastVersion);
    EXPECT_EQ(976u, s_lastAdd.cbSize);
    EXPECT_EQ(hwnd_, s_lastAdd.hWnd);
    EXPECT_EQ(0u, s_lastAdd.uID);
    EXPECT_EQ(UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP), s_lastAdd.uFlags);
    EXPECT_EQ(1025u, s_lastAdd.uCallbackMessage);
    EXPECT_NE(nullptr, s_lastAdd.hIcon);
    // The notification area's own size, not the large one shrunk.
    EXPECT_EQ((SIZE{GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)}.cx), s_lastAddIconSize.cx);
    EXPECT_EQ(GetSystemMetrics(SM_CYSMICON), s_lastAddIconSize.cy);
    EXPECT_STREQ(L"Corvane Wireless Controller", s_lastAdd.szTip);
    EXPECT_FALSE(IsWindowVisible(hwnd_));
    // Adding the icon leaves the foreground where it was: a full-screen game
    // must not be minimised by a hidden window.
    EXPECT_NE(hwnd_, GetForegroundWindow());
}

TEST_F(AppShellTest, StartWithoutControllerShowsNoIcon)
{
    Controller().fPlugged = false;
    ASSERT_NE(nullptr, MakeTrayWindow());
    EXPECT_TRUE(s_notifyMessages.empty());
}

TEST_F(AppShellTest, ForegroundTimerRunsFromStartOnlyWhenAutoChangeIsOne)
{
    const struct {
        BYTE fAutoChange;
        bool fTimer;
    } cases[] = {{0, false}, {1, true}, {2, false}, {0xFF, false}};
    for (const auto& c : cases) {
        StoreProfiles({L"game.exe"}, 0, 0, c.fAutoChange);
        ASSERT_NE(nullptr, MakeTrayWindow());
        EXPECT_EQ(c.fTimer, StopTimer(IDT_FOREGROUND)) << int(c.fAutoChange);
        DestroyWindow(hwnd_);
        Pump();
    }
}

TEST_F(AppShellTest, DeviceChangeAddsOrRemovesTheIconByPresence)
{
    Controller().fPlugged = false;
    ASSERT_NE(nullptr, MakeTrayWindow());

    Controller().fPlugged = true;
    EXPECT_EQ(TRUE, SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    // Again while shown: added again, the shell's refusal does not matter.
    EXPECT_EQ(TRUE, SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
    Controller().fPlugged = false;
    EXPECT_EQ(TRUE, SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0));

    // The shell refuses the second add of an icon it shows: the icon is
    // brought up to date instead, and stays.
    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_ADD, NIM_MODIFY, NIM_SETVERSION, NIM_DELETE}),
              s_notifyMessages);
    EXPECT_FALSE(StopTimer(IDT_ICON_RETRY));
}

// At logon the notification area may still be starting when the program
// adds its icon, and sends no "TaskbarCreated" afterwards: the add is tried
// again every 2 s until the shell takes it, then the version is set.
TEST_F(AppShellTest, IconThatTheShellRefusesIsTriedAgainUntilItIsShown)
{
    s_cAddsToRefuse = 2;
    ASSERT_NE(nullptr, MakeTrayWindow());
    EXPECT_FALSE(s_fIconShown);

    SendMessageW(hwnd_, WM_TIMER, IDT_ICON_RETRY, 0);
    EXPECT_FALSE(s_fIconShown);
    SendMessageW(hwnd_, WM_TIMER, IDT_ICON_RETRY, 0);
    EXPECT_TRUE(s_fIconShown);
    EXPECT_EQ(3u, s_uLastVersion);
    EXPECT_FALSE(StopTimer(IDT_ICON_RETRY)); // done

    // Without a controller at the next try there is nothing to show, and
    // the tries stop; after all of them have failed, a device change tries.
    DestroyWindow(hwnd_);
    Pump();
    s_cAddsToRefuse = 1000;
    ASSERT_NE(nullptr, MakeTrayWindow());
    Controller().fPlugged = false;
    SendMessageW(hwnd_, WM_TIMER, IDT_ICON_RETRY, 0);
    EXPECT_FALSE(StopTimer(IDT_ICON_RETRY));
    Controller().fPlugged = true;
    SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    s_notifyMessages.clear();
    // The device changes meanwhile add the icon too, and are refused too:
    // the tries still end 2 minutes after the first.
    for (UINT i = 0; i < ICON_RETRY_COUNT; i++) {
        if (i % 20 == 10) SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        SendMessageW(hwnd_, WM_TIMER, IDT_ICON_RETRY, 0);
    }
    EXPECT_EQ(ICON_RETRY_COUNT + 3,
              std::count(s_notifyMessages.begin(), s_notifyMessages.end(), DWORD(NIM_ADD)));
    EXPECT_FALSE(StopTimer(IDT_ICON_RETRY));
    s_cAddsToRefuse = 0;
    SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(s_fIconShown);
}

TEST_F(AppShellTest, TaskbarCreatedBringsTheIconBackOnlyWithController)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    const UINT uTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    s_notifyMessages.clear();

    s_fIconShown = false; // the new notification area knows no icon
    SendMessageW(hwnd_, uTaskbarCreated, 0, 0);
    s_fIconShown = false;
    Controller().fPlugged = false;
    SendMessageW(hwnd_, uTaskbarCreated, 0, 0);

    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}), s_notifyMessages);
}

// Started elevated, the program still hears the shell's restart, the icon and
// the reload message, which come from processes of the user's integrity.
TEST_F(AppShellTest, ShellAndReloadMessagesAreLetThroughFromLowerIntegrity)
{
    ASSERT_NE(nullptr, MakeTrayWindow());

    const std::vector<std::tuple<HWND, UINT, DWORD>> expected = {
        {hwnd_, RegisterWindowMessageW(L"TaskbarCreated"), MSGFLT_ALLOW},
        {hwnd_, WM_TRAYICON, MSGFLT_ALLOW},
    };
    EXPECT_EQ(expected, s_messageFilters);
}

// Session changes reach the window, and the Restart Manager may start the
// program again after an upgrade, but not after a crash, a hang or a reboot.
TEST_F(AppShellTest, RegistersForSessionChangesAndForRestartAfterAnUpgrade)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    EXPECT_EQ((std::vector<std::pair<HWND, DWORD>>{{hwnd_, NOTIFY_FOR_THIS_SESSION}}),
              s_sessionRegistrations);
    EXPECT_EQ((std::vector<DWORD>{RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT}),
              s_restartRegistrations);
    const HWND hwnd = hwnd_;
    DestroyWindow(hwnd_);
    EXPECT_EQ(std::vector<HWND>{hwnd}, s_sessionUnregistrations);
}

// A locked or disconnected session stops switching the machine's setting
// under the user at the machine, without touching the stored flag; back, it
// reads the store anew and switches again, from the foreground as it is then.
TEST_F(AppShellTest, LockedOrDisconnectedSessionPausesSwitchingUntilItIsBack)
{
    const struct {
        const char* pszAway;
        std::vector<WPARAM> away;
        std::vector<WPARAM> back;
    } cases[] = {
        {"locked", {WTS_SESSION_LOCK}, {WTS_SESSION_UNLOCK}},
        {"switched to another user",
         {WTS_SESSION_LOCK, WTS_CONSOLE_DISCONNECT},
         {WTS_CONSOLE_CONNECT, WTS_SESSION_UNLOCK}},
        {"remote, disconnected", {WTS_REMOTE_DISCONNECT}, {WTS_REMOTE_CONNECT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszAway);
        StoreProfiles({L"game.exe"}, 0, 0, 1);
        ASSERT_NE(nullptr, MakeTrayWindow());
        App()->dwLastForegroundPid = 4242;
        ForgetSavedFlags();

        for (WPARAM w : c.away)
            EXPECT_EQ(0, SendMessageW(hwnd_, WM_WTSSESSION_CHANGE, w, 1));
        EXPECT_FALSE(StopTimer(IDT_FOREGROUND));
        // Turned on while away, it still waits for the user's return.
        SendMessageW(hwnd_, WM_COMMAND, IDM_AUTOCHANGE, 0);
        SendMessageW(hwnd_, WM_COMMAND, IDM_AUTOCHANGE, 0);
        EXPECT_FALSE(StopTimer(IDT_FOREGROUND));
        DeleteValue(L"Auto Setting Change");
        for (size_t i = 0; i + 1 < c.back.size(); i++) {
            SendMessageW(hwnd_, WM_WTSSESSION_CHANGE, c.back[i], 1);
            EXPECT_FALSE(StopTimer(IDT_FOREGROUND)); // connected, still locked
        }

        StoreProfiles({L"game.exe", L"other.exe"}, 0, 0, 1); // another session's sheet
        SendMessageW(hwnd_, WM_WTSSESSION_CHANGE, c.back.back(), 1);
        EXPECT_TRUE(StopTimer(IDT_FOREGROUND));
        EXPECT_EQ(3, App()->pSettings->cProfiles);
        EXPECT_EQ(0u, App()->dwLastForegroundPid);
        DestroyWindow(hwnd_);
        Pump();
    }

    // Switching that was off stays off, and the stored flag is not written.
    StoreProfiles({L"game.exe"}, 0, 0, 0);
    ASSERT_NE(nullptr, MakeTrayWindow());
    ForgetSavedFlags();
    SendMessageW(hwnd_, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 1);
    SendMessageW(hwnd_, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 1);
    EXPECT_FALSE(StopTimer(IDT_FOREGROUND));
    EXPECT_FALSE(SaveRan());
}

// The installer's Restart Manager may always close the program, and ends it
// as Exit does; a logoff's end of session leaves the ending to the system.
TEST_F(AppShellTest, RestartManagersCloseEndsTheProgramAsExitDoes)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    EXPECT_EQ(TRUE, SendMessageW(hwnd_, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    SendMessageW(hwnd_, WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP); // closing called off
    SendMessageW(hwnd_, WM_ENDSESSION, TRUE, 0);
    EXPECT_TRUE(IsWindow(hwnd_));
    s_notifyMessages.clear();

    EXPECT_EQ(0, SendMessageW(hwnd_, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP));

    EXPECT_FALSE(IsWindow(hwnd_));
    EXPECT_EQ(nullptr, App());
    EXPECT_EQ(std::vector<DWORD>{NIM_DELETE}, s_notifyMessages);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0u, msg.wParam);
}

TEST_F(AppShellTest, ReloadMessageReadsTheStoreAndLeavesTimerAndIconAlone)
{
    StoreProfiles({L"game.exe"}, 0, 0, 0);
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_notifyMessages.clear();

    StoreProfiles({L"game.exe", L"other.exe"}, 2, 1, 1);
    EXPECT_EQ(0, SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_RELOAD, 0));

    EXPECT_EQ(3, App()->pSettings->cProfiles);
    EXPECT_EQ(2, App()->pSettings->iCurrent);
    EXPECT_EQ(1, App()->pSettings->fModified);
    EXPECT_EQ(1, App()->pSettings->fAutoChange);
    EXPECT_FALSE(StopTimer(IDT_FOREGROUND)); // switching stays off until command 3002
    EXPECT_EQ(0, Controller().cRequests);
    EXPECT_TRUE(s_notifyMessages.empty());
}

TEST_F(AppShellTest, ReloadMessageDoesNotStopRunningSwitching)
{
    StoreProfiles({L"game.exe"}, 0, 0, 1);
    ASSERT_NE(nullptr, MakeTrayWindow());
    StoreProfiles({L"game.exe"}, 0, 0, 0);

    SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_RELOAD, 0);

    EXPECT_EQ(0, App()->pSettings->fAutoChange);
    EXPECT_TRUE(StopTimer(IDT_FOREGROUND));
}

TEST_F(AppShellTest, TrayMessageWithOtherWParamDoesNothing)
{
    StoreProfiles({L"game.exe"});
    ASSERT_NE(nullptr, MakeTrayWindow());
    StoreProfiles({L"game.exe", L"other.exe"});

    EXPECT_EQ(0, SendMessageW(hwnd_, WM_TRAYICON, 2, WM_LBUTTONDBLCLK));
    EXPECT_EQ(2, App()->pSettings->cProfiles);
}

TEST_F(AppShellTest, DestroyRemovesTheIconFreesTheAppAndQuits)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_notifyMessages.clear();

    DestroyWindow(hwnd_);

    EXPECT_EQ(std::vector<DWORD>{NIM_DELETE}, s_notifyMessages);
    EXPECT_EQ(nullptr, App());
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0u, msg.wParam);
}

// Fails each nothrow allocation of window creation in turn: the Tray App and
// its three objects are among them. Whatever cannot be allocated, either the
// window is created whole or creation fails and leaves nothing behind.
TEST_F(AppShellTest, FailedAllocationFailsWindowCreationAndLeavesNothing)
{
    StoreProfiles({L"game.exe", L"other.exe"}, 0, 0, 1);
    int cFailedCreations = 0;
    int cCreatedInARow = 0;
    int iAllocation = 1;
    for (; iAllocation < 200 && cCreatedInARow < 10; iAllocation++) {
        s_notifyMessages.clear();
        FailNothrowAllocations(iAllocation, 1);
        HWND hwnd = MakeTrayWindow();
        FailNothrowAllocations(0, 0);
        if (hwnd) {
            ASSERT_NE(nullptr, App());
            DestroyWindow(hwnd);
            Pump();
            cCreatedInARow++; // ten in a row: past every allocation of creation
            continue;
        }
        cCreatedInARow = 0;
        cFailedCreations++;
        EXPECT_EQ(nullptr, App()) << iAllocation;
        EXPECT_EQ(nullptr, FindWindowW(TRAY_WINDOW_CLASS, nullptr)) << iAllocation;
        for (DWORD dwMessage : s_notifyMessages)
            EXPECT_NE(DWORD(NIM_ADD), dwMessage) << iAllocation;
        Pump();
    }
    EXPECT_LT(iAllocation, 200);
    // The Tray App, its store, its launcher and its device list at least.
    EXPECT_GE(cFailedCreations, 4);
    // Allocation 1 is the Tray App, allocation 2 its Settings Store.
    FailNothrowAllocations(1, 1);
    EXPECT_EQ(nullptr, MakeTrayWindow());
    FailNothrowAllocations(2, 1);
    EXPECT_EQ(nullptr, MakeTrayWindow());
    FailNothrowAllocations(0, 0);
}

TEST_F(AppShellTest, WindowDestroyedDuringAMenuIsTornDownAfterTheHandler)
{
    StoreProfiles({L"game.exe"});
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_notifyMessages.clear();
    TrayApp* pAppDuringMenu = nullptr;
    s_onMenu = [&](HMENU) {
        DestroyWindow(hwnd_); // as an outside WM_CLOSE would, inside the menu's loop
        pAppDuringMenu = App();
    };

    SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_NOTIFY, WM_RBUTTONUP);

    EXPECT_NE(nullptr, pAppDuringMenu); // still there while the handler ran
    EXPECT_EQ(nullptr, App());
    EXPECT_EQ(std::vector<DWORD>{NIM_DELETE}, s_notifyMessages);
}

TEST_F(AppShellTest, ReloadDuringTheDiscardQuestionWaitsUntilTheProfileIsApplied)
{
    StoreProfiles({L"one.exe", L"two.exe"}, 0, 1, 0);
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_onMessageBox = [&] {
        // Another program cuts the profiles back and asks for a reload while
        // the question is open.
        StoreProfiles({}, 0, 0, 0);
        SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_RELOAD, 0);
        EXPECT_EQ(3, App()->pSettings->cProfiles);
    };

    SendMessageW(hwnd_, WM_COMMAND, IDM_PROFILE_BASE + 2, 0);

    EXPECT_EQ(2u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(ProfileBlock(2), GetValue(L"Current Setting"));
    EXPECT_EQ(1, Controller().cRequests);
    EXPECT_EQ(2, App()->pSettings->iCurrent);  // read back after the save
    EXPECT_EQ(1, App()->pSettings->cProfiles); // the reload came, after the apply
    EXPECT_EQ(1u, GetDword(L"Setting Count"));
}

// A second apply inside the first one's restart notice, and a reload that
// lowers the profile count while both run: the profiles the outer apply holds
// stay until it has ended, and the reload comes after it, not never.
TEST_F(AppShellTest, ApplyInsideAnotherKeepsTheOuterProfilesUntilBothEnded)
{
    StoreProfiles({L"one.exe", L"two.exe", L"three.exe"});
    std::vector<BYTE> block = ProfileBlock(3);
    block[123] = 1; // a restart notice on the way to profile 3
    SetValue(L"Setting 3", REG_BINARY, block.data(), static_cast<DWORD>(block.size()));
    ASSERT_NE(nullptr, MakeTrayWindow());

    // Another program cuts the profiles back to one and asks for a reload,
    // then a command for profile 1 comes; as the inner apply's Reload
    // Request goes out, it asks for a reload again.
    const auto cutProfilesAndReload = [&] {
        SetDword(L"Setting Count", 2);
        SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_RELOAD, 0);
    };
    s_onMessageBox = [&] {
        s_onMessageBox = nullptr;
        cutProfilesAndReload();
        s_onReloadRequest = [&] {
            s_onReloadRequest = nullptr;
            cutProfilesAndReload();
        };
        SendMessageW(hwnd_, WM_COMMAND, IDM_PROFILE_BASE + 1, 0);
        EXPECT_EQ(4, App()->pSettings->cProfiles); // nothing reloaded under the outer apply
    };

    SendMessageW(hwnd_, WM_COMMAND, IDM_PROFILE_BASE + 3, 0);

    EXPECT_EQ(2, Controller().cRequests);
    EXPECT_EQ(3u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(block, GetValue(L"Current Setting"));
    EXPECT_EQ(2u, GetDword(L"Setting Count")); // the other program's count stands
    const SettingsStore& settings = *App()->pSettings;
    EXPECT_EQ(2, settings.cProfiles); // read once both applies ended
    EXPECT_EQ(3, settings.iCurrent);  // as stored: a profile the other program took away
    EXPECT_EQ(block, std::vector<BYTE>(settings.current.rgb, settings.current.rgb + 126));
}

} // namespace
