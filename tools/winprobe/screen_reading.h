// Reads what the screen shows the way a person does, from its pixels.
// Another process's popup menu cannot be queried through its handle, but what
// it shows can: each item's text band, whether that text is drawn black (the
// item can be chosen) or gray (grayed), and whether a mark stands left of it.
#pragma once

#include <cstdint>
#include <vector>

// One horizontal band of the menu: an item's text, or a separator line.
struct MenuRow {
    int yTop = 0;    // first row of the band, relative to the menu's top
    int yBottom = 0; // one past its last row
    bool fSeparator = false;
    bool fEnabled = false; // text has black pixels; grayed text has none
    bool fMarked = false;  // something is drawn in the check mark column
};

// Pixels are 0x00RRGGBB, cx per row, cy rows, top row first, and cover the
// whole menu window including its border. The background is taken as the
// colour found most often inside the border.
std::vector<MenuRow> ReadMenuRows(const std::uint32_t* pPixels, int cx, int cy);

// The colour found most often in the rectangle.
std::uint32_t MostCommonColour(const std::uint32_t* pPixels, int cx, int xLeft, int yTop, int xRight,
                               int yBottom);

// How many pixels of the rectangle differ from the given background colour
// by more than a small tolerance (anti-aliasing of the background itself).
int CountInk(const std::uint32_t* pPixels, int cx, int xLeft, int yTop, int xRight, int yBottom,
             std::uint32_t background);
