// IDIGameCntrlPropSheet, the published DirectInput interface through which a
// game controller's property sheet component hands its sheet and pages to a
// host, with the two descriptions it returns. The platform headers of this
// toolchain do not carry them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

// {7854FB22-8EE3-11D0-A1AC-0000F8026977}
inline constexpr IID IID_IDIGameCntrlPropSheet = {
    0x7854FB22, 0x8EE3, 0x11D0, {0xA1, 0xAC, 0x00, 0x00, 0xF8, 0x02, 0x69, 0x77}};

// The sheet: its caption, its small icon and how many pages it has.
struct DIGCSHEETINFO {
    DWORD dwSize;
    USHORT nNumPages;
    LPWSTR lpwszSheetCaption;
    BOOL fSheetIconFlag;
    LPWSTR lpwszSheetIcon;
};
using LPDIGCSHEETINFO = DIGCSHEETINFO*;

// One page: its dialog template, procedure, icon and title, all in hInstance.
struct DIGCPAGEINFO {
    DWORD dwSize;
    LPWSTR lpwszPageTitle;
    DLGPROC fpPageProc;
    BOOL fProcFlag;
    DLGPROC fpPrePostProc;
    BOOL fIconFlag;
    LPWSTR lpwszPageIcon;
    LPWSTR lpwszTemplate;
    LPARAM lParam;
    HINSTANCE hInstance;
};
using LPDIGCPAGEINFO = DIGCPAGEINFO*;

// The component hands out pointers to descriptions it owns; they stay valid
// until the host releases the object. Method order is part of the contract.
struct IDIGameCntrlPropSheet : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSheetInfo(LPDIGCSHEETINFO* ppSheetInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPageInfo(LPDIGCPAGEINFO* ppPageInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetID(USHORT nID) = 0;
    virtual USHORT STDMETHODCALLTYPE GetID() = 0;
};

// The layouts other modules see, in the 64-bit ABI.
#ifdef _WIN64
static_assert(sizeof(DIGCSHEETINFO) == 32);
static_assert(offsetof(DIGCSHEETINFO, nNumPages) == 4);
static_assert(offsetof(DIGCSHEETINFO, lpwszSheetCaption) == 8);
static_assert(offsetof(DIGCSHEETINFO, fSheetIconFlag) == 16);
static_assert(offsetof(DIGCSHEETINFO, lpwszSheetIcon) == 24);

static_assert(sizeof(DIGCPAGEINFO) == 80);
static_assert(offsetof(DIGCPAGEINFO, lpwszPageTitle) == 8);
static_assert(offsetof(DIGCPAGEINFO, fpPageProc) == 16);
static_assert(offsetof(DIGCPAGEINFO, fProcFlag) == 24);
static_assert(offsetof(DIGCPAGEINFO, fpPrePostProc) == 32);
static_assert(offsetof(DIGCPAGEINFO, fIconFlag) == 40);
static_assert(offsetof(DIGCPAGEINFO, lpwszPageIcon) == 48);
static_assert(offsetof(DIGCPAGEINFO, lpwszTemplate) == 56);
static_assert(offsetof(DIGCPAGEINFO, lParam) == 64);
static_assert(offsetof(DIGCPAGEINFO, hInstance) == 72);
#endif
