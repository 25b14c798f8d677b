#include "tray/settings_block.h"

// The block is a run of parallel arrays in groups; each group is written out
// below at its own offsets, so that a reader can hold it against the layout.
void SetDefaults(SettingsBlock* pBlock)
{
    BYTE* const pb = pBlock->rgb;

    // Nothing of the previous content may survive, including the two bytes
    // that no group sets (45 and 125).
    ZeroMemory(pb, SETTINGS_BLOCK_SIZE);

    // Opening pair.
    pb[0] = 1;
    pb[1] = 3;

    // Pair group 1: two entries. The 2-element arrays at 2..11 (with the two
    // 16-bit fields at 6..9) stay 0; each entry also has a 4-byte row in each
    // of the three 2 x 4 arrays at 18, 26 and 34.
    for (DWORD e = 0; e < 2; ++e) {
        pb[12 + e] = 15;
        pb[14 + e] = 95;
        pb[16 + e] = 50;
        for (DWORD k = 0; k < 4; ++k) {
            pb[18 + 4 * e + k] = static_cast<BYTE>(29 + k);
            pb[34 + 4 * e + k] = 100;
        }
    }

    // Singles; 43, 44 and the 16-bit field at 46..47 stay 0.
    pb[42] = 17;

    // Quad group 1.
    for (DWORD k = 0; k < 4; ++k) {
        pb[48 + k] = static_cast<BYTE>(29 + k);
        pb[56 + k] = 100;
    }

    // Pair group 2.
    pb[60] = 27;
    pb[61] = 28;
    for (DWORD e = 0; e < 2; ++e) {
        pb[64 + e] = 100;
        pb[66 + e] = 15;
        pb[68 + e] = 95;
        pb[70 + e] = 85;
    }

    // Eleven group: the eleventh entry of the first array is 29, not 27.
    for (DWORD e = 0; e < 11; ++e) {
        pb[72 + e] = static_cast<BYTE>(e < 10 ? 17 + e : 29);
        pb[94 + e] = 100;
    }

    // Singles at 105..110; 105 stays 0.
    pb[106] = 1;
    pb[107] = 80;
    pb[108] = 80;
    pb[109] = 20;
    pb[110] = 100;

    // Quad group 2: only the first array has non-zero defaults.
    pb[111] = 1;
    pb[112] = 1;

    // Restart bytes.
    pb[RESTART_BYTE_1] = 1;
    pb[RESTART_BYTE_2] = 0;
}
