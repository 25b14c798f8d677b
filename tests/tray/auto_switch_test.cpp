// Automatic profile switching, one foreground tick at a time.
#include "tests/tray/tray_window_fixture.h"

#include "common/device_contract.h"
#include "tray/resource.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

constexpr DWORD kGamePid = 0x1234;

class AutoSwitchTest : public TrayWindowTest {
protected:
    void Start(std::initializer_list<const wchar_t*> names, LONG iCurrent = 0, BYTE fModified = 0)
    {
        StoreProfiles(names, iCurrent, fModified, 1);
        ASSERT_NE(nullptr, MakeTrayWindow());
        ForgetSavedFlags();
    }
    void Foreground(DWORD pid, const wchar_t* pszExeFile)
    {
        s_pidForeground = pid;
        s_processes = {{4, L"C:\\windows\\system32\\services.exe"}, {pid, pszExeFile}, {pid, L"later.exe"}};
    }
    void Tick() { SendMessageW(hwnd_, WM_TIMER, IDT_FOREGROUND, 0); }
    DWORD CurrentIndex() { return GetDword(L"Current Setting Index"); }
};

// Which profile a foreground executable selects: file name with extension,
// A to Z folded on both sides, nothing else folded.
TEST_F(AutoSwitchTest, ForegroundExecutableSelectsProfileOfItsFileName)
{
    const struct {
        const wchar_t* pszExeFile;
        const wchar_t* pszProfile;
        bool fMatch;
    } cases[] = {
        {L"C:\\Games\\Racer\\RACER.EXE", L"racer.exe", true},
        {L"racer.exe", L"Racer.Exe", true},
        {L"C:\\Games\\racer.exe", L"racer", false},
        {L"C:\\Games\\racer", L"racer.exe", false},
        {L"C:\\Games\\racer.exe", L"Games\\racer.exe", false},
        {L"C:\\Jeux\\\u00C9LAN.EXE", L"\u00E9lan.exe", false},
        {L"C:\\Jeux\\\u00C9LAN.EXE", L"\u00C9lan.exe", true},
        {L"C:\\Games\\\u0130ZMIR.EXE", L"izmir.exe", false},
    };
    for (const auto& c : cases) {
        Start({L"other.exe", c.pszProfile});
        Foreground(kGamePid, c.pszExeFile);

        Tick();

        EXPECT_EQ(c.fMatch ? 2u : 0u, CurrentIndex()) << testing::PrintToString(std::wstring(c.pszExeFile));
        EXPECT_EQ(c.fMatch, SaveRan());
        EXPECT_EQ(c.fMatch ? 1 : 0, Controller().cRequests);
        EXPECT_EQ(kGamePid, App()->dwLastForegroundPid);
        DestroyWindow(hwnd_);
        Pump();
        Controller().cRequests = 0;
    }
}

TEST_F(AutoSwitchTest, RuntimeComparisonFoldsExactlyAToZ)
{
    EXPECT_EQ(0, _wcsicmp(L"GAME.EXE", L"game.exe"));
    EXPECT_EQ(0, _wcsicmp(L"AZaz@[`{", L"azAZ@[`{"));
    EXPECT_NE(0, _wcsicmp(L"\u00C9", L"\u00E9"));
    EXPECT_NE(0, _wcsicmp(L"\u0391", L"\u03B1")); // Greek capital and small alpha
    EXPECT_NE(0, _wcsicmp(L"\uFF27", L"\uFF47")); // fullwidth G and g
}

TEST_F(AutoSwitchTest, LowestMatchingProfileThatIsNotCurrentIsApplied)
{
    Start({L"game.exe", L"GAME.EXE", L"Game.exe"}, 1);
    Foreground(kGamePid, L"C:\\game.exe");

    Tick();

    EXPECT_EQ(2u, CurrentIndex());
    EXPECT_EQ(ProfileBlock(2), GetValue(L"Current Setting"));
    EXPECT_TRUE(s_messageBoxes.empty());
}

TEST_F(AutoSwitchTest, MatchWithTheCurrentProfileAloneDoesNothing)
{
    Start({L"other.exe", L"game.exe"}, 2);
    Foreground(kGamePid, L"C:\\game.exe");

    Tick();

    EXPECT_FALSE(SaveRan());
    EXPECT_EQ(0, Controller().cRequests);
    EXPECT_EQ(kGamePid, App()->dwLastForegroundPid);
}

TEST_F(AutoSwitchTest, ProfileZeroIsNeverChosenAndNoMatchKeepsTheProfile)
{
    Start({L"game.exe"}, 1);
    Foreground(kGamePid, L"Default settings");
    Tick();
    Foreground(kGamePid + 1, L"C:\\unknown.exe");
    Tick();

    EXPECT_FALSE(SaveRan());
    EXPECT_EQ(1u, CurrentIndex());
    EXPECT_EQ(kGamePid + 1, App()->dwLastForegroundPid);
}

TEST_F(AutoSwitchTest, OnlyTheFirstProcessEntryWithTheIdCounts)
{
    Start({L"later.exe"});
    Foreground(kGamePid, L"C:\\game.exe"); // the entry after it, same id, is later.exe

    Tick();

    EXPECT_FALSE(SaveRan());
}

TEST_F(AutoSwitchTest, ProcessMissingFromTheSnapshotIsStillRecorded)
{
    Start({L"game.exe"});
    s_pidForeground = kGamePid;

    Tick();

    EXPECT_EQ(1, s_cSnapshots);
    EXPECT_EQ(kGamePid, App()->dwLastForegroundPid);
    EXPECT_FALSE(SaveRan());
}

TEST_F(AutoSwitchTest, UnchangedForegroundProcessIsExaminedOnce)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\other.exe");
    Tick();
    Foreground(kGamePid, L"C:\\game.exe"); // same id, now with a matching name

    Tick();

    EXPECT_EQ(1, s_cSnapshots);
    EXPECT_FALSE(SaveRan());
}

TEST_F(AutoSwitchTest, ModifiedSettingsHoldSwitchingUntilCleared)
{
    Start({L"game.exe"}, 0, 1);
    Foreground(kGamePid, L"C:\\game.exe");

    Tick();
    EXPECT_EQ(0, s_cSnapshots);
    EXPECT_EQ(0u, App()->dwLastForegroundPid);

    App()->pSettings->fModified = 0;
    Tick();
    EXPECT_EQ(1u, CurrentIndex());
    EXPECT_EQ(kGamePid, App()->dwLastForegroundPid);
}

TEST_F(AutoSwitchTest, OpenSheetHoldsSwitchingUntilClosed)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\game.exe");
    HoldSheetMutex();

    Tick();
    EXPECT_EQ(0, s_cSnapshots);
    EXPECT_EQ(0u, App()->dwLastForegroundPid);

    ReleaseSheetMutex();
    Tick();
    EXPECT_EQ(1u, CurrentIndex());
}

TEST_F(AutoSwitchTest, TickWithoutForegroundWindowDoesNothing)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\other.exe");
    Tick();
    s_hwndForeground = nullptr;
    Foreground(kGamePid + 1, L"C:\\game.exe");

    Tick();

    EXPECT_EQ(1, s_cSnapshots);
    EXPECT_EQ(kGamePid, App()->dwLastForegroundPid);
    EXPECT_TRUE(StopTimer(IDT_FOREGROUND));
}

TEST_F(AutoSwitchTest, EveryTickArmsTheTimerAgain)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\game.exe");
    HoldSheetMutex(); // a tick that does not check
    Tick();
    EXPECT_TRUE(StopTimer(IDT_FOREGROUND));
    ReleaseSheetMutex();
    Tick(); // a tick that switches
    EXPECT_TRUE(StopTimer(IDT_FOREGROUND));
}

TEST_F(AutoSwitchTest, TimerDrivesTheFirstCheckAtOnce)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\game.exe");

    ASSERT_TRUE(PumpUntil([] { return Controller().cRequests == 1; }));
    EXPECT_EQ(1u, CurrentIndex());
}

TEST_F(AutoSwitchTest, TurningSwitchingOffAndOnKeepsTheLastProcess)
{
    Start({L"game.exe"});
    Foreground(kGamePid, L"C:\\other.exe");
    Tick();
    SendMessageW(hwnd_, WM_COMMAND, IDM_AUTOCHANGE, 0);
    SendMessageW(hwnd_, WM_COMMAND, IDM_AUTOCHANGE, 0);
    Foreground(kGamePid, L"C:\\game.exe");

    Tick();

    EXPECT_EQ(1, s_cSnapshots);
    EXPECT_EQ(0, Controller().cRequests);
}

// The notice comes the moment a game comes to the front: no message box,
// which would take the foreground from the game and hold switching, but a
// notification of the icon, which the system holds back in full-screen play.
TEST_F(AutoSwitchTest, RestartNoticeOfTheNewProfileIsANotificationAndTheProfileApplied)
{
    StoreProfiles({L"game.exe"}, 0, 0, 1);
    std::vector<BYTE> block = ProfileBlock(1);
    block[124] = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, L"Setting 1", REG_BINARY, block.data(), 126);
    ASSERT_NE(nullptr, MakeTrayWindow());
    Foreground(kGamePid, L"C:\\game.exe");

    Tick();

    EXPECT_TRUE(s_messageBoxes.empty());
    EXPECT_EQ(hwnd_, s_lastModify.hWnd);
    EXPECT_EQ(UINT(NIF_INFO), s_lastModify.uFlags);
    EXPECT_STREQ(L"Corvane Wireless Controller \"Restart\"", s_lastModify.szInfoTitle);
    EXPECT_EQ(std::wstring(L"Your changes require a driver restart to become effective. Please unplug and "
                           L"replug your controller from the USB port or restart your computer."),
              s_lastModify.szInfo);
    EXPECT_EQ(block, GetValue(L"Current Setting"));
    EXPECT_TRUE(StopTimer(IDT_FOREGROUND)); // switching goes on
}

// What the user or another program does while a tick runs decides whether
// switching goes on: the last command 3002 does, and a reload, whatever
// switching flag it reads, does not. The tick's Reload Request is where they
// come in. No tick can come while one runs: its timer is stopped meanwhile.
TEST_F(AutoSwitchTest, TimerAfterATickFollowsTheCommandsGivenDuringIt)
{
    const struct {
        const char* pszDuringTheTick;
        std::vector<WPARAM> commands;
        bool fReload;
        bool fTimer;
    } cases[] = {
        {"switching turned off", {IDM_AUTOCHANGE}, false, false},
        {"turned off and on again", {IDM_AUTOCHANGE, IDM_AUTOCHANGE}, false, true},
        {"a reload that reads it off", {}, true, true},
        {"nothing at all", {}, false, true},
    };
    for (const auto& c : cases) {
        StoreProfiles({L"game.exe"}, 0, 0, 1);
        ASSERT_NE(nullptr, MakeTrayWindow());
        Foreground(kGamePid, L"C:\\game.exe");
        bool fTimerDuringTheTick = true;
        s_onReloadRequest = [&] {
            s_onReloadRequest = nullptr;
            fTimerDuringTheTick = StopTimer(IDT_FOREGROUND);
            for (WPARAM id : c.commands)
                SendMessageW(hwnd_, WM_COMMAND, id, 0);
            if (c.fReload) {
                // After the tick's save: the reload reads the flag off.
                const BYTE fOff = 0;
                SetValue(L"Auto Setting Change", REG_BINARY, &fOff, 1);
                SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_RELOAD, 0);
            }
        };

        Tick();

        EXPECT_EQ(1u, CurrentIndex()) << c.pszDuringTheTick;
        EXPECT_FALSE(fTimerDuringTheTick) << c.pszDuringTheTick;
        EXPECT_EQ(c.fReload || c.commands.size() % 2 ? 0 : 1, App()->pSettings->fAutoChange)
            << c.pszDuringTheTick;
        EXPECT_EQ(c.fTimer, StopTimer(IDT_FOREGROUND)) << c.pszDuringTheTick;
        DestroyWindow(hwnd_);
        Pump();
    }
}

} // namespace
