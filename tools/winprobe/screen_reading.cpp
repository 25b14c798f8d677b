#include "screen_reading.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

// Both the flat (1-pixel) and the 3-D (3-pixel) menu frames lie inside this.
constexpr int FRAME = 3;
// Anti-aliased edges of the background differ from it by a few steps only.
constexpr int TOLERANCE = 24;
// Text is drawn in COLOR_MENUTEXT (black); grayed text in a mid gray with a
// light shadow, never darker than this.
constexpr int BLACK_LIMIT = 64;
// Words are a few pixels apart; the check mark column stands further off.
constexpr int MARK_GAP = 6;
constexpr int MARK_MAX_RIGHT = 20;
// Letters of one line touch or nearly touch from row to row.
constexpr int BAND_GAP = 1;

int Channel(std::uint32_t rgb, int shift)
{
    return static_cast<int>((rgb >> shift) & 0xFF);
}

bool Differs(std::uint32_t a, std::uint32_t b)
{
    for (int shift : {0, 8, 16})
        if (std::abs(Channel(a, shift) - Channel(b, shift)) > TOLERANCE) return true;
    return false;
}

bool IsBlack(std::uint32_t rgb)
{
    return Channel(rgb, 0) < BLACK_LIMIT && Channel(rgb, 8) < BLACK_LIMIT && Channel(rgb, 16) < BLACK_LIMIT;
}

} // namespace

std::uint32_t MostCommonColour(const std::uint32_t* pPixels, int cx, int xLeft, int yTop, int xRight,
                               int yBottom)
{
    std::map<std::uint32_t, int> counts;
    for (int y = yTop; y < yBottom; ++y)
        for (int x = xLeft; x < xRight; ++x)
            ++counts[pPixels[y * cx + x] & 0xFFFFFF];
    std::uint32_t best = 0;
    int cBest = -1;
    for (const auto& [colour, count] : counts) {
        if (count > cBest) {
            best = colour;
            cBest = count;
        }
    }
    return best;
}

int CountInk(const std::uint32_t* pPixels, int cx, int xLeft, int yTop, int xRight, int yBottom,
             std::uint32_t background)
{
    int cInk = 0;
    for (int y = yTop; y < yBottom; ++y)
        for (int x = xLeft; x < xRight; ++x)
            if (Differs(pPixels[y * cx + x] & 0xFFFFFF, background)) ++cInk;
    return cInk;
}

std::vector<MenuRow> ReadMenuRows(const std::uint32_t* pPixels, int cx, int cy)
{
    std::vector<MenuRow> rows;
    if (!pPixels || cx <= 2 * FRAME || cy <= 2 * FRAME) return rows;
    const int xLeft = FRAME, xRight = cx - FRAME;
    const std::uint32_t background = MostCommonColour(pPixels, cx, xLeft, FRAME, xRight, cy - FRAME);
    auto inkAt = [&](int x, int y) { return Differs(pPixels[y * cx + x] & 0xFFFFFF, background); };
    auto rowHasInk = [&](int y) {
        for (int x = xLeft; x < xRight; ++x)
            if (inkAt(x, y)) return true;
        return false;
    };

    // Bands of rows with ink, a blank row or two inside a band allowed.
    int y = FRAME;
    while (y < cy - FRAME) {
        if (!rowHasInk(y)) {
            ++y;
            continue;
        }
        MenuRow row;
        row.yTop = y;
        int yLastInk = y;
        for (++y; y < cy - FRAME && y <= yLastInk + BAND_GAP + 1; ++y)
            if (rowHasInk(y)) yLastInk = y;
        row.yBottom = yLastInk + 1;
        y = row.yBottom;
        rows.push_back(row);
    }

    for (MenuRow& row : rows) {
        // A separator is a thin line across most of the menu.
        int cWidest = 0;
        for (int yy = row.yTop; yy < row.yBottom; ++yy) {
            int cInk = 0;
            for (int x = xLeft; x < xRight; ++x)
                cInk += inkAt(x, yy) ? 1 : 0;
            cWidest = std::max(cWidest, cInk);
        }
        if (row.yBottom - row.yTop <= 3 && cWidest * 10 >= (xRight - xLeft) * 6) {
            row.fSeparator = true;
            continue;
        }
        std::vector<bool> columnInk(static_cast<size_t>(cx), false);
        for (int yy = row.yTop; yy < row.yBottom; ++yy) {
            for (int x = xLeft; x < xRight; ++x) {
                const std::uint32_t rgb = pPixels[yy * cx + x] & 0xFFFFFF;
                if (IsBlack(rgb)) row.fEnabled = true;
                if (Differs(rgb, background)) columnInk[static_cast<size_t>(x)] = true;
            }
        }
        // The mark is a first cluster of ink near the left edge, set apart
        // from the text by a wider gap than words have between them.
        int x = xLeft;
        while (x < xRight && !columnInk[static_cast<size_t>(x)])
            ++x;
        if (x >= MARK_MAX_RIGHT) continue;
        while (x < xRight && columnInk[static_cast<size_t>(x)])
            ++x;
        int xGapEnd = x;
        while (xGapEnd < xRight && !columnInk[static_cast<size_t>(xGapEnd)])
            ++xGapEnd;
        row.fMarked = x <= MARK_MAX_RIGHT && xGapEnd - x >= MARK_GAP && xGapEnd < xRight;
    }
    return rows;
}
