// The user-mode side of the virtual controller: installing its drivers,
// plugging and pulling controllers through the bus's control interface,
// reading what a controller received, and finding a controller's HID device
// interface the way DirectInput and the tray program do (SetupAPI and
// HidD_GetAttributes). Used by vcontroller.exe, ffhost and the tests.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "controller_control.h"

#include <string>
#include <vector>

namespace vcontroller {

// Installs the bus device and both drivers in this prefix or machine from
// vcontroller.inf beside the running program, and waits until the bus
// answers. Nothing happens when it answers already (*pfAlready then true),
// but installed images of another build than the ones beside the program
// are a failure. False with the reason in *pError.
bool InstallDrivers(bool* pfAlready, std::wstring* pError);

// The bus's control interface, or INVALID_HANDLE_VALUE when the drivers are
// not installed or not running.
HANDLE OpenBus();

// The results are the status of the control request: ERROR_SUCCESS, or
// ERROR_FILE_NOT_FOUND for a bus that does not answer, ERROR_BAD_UNIT for a
// controller that is not plugged, ERROR_ALREADY_EXISTS for one plugged
// already, ERROR_INVALID_PARAMETER for lengths, kinds, modes or delays out
// of range.
DWORD Plug(const VC_PLUG& plug);
DWORD Unplug(VC_CONTROLLER_ID id);
// From now on the controller answers its reports of fault.kind as fault.mode
// says; the reports of that kind it held are completed with success
// (*pcCompleted of them).
DWORD SetFault(const VC_FAULT& fault, ULONG* pcCompleted = nullptr);

struct ReportLog {
    LONGLONG llFrequency = 1;
    LONGLONG llPlugTime = 0;
    ULONG cReports = 0; // received since the plug, even past what was kept
    std::vector<VC_REPORT_ENTRY> entries;
    // Milliseconds from the plug to the arrival of entry i.
    double Milliseconds(size_t i) const { return MillisecondsAt(entries[i].llTime); }
    // Milliseconds from the plug to a time of the controller's clock.
    double MillisecondsAt(LONGLONG llTime) const
    {
        return static_cast<double>(llTime - llPlugTime) * 1000.0 / static_cast<double>(llFrequency);
    }
};
// At most cMax reports from number iFirst on (by default all that were kept).
DWORD GetReports(VC_CONTROLLER_ID id, ReportLog* pLog, ULONG iFirst = 0, ULONG cMax = VC_MAX_LOGGED_REPORTS);
DWORD GetSetting(VC_CONTROLLER_ID id, VC_SETTING* pSetting);

// The device interface path of the first present HID collection whose
// attributes carry the id, as DirectInput names it to the effect driver.
bool FindControllerPath(VC_CONTROLLER_ID id, std::wstring* pPath);
// Waits until the controller's HID interface is present (fPresent) or gone.
bool WaitForController(VC_CONTROLLER_ID id, bool fPresent, DWORD dwTimeoutMs);

// "VVVV:PPPP", four hexadecimal digits each.
bool ParseControllerId(const wchar_t* psz, VC_CONTROLLER_ID* pId);

} // namespace vcontroller
