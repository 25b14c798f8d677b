// Menu commands as they reach the hidden window: profile choices, automatic
// switching on and off, Exit.
#include "tests/tray/tray_window_fixture.h"

#include "tray/resource.h"

#include <gtest/gtest.h>

namespace {

class CommandTest : public TrayWindowTest {
protected:
    void StartWithThreeProfiles(LONG iCurrent = 0, BYTE fModified = 0, BYTE fAutoChange = 0)
    {
        StoreProfiles({L"one.exe", L"two.exe", L"three.exe"}, iCurrent, fModified, fAutoChange);
        ASSERT_NE(nullptr, MakeTrayWindow());
        ForgetSavedFlags();
    }
    void Command(UINT id) { SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
};

TEST_F(CommandTest, ProfileCommandAppliesSavesAndSendsReloadRequest)
{
    StartWithThreeProfiles();

    Command(IDM_PROFILE_BASE + 2);

    EXPECT_EQ(2u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(ProfileBlock(2), GetValue(L"Current Setting"));
    EXPECT_TRUE(SaveRan());
    EXPECT_EQ(1, Controller().cRequests);
    EXPECT_TRUE(s_messageBoxes.empty());
}

// A standard user without the grant: the key refuses the save, silently,
// and the controller is still told to reload what it holds.
TEST_F(CommandTest, ProfileCommandThatCannotBeSavedStillSendsReloadRequest)
{
    StoreProfiles({L"one.exe", L"two.exe", L"three.exe"});
    ParametersKeySecurity security(STANDARD_USER_WITHOUT_GRANT_SDDL);
    ASSERT_NE(nullptr, MakeTrayWindow());

    Command(IDM_PROFILE_BASE + 2);

    EXPECT_EQ(2, App()->pSettings->iCurrent);
    EXPECT_EQ(0u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(CurrentBlockAtStart(), GetValue(L"Current Setting"));
    EXPECT_EQ(1, Controller().cRequests);
    EXPECT_TRUE(s_messageBoxes.empty());
}

TEST_F(CommandTest, CommandHighWordAndLParamAreIgnored)
{
    StartWithThreeProfiles();

    SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDM_PROFILE_BASE + 3, 1), reinterpret_cast<LPARAM>(hwnd_));

    EXPECT_EQ(3u, GetDword(L"Current Setting Index"));
}

TEST_F(CommandTest, CommandsNamingNoOtherProfileDoNothing)
{
    StartWithThreeProfiles(1);
    const UINT ids[] = {
        IDM_PROFILE_BASE + 1, // the current profile
        IDM_PROFILE_BASE + 4, // one past the last profile
        IDM_PROFILE_BASE + 500,
        0xFFFF,
        IDR_CONTEXT_MENU, // below the first profile command
        0,
    };
    for (UINT id : ids) {
        Command(id);
        EXPECT_FALSE(SaveRan()) << id;
        EXPECT_EQ(0, Controller().cRequests) << id;
        EXPECT_EQ(1u, GetDword(L"Current Setting Index")) << id;
        EXPECT_EQ(CurrentBlockAtStart(), GetValue(L"Current Setting")) << id;
    }
}

TEST_F(CommandTest, ProfileCommandWhileSheetIsOpenDoesNothing)
{
    StartWithThreeProfiles();
    HoldSheetMutex();

    Command(IDM_PROFILE_BASE + 2);

    EXPECT_FALSE(SaveRan());
    EXPECT_EQ(0, Controller().cRequests);
    EXPECT_EQ(0, App()->pSettings->iCurrent);
}

TEST_F(CommandTest, DeclinedDiscardQuestionStillSavesAndSendsReloadRequest)
{
    StartWithThreeProfiles(0, 1);
    s_nMessageBoxAnswer = IDNO;

    Command(IDM_PROFILE_BASE + 2);

    ASSERT_EQ(2u, s_messageBoxes.size());
    EXPECT_EQ(L"Corvane Wireless Controller \"Warning\"", s_messageBoxes[0]);
    EXPECT_EQ(0u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(CurrentBlockAtStart(), GetValue(L"Current Setting"));
    EXPECT_EQ(std::vector<BYTE>{1}, GetValue(L"Modified Flag"));
    EXPECT_TRUE(SaveRan());
    EXPECT_EQ(1, Controller().cRequests);
}

TEST_F(CommandTest, AcceptedDiscardQuestionAppliesTheProfile)
{
    StartWithThreeProfiles(0, 1);

    Command(IDM_PROFILE_BASE + 1);

    EXPECT_EQ(1u, GetDword(L"Current Setting Index"));
    EXPECT_EQ(std::vector<BYTE>{0}, GetValue(L"Modified Flag"));
    EXPECT_EQ(1, Controller().cRequests);
}

TEST_F(CommandTest, AutoChangeCommandTogglesTimerAndStoredFlag)
{
    const struct {
        BYTE fStored;
        BYTE fAfter;
        bool fTimer;
    } cases[] = {{0, 1, true}, {1, 0, false}, {2, 1, true}};
    for (const auto& c : cases) {
        StartWithThreeProfiles(0, 0, c.fStored);
        App()->dwLastForegroundPid = 4242;

        Command(IDM_AUTOCHANGE);

        EXPECT_EQ(std::vector<BYTE>{c.fAfter}, GetValue(L"Auto Setting Change")) << int(c.fStored);
        EXPECT_EQ(c.fTimer, StopTimer(IDT_FOREGROUND)) << int(c.fStored);
        EXPECT_EQ(4242u, App()->dwLastForegroundPid);
        EXPECT_EQ(0, Controller().cRequests);
        DestroyWindow(hwnd_);
        Pump();
    }
}

TEST_F(CommandTest, ExitClosesTheWindowUnlessASheetIsOpen)
{
    StartWithThreeProfiles();
    HoldSheetMutex();
    Command(IDM_EXIT);
    Pump();
    EXPECT_TRUE(IsWindow(hwnd_));

    ReleaseSheetMutex();
    Command(IDM_EXIT);
    EXPECT_TRUE(IsWindow(hwnd_)); // posted, not yet handled
    Pump();
    EXPECT_FALSE(IsWindow(hwnd_));
    EXPECT_EQ(nullptr, App());
}

} // namespace
