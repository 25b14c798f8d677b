// Motor Reports on their way to a controller opened for overlapped I/O. A
// device that stops taking writes (a wireless controller out of range, a
// USB device that refuses output transfers) must not hold the Rumble Thread,
// and with it the end of the binding and the game: each write waits a
// limited time and is cancelled when the time runs out.
#pragma once

#include "ffdriver/driver_platform.h"

// Long enough for a report over a congested wireless link, short enough
// that the end of a binding stays well within a quarter of a second: at
// most one write in flight and the last report, each bounded by this.
constexpr DWORD MOTOR_WRITE_LIMIT_MS = 50;

// The longest output report taken; longer ones belong to no rumble device.
constexpr DWORD MOTOR_REPORT_MAX = 4096;

class MotorWriter {
public:
    // cbReport: the device's output report length, 4 or more; the Motor
    // Report is padded with zeros to it.
    MotorWriter(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport);
    ~MotorWriter();
    MotorWriter(const MotorWriter&) = delete;
    MotorWriter& operator=(const MotorWriter&) = delete;

    // Writes 00 00 s s and waits for it at most MOTOR_WRITE_LIMIT_MS. False
    // when the device did not take it; the caller does not retry, since the
    // next change of the mix sends a fresh report anyway.
    bool Write(BYTE bStrength);

private:
    // The OVERLAPPED and the report's bytes, which the system uses until
    // the write completes: a write that not even its cancellation ends keeps
    // them for good.
    struct Block {
        OVERLAPPED ov;
        BYTE rgbReport[1];
    };

    const DriverPlatform& platform_;
    HANDLE hDevice_;
    DWORD cbReport_;
    Block* pBlock_ = nullptr;
    HANDLE hEvent_ = nullptr;
};

// One all-zero Motor Report, outside the Rumble Thread: for a binding whose
// thread was ended before its last report, and for the stop at process exit.
bool WriteStopReport(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport);
