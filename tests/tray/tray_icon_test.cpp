// The click protocol on the icon and the two popup menus.
#include "tests/tray/tray_window_fixture.h"

#include "tray/resource.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using TrayIconTest = TrayWindowTest;

void Click(HWND hwnd, UINT uMouseMessage)
{
    SendMessageW(hwnd, WM_TRAYICON, TRAYICON_NOTIFY, uMouseMessage);
}

std::vector<MenuItemSeen> ProfileItems(std::initializer_list<MenuItemSeen> items)
{
    return items;
}

TEST_F(TrayIconTest, SingleClickShowsProfileMenuOnceTheDoubleClickTimeHasPassed)
{
    StoreProfiles({L"game.exe"});
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_uDoubleClickTime = 300;

    const DWORD dwStart = GetTickCount();
    Click(hwnd_, WM_LBUTTONDOWN);
    Pump();
    EXPECT_TRUE(s_menus.empty());

    ASSERT_TRUE(PumpUntil([] { return !s_menus.empty(); }));
    EXPECT_GE(GetTickCount() - dwStart, 300u - 40u); // the timer's steps under Wine
    EXPECT_EQ(1u, s_menus.size());
    EXPECT_FALSE(StopTimer(IDT_CLICK)); // killed when it fired
    EXPECT_EQ(2u, s_menus[0].size());
}

// With a sheet open the double click launches nothing either, which keeps
// this test free of the component; launching is tested with it.
TEST_F(TrayIconTest, DoubleClickShowsNoProfileMenu)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    s_uDoubleClickTime = 100;
    HoldSheetMutex();

    Click(hwnd_, WM_LBUTTONDOWN);
    Click(hwnd_, WM_LBUTTONUP);
    Click(hwnd_, WM_LBUTTONDBLCLK);

    EXPECT_FALSE(StopTimer(IDT_CLICK));
    Sleep(300);
    Pump();
    EXPECT_TRUE(s_menus.empty());
}

TEST_F(TrayIconTest, ContextMenuOpensWhenTheRightButtonIsReleased)
{
    ASSERT_NE(nullptr, MakeTrayWindow());

    Click(hwnd_, WM_RBUTTONDOWN);
    EXPECT_TRUE(s_menus.empty());
    Click(hwnd_, WM_RBUTTONUP);
    ASSERT_EQ(1u, s_menus.size());
    EXPECT_EQ(4u, s_menus[0].size());
    EXPECT_EQ(UINT(TPM_RIGHTBUTTON), s_menuFlags[0]);
}

TEST_F(TrayIconTest, OtherMouseMessagesAreIgnored)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    for (UINT uMessage : {WM_MOUSEMOVE, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONDBLCLK, WM_MBUTTONDOWN})
        Click(hwnd_, uMessage);
    EXPECT_FALSE(StopTimer(IDT_CLICK));
    EXPECT_TRUE(s_menus.empty());
}

TEST_F(TrayIconTest, MenuIsFreedAndWindowNudgedWhenItCloses)
{
    ASSERT_NE(nullptr, MakeTrayWindow());
    HMENU hmenuShown = nullptr;
    s_onMenu = [&](HMENU hmenu) { hmenuShown = hmenu; };

    Click(hwnd_, WM_RBUTTONUP);

    EXPECT_FALSE(IsMenu(hmenuShown));
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, hwnd_, WM_NULL, WM_NULL, PM_REMOVE));
}

// Profile menu: every state of the table, with the sheet closed and open.
TEST_F(TrayIconTest, ProfileMenuItemsShowNamesChecksAndGraying)
{
    const struct {
        BYTE fModified;
        bool fSheetOpen;
        UINT fOther;
        UINT fCurrent;
        const wchar_t* pszCurrent;
    } cases[] = {
        {0, false, 0, MFS_CHECKED, L"two.exe"},
        {1, false, 0, MFS_CHECKED, L"two.exe (modified)"},
        {0, true, MFS_GRAYED, MFS_GRAYED | MFS_CHECKED, L"two.exe"},
        {1, true, MFS_GRAYED, MFS_GRAYED | MFS_CHECKED, L"two.exe (modified)"},
        {2, false, 0, MFS_CHECKED, L"two.exe"}, // only 1 counts as modified
    };
    for (const auto& c : cases) {
        StoreProfiles({L"one.exe", L"two.exe"}, 2, c.fModified);
        ASSERT_NE(nullptr, MakeTrayWindow());
        if (c.fSheetOpen) HoldSheetMutex();
        s_menus.clear();

        SendMessageW(hwnd_, WM_TIMER, IDT_CLICK, 0);

        ASSERT_EQ(1u, s_menus.size());
        EXPECT_EQ(ProfileItems({{3004, c.fOther, MFT_STRING, L"Default settings"},
                                {3005, c.fOther, MFT_STRING, L"one.exe"},
                                {3006, c.fCurrent, MFT_STRING, c.pszCurrent}}),
                  s_menus[0])
            << int(c.fModified) << " " << c.fSheetOpen;
        ReleaseSheetMutex();
        DestroyWindow(hwnd_);
        Pump();
    }
}

TEST_F(TrayIconTest, ProfileMenuOfDefaultsAloneHoldsOneCheckedItem)
{
    ASSERT_NE(nullptr, MakeTrayWindow());

    App()->ShowProfileMenu();

    ASSERT_EQ(1u, s_menus.size());
    EXPECT_EQ(ProfileItems({{3004, MFS_CHECKED, MFT_STRING, L"Default settings"}}), s_menus[0]);
}

TEST_F(TrayIconTest, CurrentIndexNamingNoProfileChecksNothing)
{
    StoreProfiles({L"one.exe"}, 7, 1);
    ASSERT_NE(nullptr, MakeTrayWindow());

    App()->ShowProfileMenu();

    ASSERT_EQ(1u, s_menus.size());
    EXPECT_EQ(ProfileItems({{3004, 0, MFT_STRING, L"Default settings"}, {3005, 0, MFT_STRING, L"one.exe"}}),
              s_menus[0]);
}

TEST_F(TrayIconTest, LongestProfileNameKeepsTheWholeSuffix)
{
    const std::wstring name(259, L'n');
    StoreProfiles({name.c_str()}, 1, 1);
    ASSERT_NE(nullptr, MakeTrayWindow());

    App()->ShowProfileMenu();

    ASSERT_EQ(1u, s_menus.size());
    EXPECT_EQ(name + L" (modified)", s_menus[0][1].text);
}

// A name with & shows the character, not an underlined letter.
TEST_F(TrayIconTest, AmpersandInAProfileNameIsDoubledInTheMenu)
{
    StoreProfiles({L"R&D.exe", L"&&"}, 0);
    ASSERT_NE(nullptr, MakeTrayWindow());

    App()->ShowProfileMenu();

    ASSERT_EQ(1u, s_menus.size());
    ASSERT_EQ(3u, s_menus[0].size());
    EXPECT_EQ(L"R&&D.exe", s_menus[0][1].text);
    EXPECT_EQ(L"&&&&", s_menus[0][2].text);
}

// The keyboard reaches the icon through the messages of icon version 3:
// Enter or Space (NIN_KEYSELECT, which the shell may send twice for one
// press) opens the profile menu, Shift+F10 or the menu key (WM_CONTEXTMENU)
// the context menu, each once and at the icon. A right click opens its menu
// on the button's release and the WM_CONTEXTMENU after it opens nothing more;
// NIN_SELECT after a left click belongs to the click protocol.
TEST_F(TrayIconTest, KeyboardOpensEachMenuOnceAtTheIcon)
{
    const struct {
        std::vector<UINT> messages;
        size_t cItems; // of the one menu shown; 0 for none
        bool fAtTheIcon;
    } cases[] = {
        {{NIN_KEYSELECT}, 2, true},
        {{NIN_KEYSELECT, NIN_KEYSELECT}, 2, true},
        {{WM_CONTEXTMENU}, 4, true},
        {{WM_RBUTTONDOWN, WM_RBUTTONUP, WM_CONTEXTMENU}, 4, false},
        // The mouse moves on between the release and the shell's message.
        {{WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE, WM_CONTEXTMENU}, 4, false},
        // A menu already asked for from the keyboard is the one shown.
        {{NIN_KEYSELECT, WM_CONTEXTMENU}, 2, true},
        {{NIN_SELECT}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.messages));
        StoreProfiles({L"game.exe"});
        ASSERT_NE(nullptr, MakeTrayWindow());
        s_uDoubleClickTime = 5000; // no click protocol's menu within the test
        s_menus.clear();
        s_menuPoints.clear();
        s_menuExclusions.clear();
        s_menuFlags.clear();

        for (UINT uMessage : c.messages)
            Click(hwnd_, uMessage);
        Sleep(50);
        Pump();

        ASSERT_EQ(c.cItems ? 1u : 0u, s_menus.size());
        if (c.cItems) {
            EXPECT_EQ(c.cItems, s_menus[0].size());
            if (c.fAtTheIcon) {
                EXPECT_EQ(s_rcIcon.left, s_menuPoints[0].x);
                EXPECT_EQ(s_rcIcon.top, s_menuPoints[0].y);
                EXPECT_TRUE(EqualRect(&s_rcIcon, &s_menuExclusions[0]));
                EXPECT_TRUE(s_menuFlags[0] & TPM_RETURNCMD);
            } else {
                EXPECT_EQ(UINT(TPM_RIGHTBUTTON), s_menuFlags[0]);
            }
        }
        StopTimer(IDT_CLICK);
        StopTimer(IDT_FOREGROUND);
        DestroyWindow(hwnd_);
        Pump();
    }
}

// A keyboard menu closed with Esc gives the focus back to the notification
// area; a chosen item is carried out as from the mouse, and the focus stays
// where the command takes it, as it stays where a click elsewhere, which
// closes the menu too, takes it.
TEST_F(TrayIconTest, KeyboardMenuGivesTheFocusBackOnlyWhenDismissed)
{
    const struct {
        UINT uChoice;
        bool fClickElsewhere;
    } cases[] = {{0, false}, {IDM_AUTOCHANGE, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.uChoice << " " << c.fClickElsewhere);
        StoreProfiles({L"game.exe"}, 0, 0, 0);
        ASSERT_NE(nullptr, MakeTrayWindow());
        s_hwndForeground = hwnd_;
        s_uMenuChoice = c.uChoice;
        s_notifyMessages.clear();
        s_onMenu = [fClickElsewhere = c.fClickElsewhere](HMENU) {
            if (fClickElsewhere) s_hwndForeground = GetDesktopWindow();
        };

        Click(hwnd_, WM_CONTEXTMENU);
        ASSERT_TRUE(PumpUntil([] { return !s_menus.empty(); }));
        Pump();

        const bool fFocusGiven =
            std::count(s_notifyMessages.begin(), s_notifyMessages.end(), NIM_SETFOCUS) == 1;
        EXPECT_EQ(c.uChoice == 0 && !c.fClickElsewhere, fFocusGiven);
        EXPECT_EQ(c.uChoice == IDM_AUTOCHANGE, StopTimer(IDT_FOREGROUND)) << "the command was carried out";
        s_menus.clear();
        DestroyWindow(hwnd_);
        Pump();
    }
}

// Context menu: the loaded menu's items, their states replaced whole.
TEST_F(TrayIconTest, ContextMenuItemStatesFollowSwitchingAndSheet)
{
    const struct {
        BYTE fAutoChange;
        bool fSheetOpen;
        UINT fProperties;
        UINT fAutoItem;
        UINT fExit;
    } cases[] = {
        {1, false, MFS_DEFAULT, MFS_CHECKED, 0},
        {0, false, MFS_DEFAULT, 0, 0},
        {2, false, MFS_DEFAULT, 0, 0},
        {1, true, MFS_DEFAULT | MFS_GRAYED, MFS_CHECKED | MFS_GRAYED, MFS_GRAYED},
        {0, true, MFS_DEFAULT | MFS_GRAYED, MFS_GRAYED, MFS_GRAYED},
    };
    for (const auto& c : cases) {
        StoreProfiles({L"one.exe"}, 0, 0, c.fAutoChange);
        ASSERT_NE(nullptr, MakeTrayWindow());
        if (c.fSheetOpen) HoldSheetMutex();
        s_menus.clear();

        App()->ShowContextMenu();

        ASSERT_EQ(1u, s_menus.size());
        ASSERT_EQ(4u, s_menus[0].size());
        s_menus[0][2].fState = 0; // the separator's state is the platform's own
        EXPECT_EQ(ProfileItems({{IDM_PROPERTIES, c.fProperties, MFT_STRING, L"&Properties"},
                                {IDM_AUTOCHANGE, c.fAutoItem, MFT_STRING, L"&Auto setting change"},
                                {0, 0, MFT_SEPARATOR, L""},
                                {IDM_EXIT, c.fExit, MFT_STRING, L"E&xit"}}),
                  s_menus[0])
            << int(c.fAutoChange) << " " << c.fSheetOpen;
        ReleaseSheetMutex();
        StopTimer(IDT_FOREGROUND);
        DestroyWindow(hwnd_);
        Pump();
    }
}

} // namespace
