// The lengths of the two reports the system sends the controller, its report
// id included. Plain constants only, so that the virtual controller's
// kernel-mode drivers describe their reports with the same lengths.
#pragma once

#include <stddef.h>

// Reload Request: a HID feature report.
constexpr size_t RELOAD_REQUEST_SIZE = 32;
// Motor Report: a HID output report.
constexpr size_t MOTOR_REPORT_SIZE = 4;
