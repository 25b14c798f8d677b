// Registering the Effect Driver's class as an in-process server, so that
// CoCreateInstance finds it: HKEY_CLASSES_ROOT\CLSID\{class id}\InprocServer32
// holds the DLL's path and ThreadingModel "Both". A 64-bit process finds it
// in the registry's 64-bit view, a 32-bit game under WOW64 in the 32-bit
// view: each DLL is registered in the view of its machine.
#pragma once

#include <windows.h>

// KEY_WOW64_64KEY for an x64 DLL, KEY_WOW64_32KEY for an x86 DLL, 0 for a
// file that is neither (or cannot be read).
REGSAM RegistryViewOf(LPCWSTR pszDllPath);

// ERROR_BAD_EXE_FORMAT for a file that is no DLL of either machine.
LSTATUS RegisterEffectDriver(LPCWSTR pszDllPath);
// Removes the class from the view of the DLL at pszDllPath.
LSTATUS UnregisterEffectDriver(LPCWSTR pszDllPath);
