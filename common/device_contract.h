// What the tray program and the force feedback driver both rely on of the
// controller's kernel-mode driver and its HID device interface.
#pragma once

#include <cstddef>
#include <cstdint>

// The kernel-mode driver's service and its Parameters key under
// HKEY_LOCAL_MACHINE: all persisted state of the system lives there.
#define CONTROLLER_SERVICE_NAME L"CorvaneWirelessController"
#define PARAMETERS_KEY_PATH L"SYSTEM\\CurrentControlSet\\Services\\" CONTROLLER_SERVICE_NAME L"\\Parameters"

// Who may do what with the Parameters key, as the installation sets it.
// SYSTEM (the controller's driver) and Administrators keep full control, and
// Users may read it. The interactive users may also set values, so that the
// tray program, which runs unelevated, saves their profile switches; they may
// not create subkeys or change this descriptor. The descriptor is protected:
// what the service key above grants does not reach this key, and nothing is
// ever granted on the service key itself, whose ImagePath runs as SYSTEM.
// 0x2001b is KEY_READ | KEY_SET_VALUE.
#define PARAMETERS_KEY_SDDL L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2001b;;;IU)"

// Reload Request: a 32-byte HID feature report of zeros, sent with
// HidD_SetFeature. The driver re-reads "Current Setting" when it arrives.
constexpr std::size_t RELOAD_REQUEST_SIZE = 32;
struct ReloadRequest {
    std::uint8_t bReportId;   // 0
    std::uint8_t rgbZero[31]; // all 0
};
static_assert(sizeof(ReloadRequest) == RELOAD_REQUEST_SIZE);

// Motor Report: a 4-byte HID output report written with WriteFile to the
// device interface; bytes 2 and 3 carry the rumble strength 0..255.
constexpr std::size_t MOTOR_REPORT_SIZE = 4;
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
