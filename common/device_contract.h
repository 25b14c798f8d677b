// What the tray program and the force feedback driver both rely on of the
// controller's kernel-mode driver and its HID device interface.
#pragma once

#include "common/parameters_key.h"
#include "common/report_sizes.h"

#include <cstdint>

// Reload Request: a 32-byte HID feature report of zeros, sent with
// HidD_SetFeature. The driver re-reads "Current Setting" when it arrives.
struct ReloadRequest {
    std::uint8_t bReportId;   // 0
    std::uint8_t rgbZero[31]; // all 0
};
static_assert(sizeof(ReloadRequest) == RELOAD_REQUEST_SIZE);

// Motor Report: a 4-byte HID output report written with WriteFile to the
// device interface; bytes 2 and 3 carry the rumble strength 0..255.
struct MotorReport {
    std::uint8_t bReportId;      // 0
    std::uint8_t bReserved;      // 0
    std::uint8_t bStrengthLeft;  // strength
    std::uint8_t bStrengthRight; // the same strength
};
static_assert(sizeof(MotorReport) == MOTOR_REPORT_SIZE);

inline MotorReport MakeMotorReport(std::uint8_t strength)
{
    return MotorReport{0, 0, strength, strength};
}
