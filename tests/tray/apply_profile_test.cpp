#include "tray/settings_store.h"

#include "tests/tray/registry_sandbox.h"
#include "tray/tray_platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

struct MessageBoxCall {
    HWND hwnd;
    std::wstring text;
    std::wstring caption;
    UINT uType;
};

std::vector<MessageBoxCall> s_calls;
std::deque<int> s_answers;

int WINAPI AnswerMessageBox(HWND hwnd, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType)
{
    s_calls.push_back({hwnd, pszText, pszCaption, uType});
    if (s_answers.empty()) return IDOK;
    const int answer = s_answers.front();
    s_answers.pop_front();
    return answer;
}

// Notifications of the owner's icon.
std::vector<NOTIFYICONDATAW> s_notifications;

BOOL WINAPI RecordNotification(DWORD dwMessage, PNOTIFYICONDATAW pnid)
{
    EXPECT_EQ(DWORD(NIM_MODIFY), dwMessage);
    s_notifications.push_back(*pnid);
    return TRUE;
}

const HWND kOwner = reinterpret_cast<HWND>(0x4242);
const MessageBoxCall kQuestion = {
    kOwner,
    L"You have modified your current settings profile.\nDo you want to discard your "
    L"changes and load a new profile?",
    L"Corvane Wireless Controller \"Warning\"",
    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2}; // Enter answers No
const MessageBoxCall kRestartNotice = {
    kOwner,
    L"Your changes require a driver restart to become effective. Please unplug "
    L"and replug your controller from the USB port or restart your computer.",
    L"Corvane Wireless Controller \"Restart\"", MB_OK | MB_ICONINFORMATION};

void ExpectCalls(const std::vector<MessageBoxCall>& expected)
{
    ASSERT_EQ(expected.size(), s_calls.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].hwnd, s_calls[i].hwnd);
        EXPECT_EQ(expected[i].text, s_calls[i].text);
        EXPECT_EQ(expected[i].caption, s_calls[i].caption);
        EXPECT_EQ(expected[i].uType, s_calls[i].uType);
    }
}

// A store of three profiles, current = defaults; profile 2 differs from the
// defaults in its body only, so applying it needs no restart.
class ApplyProfileTest : public RegistrySandbox {
protected:
    void SetUp() override
    {
        RegistrySandbox::SetUp();
        SetDword(L"Setting Count", 3);
        saved_ = g_platform;
        g_platform.MessageBoxW = AnswerMessageBox;
        g_platform.Shell_NotifyIconW = RecordNotification;
        s_calls.clear();
        s_notifications.clear();
        s_answers.clear();
        pStore_ = new SettingsStore(GetModuleHandleW(nullptr), kOwner);
        SetDefaults(&store().rgProfiles[2]);
        store().rgProfiles[2].rgb[0] = 0x99;
    }
    void TearDown() override
    {
        delete pStore_;
        g_platform = saved_;
        RegistrySandbox::TearDown();
    }
    SettingsStore& store() { return *pStore_; }
    bool CurrentIsProfile(LONG i) { return std::memcmp(&store().current, &store().rgProfiles[i], 126) == 0; }

private:
    TrayPlatform saved_;
    SettingsStore* pStore_ = nullptr;
};

TEST_F(ApplyProfileTest, ModifiedAndSilentChangesNothingAndShowsNothing)
{
    store().fModified = 1;
    store().ApplyProfile(2, TRUE);
    ExpectCalls({});
    EXPECT_FALSE(CurrentIsProfile(2));
    EXPECT_EQ(0, store().iCurrent);
    EXPECT_EQ(1, store().fModified);
}

TEST_F(ApplyProfileTest, ModifiedAskedAndAnsweredNoChangesNothing)
{
    // A question the box could not show (0) counts as No, as does any
    // answer other than Yes.
    for (int answer : {IDNO, 0, IDCANCEL}) {
        SCOPED_TRACE(answer);
        s_calls.clear();
        store().fModified = 1;
        s_answers = {answer};
        store().ApplyProfile(2, FALSE);
        ExpectCalls({kQuestion});
        EXPECT_FALSE(CurrentIsProfile(2));
        EXPECT_EQ(0, store().iCurrent);
        EXPECT_EQ(1, store().fModified);
    }
}

TEST_F(ApplyProfileTest, ModifiedAskedAndAnsweredYesAppliesAndClearsTheFlag)
{
    store().fModified = 1;
    s_answers = {IDYES};
    store().ApplyProfile(2, FALSE);
    ExpectCalls({kQuestion});
    EXPECT_TRUE(CurrentIsProfile(2));
    EXPECT_EQ(2, store().iCurrent);
    EXPECT_EQ(0, store().fModified);
}

TEST_F(ApplyProfileTest, ModifiedFlagOtherThanOneIsNotAsked)
{
    store().fModified = 2;
    store().ApplyProfile(2, FALSE);
    ExpectCalls({});
    EXPECT_TRUE(CurrentIsProfile(2));
    EXPECT_EQ(0, store().fModified);
}

// From the menu the notice is a message box; from automatic switching, which
// runs while a game comes to the front, a notification of the owner's icon
// with the same texts, which takes no foreground and no nested loop.
TEST_F(ApplyProfileTest, RestartNoticeComesOnceWhenARestartByteDiffersAndTheProfileIsApplied)
{
    const struct {
        DWORD ib; // restart byte changed in the profile, 0 for none
        BOOL fSilent;
        bool fNotice;
    } cases[] = {{0, FALSE, false},
                 {0, TRUE, false},
                 {RESTART_BYTE_1, FALSE, true},
                 {RESTART_BYTE_1, TRUE, true},
                 {RESTART_BYTE_2, FALSE, true},
                 {RESTART_BYTE_2, TRUE, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ib << " " << c.fSilent);
        SetDefaults(&store().current);
        store().iCurrent = 0;
        if (c.ib) store().rgProfiles[2].rgb[c.ib] ^= 1;
        s_calls.clear();
        s_notifications.clear();

        store().ApplyProfile(2, c.fSilent);

        ExpectCalls(c.fNotice && !c.fSilent ? std::vector<MessageBoxCall>{kRestartNotice}
                                            : std::vector<MessageBoxCall>{});
        ASSERT_EQ(c.fNotice && c.fSilent ? 1u : 0u, s_notifications.size());
        if (!s_notifications.empty()) {
            const NOTIFYICONDATAW& nid = s_notifications[0];
            EXPECT_EQ(sizeof(NOTIFYICONDATAW), nid.cbSize);
            EXPECT_EQ(kOwner, nid.hWnd);
            EXPECT_EQ(0u, nid.uID);
            EXPECT_EQ(UINT(NIF_INFO), nid.uFlags);
            EXPECT_EQ(DWORD(NIIF_INFO), nid.dwInfoFlags);
            EXPECT_EQ(kRestartNotice.caption, nid.szInfoTitle);
            EXPECT_EQ(kRestartNotice.text, nid.szInfo);
        }
        EXPECT_TRUE(CurrentIsProfile(2));
        EXPECT_EQ(2, store().iCurrent);
        if (c.ib) store().rgProfiles[2].rgb[c.ib] ^= 1;
    }
}

TEST_F(ApplyProfileTest, QuestionComesBeforeTheRestartNotice)
{
    store().fModified = 1;
    store().rgProfiles[2].rgb[RESTART_BYTE_2] = 1;
    s_answers = {IDYES, IDOK};
    store().ApplyProfile(2, FALSE);
    ExpectCalls({kQuestion, kRestartNotice});
    EXPECT_TRUE(CurrentIsProfile(2));
}

TEST_F(ApplyProfileTest, CurrentIndexRunsTheSameStepsAndAnIndexOutOfRangeNothing)
{
    store().iCurrent = 2;
    store().fModified = 1;
    s_answers = {IDYES};
    store().ApplyProfile(2, FALSE);
    ExpectCalls({kQuestion});
    EXPECT_TRUE(CurrentIsProfile(2));

    store().fModified = 1;
    store().ApplyProfile(3, FALSE);
    store().ApplyProfile(-1, FALSE);
    EXPECT_EQ(1u, s_calls.size());
    EXPECT_EQ(2, store().iCurrent);
}

} // namespace
