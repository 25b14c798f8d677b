// Hosts the controller's property sheet, which belongs to the outside
// component: creates the component, turns its descriptions into one modal
// property sheet owned by the hidden window, and tells the whole program
// whether a sheet of the component is open.
#pragma once

#include "common/tray_contract.h"

#include <windows.h>
#include <prsht.h>

#include <cstddef>

// PROPSHEETPAGEW as the platform defines it from Windows Vista on; this
// toolchain's headers stop before the header bitmap member.
struct PROPSHEETPAGEW_V4 {
    PROPSHEETPAGEW_V1_FIELDS
    LPCWSTR pszHeaderTitle;
    LPCWSTR pszHeaderSubTitle;
    HANDLE hActCtx;
    union {
        HBITMAP hbmHeader;
        LPCWSTR pszbmHeader;
    };
};
#ifdef _WIN64
static_assert(sizeof(PROPSHEETPAGEW_V4) == 104);
static_assert(offsetof(PROPSHEETPAGEW_V4, pszbmHeader) == 96);
static_assert(sizeof(PROPSHEETHEADERW) == 96);
#endif

class PropertySheetLauncher {
public:
    PropertySheetLauncher(HINSTANCE hInstance, HWND hwnd) : hInstance(hInstance), hwnd(hwnd) {}
    PropertySheetLauncher(const PropertySheetLauncher&) = delete;
    PropertySheetLauncher& operator=(const PropertySheetLauncher&) = delete;

    // True while the component's mutex exists, whoever opened the sheet.
    static BOOL IsSheetOpen();
    // Shows the sheet modally; returns when it is closed, or at once when the
    // component cannot be used.
    void Launch();

    HINSTANCE hInstance;
    HWND hwnd;
};
