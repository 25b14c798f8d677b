#include "tools/tovarin_standin/prop_sheet_component.h"

#include "common/parameters_key.h"
#include "common/tray_contract.h"
#include "tools/tovarin_standin/resource.h"
#include "tools/tovarin_standin/standin_behaviour.h"

#include <commctrl.h>
#include <prsht.h>

namespace {

WCHAR g_szSheetCaption[] = L"Corvane Wireless Controller Properties";
constexpr UINT TRAY_SHEET_ICON = 1000; // looked up in the host's module

// Marks the current settings as modified, as the real component does when
// the user edits them, and tells the tray program to read them anew.
void MarkSettingsModified()
{
    HKEY hkey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hkey,
                        nullptr) == ERROR_SUCCESS) {
        const BYTE fModified = 1;
        RegSetValueExW(hkey, MODIFIED_FLAG_VALUE, 0, REG_BINARY, &fModified, sizeof(fModified));
        RegCloseKey(hkey);
    }
    HWND hwndTray = FindWindowW(TRAY_WINDOW_CLASS, TRAY_WINDOW_TITLE);
    if (hwndTray) PostMessageW(hwndTray, WM_TRAYICON, TRAYICON_RELOAD, 0);
}

INT_PTR CALLBACK PageProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITDIALOG: {
        // The page is created while the sheet is being built, before it is
        // shown, and destroyed when the sheet closes: the mutex spans exactly
        // the time the sheet is open.
        HANDLE hMutex = CreateMutexW(nullptr, TRUE, PROPERTY_SHEET_MUTEX_NAME);
        SetWindowLongPtrW(hDlg, DWLP_USER, reinterpret_cast<LONG_PTR>(hMutex));
        return TRUE;
    }
    case WM_DESTROY: {
        auto hMutex = reinterpret_cast<HANDLE>(GetWindowLongPtrW(hDlg, DWLP_USER));
        if (hMutex) {
            ReleaseMutex(hMutex);
            CloseHandle(hMutex);
        }
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_MARK_MODIFIED && HIWORD(wParam) == BN_CLICKED)
            PropSheet_Changed(GetParent(hDlg), hDlg);
        return FALSE;
    case WM_NOTIFY:
        if (reinterpret_cast<const NMHDR*>(lParam)->code == PSN_APPLY) {
            if (IsDlgButtonChecked(hDlg, IDC_MARK_MODIFIED) == BST_CHECKED) MarkSettingsModified();
            SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

} // namespace

PropSheetComponent::PropSheetComponent()
{
    InterlockedIncrement(&g_cObjects);

    sheetInfo_.dwSize = sizeof(sheetInfo_);
    sheetInfo_.nNumPages = 1;
    sheetInfo_.lpwszSheetCaption = g_szSheetCaption;
    sheetInfo_.fSheetIconFlag = TRUE;
    sheetInfo_.lpwszSheetIcon = MAKEINTRESOURCEW(TRAY_SHEET_ICON);

    pageInfo_.dwSize = sizeof(pageInfo_);
    pageInfo_.lpwszPageTitle = nullptr;
    pageInfo_.fpPageProc = PageProc;
    pageInfo_.fProcFlag = FALSE;
    pageInfo_.fIconFlag = TRUE;
    pageInfo_.lpwszPageIcon = MAKEINTRESOURCEW(IDI_PAGE);
    pageInfo_.lpwszTemplate = MAKEINTRESOURCEW(IDD_PAGE);
    pageInfo_.lParam = reinterpret_cast<LPARAM>(this);
    pageInfo_.hInstance = g_hModule;
}

PropSheetComponent::~PropSheetComponent()
{
    InterlockedDecrement(&g_cObjects);
}

STDMETHODIMP PropSheetComponent::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown ||
        (riid == IID_IDIGameCntrlPropSheet && g_dwBehaviour != STANDIN_REFUSE_INTERFACE)) {
        *ppv = static_cast<IDIGameCntrlPropSheet*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PropSheetComponent::AddRef()
{
    return InterlockedIncrement(&cRef_);
}

STDMETHODIMP_(ULONG) PropSheetComponent::Release()
{
    const LONG cRef = InterlockedDecrement(&cRef_);
    if (cRef == 0) delete this;
    return cRef;
}

STDMETHODIMP PropSheetComponent::GetSheetInfo(LPDIGCSHEETINFO* ppSheetInfo)
{
    if (!ppSheetInfo) return E_POINTER;
    if (g_dwBehaviour == STANDIN_FAIL_SHEET_INFO) return E_FAIL;
    *ppSheetInfo = &sheetInfo_;
    return S_OK;
}

STDMETHODIMP PropSheetComponent::GetPageInfo(LPDIGCPAGEINFO* ppPageInfo)
{
    if (!ppPageInfo) return E_POINTER;
    if (g_dwBehaviour == STANDIN_FAIL_PAGE_INFO) return E_FAIL;
    *ppPageInfo = &pageInfo_;
    return S_OK;
}

STDMETHODIMP PropSheetComponent::SetID(USHORT nID)
{
    nID_ = nID;
    return S_OK;
}

STDMETHODIMP_(USHORT) PropSheetComponent::GetID()
{
    return nID_;
}
