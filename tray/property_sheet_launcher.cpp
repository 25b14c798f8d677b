#include "tray/property_sheet_launcher.h"

#include "common/class_ids.h"
#include "tray/game_cntrl_prop_sheet.h"

#include <commctrl.h>

BOOL PropertySheetLauncher::IsSheetOpen()
{
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, PROPERTY_SHEET_MUTEX_NAME);
    // Only an existing mutex means an open sheet; a failed create counts as
    // none, and without a sheet the mutex lives only for this test.
    const BOOL fOpen = GetLastError() == ERROR_ALREADY_EXISTS;
    if (hMutex) CloseHandle(hMutex);
    return fOpen;
}

void PropertySheetLauncher::Launch()
{
    // Uninitialise only what this launch initialised: a failed CoInitialize
    // must not take down an apartment that someone else set up.
    const HRESULT hrInit = CoInitialize(nullptr);

    IDIGameCntrlPropSheet* pSheet = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_PropertySheetComponent, nullptr, CLSCTX_SERVER,
                                  IID_IDIGameCntrlPropSheet, reinterpret_cast<void**>(&pSheet));
    if (hr != S_OK && pSheet) {
        // A server that fails yet hands out an interface still owns a reference.
        pSheet->Release();
        pSheet = nullptr;
    }

    LPDIGCSHEETINFO pSheetInfo = nullptr;
    LPDIGCPAGEINFO rgPageInfo = nullptr;
    if (pSheet && pSheet->GetSheetInfo(&pSheetInfo) == S_OK && pSheetInfo &&
        pSheet->GetPageInfo(&rgPageInfo) == S_OK && rgPageInfo) {
        const UINT cPages = pSheetInfo->nNumPages;
        auto* rgPages = static_cast<PROPSHEETPAGEW_V4*>(LocalAlloc(LPTR, cPages * sizeof(PROPSHEETPAGEW_V4)));
        if (rgPages) {
            for (UINT j = 0; j < cPages; j++) {
                PROPSHEETPAGEW_V4& page = rgPages[j];
                page.dwSize = sizeof(PROPSHEETPAGEW_V4);
                page.dwFlags = PSP_USEICONID;
                page.hInstance = rgPageInfo[j].hInstance;
                page.pszTemplate = rgPageInfo[j].lpwszTemplate;
                page.pszIcon = rgPageInfo[j].lpwszPageIcon;
                page.pszTitle = rgPageInfo[j].lpwszPageTitle;
                page.pfnDlgProc = rgPageInfo[j].fpPageProc;
                page.lParam = rgPageInfo[j].lParam;
            }

            PROPSHEETHEADERW header = {sizeof(header)};
            header.dwFlags = PSH_USEICONID | PSH_PROPSHEETPAGE;
            header.hwndParent = hwnd;
            header.hInstance = hInstance; // the sheet's icon is one of the tray program's
            header.pszIcon = pSheetInfo->lpwszSheetIcon;
            header.pszCaption = pSheetInfo->lpwszSheetCaption;
            header.nPages = cPages;
            header.nStartPage = 0;
            header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEW>(rgPages);
            // Whether the user applied anything does not matter here: changed
            // settings reach the program through its reload message.
            PropertySheetW(&header);

            LocalFree(rgPages);
        }
    }

    if (pSheet) pSheet->Release();
    if (SUCCEEDED(hrInit)) CoUninitialize();
}
