// The package's DirectInput entries of one controller (its OEM key under
// MediaProperties), written for a controller id and taken away again, and
// read back as the figures DirectInput must report from them.
#pragma once

#include <windows.h>

#include "controller_control.h"

#include <string>
#include <vector>

// SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_vvvv&PID_pppp
std::wstring OemKeyPath(VC_CONTROLLER_ID id);

// Writes every entry the package writes for a controller, under
// HKEY_LOCAL_MACHINE (elevation needed).
LSTATUS WriteOemEntries(VC_CONTROLLER_ID id);
// Removes the controller's OEM key and everything below it.
LSTATUS RemoveOemEntries(VC_CONTROLLER_ID id);

// The bytes of one binary entry of the package's table, or an empty vector.
std::vector<BYTE> PackageBinary(LPCWSTR pszSubkey, LPCWSTR pszName);
// The DWORD at byte offset ib of that entry (0 when there is none).
DWORD PackageDword(LPCWSTR pszSubkey, LPCWSTR pszName, size_t ib);

// The effect keys of the table: "OEMForceFeedback\Effects\{guid}" each.
std::vector<std::wstring> PackageEffectKeys();
