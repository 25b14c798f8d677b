// The calls of the tray program that a test may want to answer itself. Each
// member defaults to the real Windows call; everything else in the program
// calls Windows directly.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <setupapi.h>
#include <wtsapi32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

struct TrayPlatform {
    // Message boxes of the Settings Store.
    int(WINAPI* MessageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT) = ::MessageBoxW;

    // HID device enumeration, opening and the Reload Request.
    void(WINAPI* HidD_GetHidGuid)(LPGUID) = ::HidD_GetHidGuid;
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)(const GUID*, PCWSTR, HWND, DWORD) = ::SetupDiGetClassDevsW;
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
    (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
     PSP_DEVICE_INTERFACE_DATA) = ::SetupDiEnumDeviceInterfaces;
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
     PSP_DEVINFO_DATA) = ::SetupDiGetDeviceInterfaceDetailW;
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO) = ::SetupDiDestroyDeviceInfoList;
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = ::CreateFileW;
    BOOLEAN(WINAPI* HidD_GetAttributes)(HANDLE, PHIDD_ATTRIBUTES) = ::HidD_GetAttributes;
    // The Reload Request, as overlapped I/O whose wait is bounded.
    BOOL(WINAPI* DeviceIoControl)
    (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::DeviceIoControl;
    DWORD(WINAPI* WaitForRequest)(HANDLE, DWORD) = ::WaitForSingleObject;
    BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED) = ::CancelIoEx;
    BOOL(WINAPI* CloseDeviceHandle)(HANDLE) = ::CloseHandle;
    // The length of the collection's feature report, for the Reload Request.
    BOOLEAN(WINAPI* HidD_GetPreparsedData)(HANDLE, PHIDP_PREPARSED_DATA*) = ::HidD_GetPreparsedData;
    BOOLEAN(WINAPI* HidD_FreePreparsedData)(PHIDP_PREPARSED_DATA) = ::HidD_FreePreparsedData;
    NTSTATUS(WINAPI* HidP_GetCaps)(PHIDP_PREPARSED_DATA, PHIDP_CAPS) = ::HidP_GetCaps;

    // The foreground process and the process list.
    HWND(WINAPI* GetForegroundWindow)() = ::GetForegroundWindow;
    DWORD(WINAPI* GetWindowThreadProcessId)(HWND, LPDWORD) = ::GetWindowThreadProcessId;
    HANDLE(WINAPI* CreateToolhelp32Snapshot)(DWORD, DWORD) = ::CreateToolhelp32Snapshot;
    BOOL(WINAPI* Process32FirstW)(HANDLE, LPPROCESSENTRY32W) = ::Process32FirstW;
    BOOL(WINAPI* Process32NextW)(HANDLE, LPPROCESSENTRY32W) = ::Process32NextW;

    // Menus and clicks.
    BOOL(WINAPI* TrackPopupMenuEx)(HMENU, UINT, int, int, HWND, LPTPMPARAMS) = ::TrackPopupMenuEx;
    UINT(WINAPI* GetDoubleClickTime)() = ::GetDoubleClickTime;
    BOOL(WINAPI* GetCursorPos)(LPPOINT) = ::GetCursorPos;

    // The icon in the notification area.
    BOOL(WINAPI* Shell_NotifyIconW)(DWORD, PNOTIFYICONDATAW) = ::Shell_NotifyIconW;
    HRESULT(WINAPI* Shell_NotifyIconGetRect)(const NOTIFYICONIDENTIFIER*, RECT*) = ::Shell_NotifyIconGetRect;

    // Sessions: locked or disconnected, the program stops switching.
    BOOL(WINAPI* WTSRegisterSessionNotification)(HWND, DWORD) = ::WTSRegisterSessionNotification;
    BOOL(WINAPI* WTSUnRegisterSessionNotification)(HWND) = ::WTSUnRegisterSessionNotification;
    // The installer's Restart Manager closes the program and starts it again.
    HRESULT(WINAPI* RegisterApplicationRestart)(PCWSTR, DWORD) = ::RegisterApplicationRestart;

    // What an elevated instance lets through from processes of lower integrity.
    BOOL(WINAPI* ChangeWindowMessageFilterEx)
    (HWND, UINT, DWORD, PCHANGEFILTERSTRUCT) = ::ChangeWindowMessageFilterEx;
};

// The one instance the program uses; tests replace members and restore them.
extern TrayPlatform g_platform;
