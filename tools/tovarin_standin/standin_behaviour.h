// How the stand-in property sheet component behaves: its tests make it fail
// at each step a host goes through. Exported as StandInSetBehaviour.
#pragma once

#include <windows.h>

enum StandInBehaviour : DWORD {
    STANDIN_NORMAL = 0,           // one page, "tovarin mutex" held while its sheet is open
    STANDIN_REFUSE_INTERFACE = 1, // the class factory refuses IDIGameCntrlPropSheet
    STANDIN_FAIL_SHEET_INFO = 2,  // GetSheetInfo returns E_FAIL
    STANDIN_FAIL_PAGE_INFO = 3,   // GetPageInfo returns E_FAIL
};

using PFN_STANDIN_SET_BEHAVIOUR = void(WINAPI*)(DWORD dwBehaviour);
