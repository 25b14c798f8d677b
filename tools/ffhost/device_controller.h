// The virtual controller as the host's device: the driver is bound to the
// controller's HID device interface, found with SetupAPI as DirectInput
// finds it, and the Motor Reports are the ones the controller itself
// received, with the times of their arrival there.
#pragma once

#include "pipe_controller.h"

#include "controller_link.h"

#include <string>
#include <vector>

class DeviceController {
public:
    explicit DeviceController(VC_CONTROLLER_ID id) : id_(id) {}

    // Finds the device interface and notes how many reports the controller
    // has received so far: the host's reports are the ones after these.
    // False when no such controller is plugged in.
    bool Start();
    LPCWSTR Path() const { return path_.c_str(); }

    // Indexes count every report the controller received since Start; only
    // the driver's output reports are returned, as the pipe records them.
    // The output reports received since Start.
    std::vector<MotorRecord> Reports() const;
    // Waits for a report at index iFrom or later whose strength is bStrength.
    bool WaitForStrength(BYTE bStrength, size_t iFrom, DWORD dwTimeoutMs, size_t* piFound,
                         LONGLONG* pllTime) const;
    size_t ReportCount() const;
    // Waits until no report has arrived for dwQuietMs, at most dwTimeoutMs.
    void WaitForQuiet(DWORD dwQuietMs, DWORD dwTimeoutMs) const;

private:
    std::vector<MotorRecord> ReportsFrom(size_t iFrom, ULONG cMax) const;

    VC_CONTROLLER_ID id_;
    std::wstring path_;
    ULONG iFirst_ = 0; // the controller's report number at Start
};
