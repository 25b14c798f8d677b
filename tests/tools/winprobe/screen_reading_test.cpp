#include "screen_reading.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t WHITE = 0xFFFFFF;
constexpr std::uint32_t FRAME_GRAY = 0xA6A6A6;
constexpr std::uint32_t BLACK = 0x000000;
constexpr std::uint32_t GRAY_TEXT = 0x808080;
constexpr std::uint32_t SHADOW_GRAY = 0xA0A0A0;

// A menu as Wine draws it: white, a 1-pixel gray frame, 17-pixel items whose
// text starts 20 pixels in, the check mark at 5..11.
struct MenuPicture {
    int cx = 127;
    int cy;
    std::vector<std::uint32_t> pixels;

    explicit MenuPicture(int cyMenu) : cy(cyMenu), pixels(static_cast<size_t>(cx * cyMenu), WHITE)
    {
        for (int x = 0; x < cx; ++x) {
            Set(x, 0, FRAME_GRAY);
            Set(x, cy - 1, FRAME_GRAY);
        }
        for (int y = 0; y < cy; ++y) {
            Set(0, y, FRAME_GRAY);
            Set(cx - 1, y, FRAME_GRAY);
        }
    }
    void Set(int x, int y, std::uint32_t rgb) { pixels[static_cast<size_t>(y * cx + x)] = rgb; }
    void Fill(int xLeft, int yTop, int xRight, int yBottom, std::uint32_t rgb)
    {
        for (int y = yTop; y < yBottom; ++y)
            for (int x = xLeft; x < xRight; ++x)
                Set(x, y, rgb);
    }
    // Two words of text at rows yTop..yTop+9, and a mark if asked.
    void Item(int yTop, std::uint32_t ink, bool fMark)
    {
        Fill(20, yTop, 45, yTop + 9, ink);
        Fill(48, yTop + 2, 80, yTop + 9, ink);
        if (fMark) Fill(5, yTop + 3, 12, yTop + 8, ink);
    }
    std::vector<MenuRow> Read() const { return ReadMenuRows(pixels.data(), cx, cy); }
};

struct RowExpectation {
    bool fSeparator;
    bool fEnabled;
    bool fMarked;
};

void ExpectRows(const std::vector<MenuRow>& rows, const std::vector<RowExpectation>& expected)
{
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].fSeparator, expected[i].fSeparator);
        if (!expected[i].fSeparator) {
            EXPECT_EQ(rows[i].fEnabled, expected[i].fEnabled);
            EXPECT_EQ(rows[i].fMarked, expected[i].fMarked);
        }
    }
}

TEST(ScreenReading, ProfileMenuShowsTheCheckedItemAndTheOthers)
{
    MenuPicture menu(57);
    menu.Item(6, BLACK, true);
    menu.Item(23, BLACK, false);
    menu.Item(40, BLACK, false);
    const std::vector<MenuRow> rows = menu.Read();
    ExpectRows(rows, {{false, true, true}, {false, true, false}, {false, true, false}});
    // Each band covers its item's text, so its centre lies on the item.
    EXPECT_EQ(rows[1].yTop, 23);
    EXPECT_EQ(rows[1].yBottom, 32);
}

TEST(ScreenReading, GrayedItemsKeepTheirMarks)
{
    MenuPicture menu(40);
    menu.Item(6, GRAY_TEXT, true);
    menu.Item(23, GRAY_TEXT, false);
    ExpectRows(menu.Read(), {{false, false, true}, {false, false, false}});
}

TEST(ScreenReading, ContextMenuSeparatorIsNotAnItem)
{
    MenuPicture menu(66);
    menu.Item(6, BLACK, false);
    menu.Item(23, BLACK, true);
    menu.Fill(3, 42, 124, 43, SHADOW_GRAY); // the etched line
    menu.Item(50, BLACK, false);
    ExpectRows(menu.Read(),
               {{false, true, false}, {false, true, true}, {true, false, false}, {false, true, false}});
}

TEST(ScreenReading, GrayTextWithOneBlackPixelCountsAsEnabled)
{
    MenuPicture menu(23);
    menu.Item(6, GRAY_TEXT, false);
    menu.Set(30, 8, BLACK);
    ExpectRows(menu.Read(), {{false, true, false}});
}

TEST(ScreenReading, BlankOrTinyPicturesHaveNoRows)
{
    MenuPicture blank(40);
    EXPECT_TRUE(blank.Read().empty());
    const std::uint32_t pixel = WHITE;
    EXPECT_TRUE(ReadMenuRows(&pixel, 1, 1).empty());
    EXPECT_TRUE(ReadMenuRows(nullptr, 100, 100).empty());
}

TEST(ScreenReading, InkIsWhatDiffersFromTheBackground)
{
    MenuPicture menu(20);
    menu.Fill(10, 5, 14, 9, BLACK);    // 16 pixels
    menu.Fill(20, 5, 22, 6, 0xF0F0F0); // anti-aliased background: not ink
    EXPECT_EQ(CountInk(menu.pixels.data(), menu.cx, 2, 2, 40, 18, WHITE), 16);
    EXPECT_EQ(MostCommonColour(menu.pixels.data(), menu.cx, 0, 0, menu.cx, menu.cy), WHITE);
}

} // namespace
