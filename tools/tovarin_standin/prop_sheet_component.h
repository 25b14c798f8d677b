// The stand-in component object: hands out the description of a sheet with
// one page of its own.
#pragma once

#include "tray/game_cntrl_prop_sheet.h"

#include <windows.h>

extern HINSTANCE g_hModule;
extern LONG g_cObjects; // live component objects and class factory locks
extern DWORD g_dwBehaviour;

class PropSheetComponent final : public IDIGameCntrlPropSheet {
public:
    PropSheetComponent();
    ~PropSheetComponent();
    PropSheetComponent(const PropSheetComponent&) = delete;
    PropSheetComponent& operator=(const PropSheetComponent&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetSheetInfo(LPDIGCSHEETINFO* ppSheetInfo) override;
    STDMETHODIMP GetPageInfo(LPDIGCPAGEINFO* ppPageInfo) override;
    STDMETHODIMP SetID(USHORT nID) override;
    STDMETHODIMP_(USHORT) GetID() override;

private:
    LONG cRef_ = 1;
    USHORT nID_ = 0;
    DIGCSHEETINFO sheetInfo_ = {};
    DIGCPAGEINFO pageInfo_ = {};
};
