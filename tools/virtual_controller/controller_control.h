// The control channel of the virtual controller's bus driver: what
// vcontroller.exe (and ffhost) send to the bus to plug and pull controllers,
// to give them faults and to read what a controller received. Shared by the kernel-mode drivers
// and the user-mode programs, so it uses only the platform's base types.
#pragma once

#include "common/parameters_key.h"
#include "common/report_sizes.h"

// Device interface of the bus itself (one, root-enumerated), not of a
// controller: controllers show up as HID device interfaces.
// {6B1E4F0A-3C2D-4B8E-9A71-5D0C2E8F4B13}
inline constexpr GUID GUID_DEVINTERFACE_VCONTROLLER_BUS = {
    0x6b1e4f0a, 0x3c2d, 0x4b8e, {0x9a, 0x71, 0x5d, 0x0c, 0x2e, 0x8f, 0x4b, 0x13}};

#define VC_CTL_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// In: VC_PLUG. Fails with STATUS_OBJECT_NAME_COLLISION when that pair is
// plugged already, STATUS_INVALID_PARAMETER for report lengths it cannot
// describe.
#define IOCTL_VC_PLUG VC_CTL_CODE(0)
// In: VC_CONTROLLER_ID. STATUS_NO_SUCH_DEVICE when that pair is not plugged.
#define IOCTL_VC_UNPLUG VC_CTL_CODE(1)
// In: VC_REPORTS_QUERY; out: VC_REPORT_LOG followed by the entries from
// iFirst on, as many as fit.
#define IOCTL_VC_GET_REPORTS VC_CTL_CODE(2)
// In: VC_CONTROLLER_ID; out: VC_SETTING.
#define IOCTL_VC_GET_SETTING VC_CTL_CODE(3)
// In: VC_FAULT; out (optional): a ULONG, how many held reports of that kind
// it completed. STATUS_NO_SUCH_DEVICE when that pair is not plugged,
// STATUS_INVALID_PARAMETER for a kind, mode or delay it does not know.
#define IOCTL_VC_SET_FAULT VC_CTL_CODE(4)

// The controller's lengths, as HidP_GetCaps gives them: the report id
// position included. By default those of the Motor Report and the Reload
// Request.
#define VC_DEFAULT_OUTPUT_LENGTH MOTOR_REPORT_SIZE
#define VC_DEFAULT_FEATURE_LENGTH RELOAD_REQUEST_SIZE
#define VC_MIN_REPORT_LENGTH 2
#define VC_MAX_REPORT_LENGTH 64

#define VC_SETTING_SIZE SETTINGS_BLOCK_SIZE // what a Reload Request makes the driver read
#define VC_MAX_LOGGED_REPORTS 16384
#define VC_MAX_FAULT_DELAY_MS 60000

struct VC_CONTROLLER_ID {
    USHORT wVendorID;
    USHORT wProductID;
};

struct VC_REPORTS_QUERY {
    VC_CONTROLLER_ID id;
    ULONG iFirst;
};

struct VC_PLUG {
    VC_CONTROLLER_ID id;
    USHORT cbOutputReport;
    USHORT cbFeatureReport;
};

enum VC_REPORT_KIND : UCHAR { VC_REPORT_OUTPUT = 1, VC_REPORT_FEATURE = 2 };

// How a controller answers the reports of one kind: at once (as a healthy
// one does), not until the fault changes or the controller is pulled, a
// while after they arrived, or at once with STATUS_DEVICE_NOT_CONNECTED.
// Output reports are IOCTL_HID_WRITE_REPORT and IOCTL_HID_SET_OUTPUT_REPORT;
// feature reports IOCTL_HID_SET_FEATURE and IOCTL_HID_GET_FEATURE.
enum VC_FAULT_MODE : UCHAR { VC_FAULT_NONE = 0, VC_FAULT_STALL = 1, VC_FAULT_DELAY = 2, VC_FAULT_FAIL = 3 };

struct VC_FAULT {
    VC_CONTROLLER_ID id;
    UCHAR kind;    // VC_REPORT_KIND
    UCHAR mode;    // VC_FAULT_MODE
    ULONG msDelay; // VC_FAULT_DELAY: 1 to VC_MAX_FAULT_DELAY_MS
};

// One report as the controller received it: its bytes from the report id
// position on, at most VC_MAX_REPORT_LENGTH of them, and how it was
// completed.
struct VC_REPORT_ENTRY {
    LONGLONG llTime; // performance counter at arrival
    UCHAR kind;      // VC_REPORT_KIND
    UCHAR cbReport;  // the report's length
    UCHAR rgbReport[VC_MAX_REPORT_LENGTH];
    LONG status;          // the NTSTATUS it was completed with, once completed
    LONGLONG llCompleted; // performance counter at completion; 0 while the controller holds it
};

struct VC_REPORT_LOG {
    LONGLONG llFrequency; // of the performance counter
    LONGLONG llPlugTime;  // performance counter when the controller was plugged
    ULONG cReports;       // reports received since the plug
    ULONG cEntries;       // entries that follow: the first ones, up to what fits
};

struct VC_SETTING {
    ULONG fRead;     // a Reload Request has made the driver read the setting
    ULONG cbSetting; // bytes the value held (0 when it was missing)
    UCHAR rgbSetting[VC_SETTING_SIZE];
};
