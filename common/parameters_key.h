// The controller's Parameters key: where it is, who may change it, and the
// values the tray program, the property sheet and the controller's driver
// share through it. Plain constants only, so that the virtual controller's
// kernel-mode driver reads the same names.
#pragma once

// The kernel-mode driver's service and its Parameters key under
// HKEY_LOCAL_MACHINE: all persisted state of the system lives there.
#define CONTROLLER_SERVICE_NAME L"CorvaneWirelessController"
#define PARAMETERS_SUBKEY L"\\Parameters" // under the service's own key
#define PARAMETERS_KEY_PATH L"SYSTEM\\CurrentControlSet\\Services\\" CONTROLLER_SERVICE_NAME PARAMETERS_SUBKEY

// Who may do what with the Parameters key, as the installation sets it.
// SYSTEM (the controller's driver) and Administrators keep full control, and
// Users may read it. The interactive users may also set values, so that the
// tray program, which runs unelevated, saves their profile switches; they may
// not create subkeys or change this descriptor. The descriptor is protected:
// what the service key above grants does not reach this key, and nothing is
// ever granted on the service key itself, whose ImagePath runs as SYSTEM.
// 0x2001b is KEY_READ | KEY_SET_VALUE.
#define PARAMETERS_KEY_SDDL L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2001b;;;IU)"

// The values. The tray program writes only the first four; the profiles,
// their names and their count belong to the property sheet.
#define CURRENT_SETTING_VALUE L"Current Setting"             // REG_BINARY, a Settings Block
#define CURRENT_SETTING_INDEX_VALUE L"Current Setting Index" // REG_DWORD
#define MODIFIED_FLAG_VALUE L"Modified Flag"                 // REG_BINARY, one byte
#define AUTO_SETTING_CHANGE_VALUE L"Auto Setting Change"     // REG_BINARY, one byte
#define SETTING_COUNT_VALUE L"Setting Count"                 // REG_DWORD
#define SETTING_VALUE_FORMAT L"Setting %d"                   // REG_BINARY, a Settings Block; from 1 up
#define SETTING_NAME_VALUE_FORMAT L"Setting Name %d"         // REG_SZ; from 1 up

// A Settings Block: the controller's settings record, stored whole. A DWORD,
// as the registry counts a value's bytes.
constexpr unsigned long SETTINGS_BLOCK_SIZE = 126;
