// Registering the Effect Driver's class as an in-process server, so that
// CoCreateInstance finds it: HKEY_CLASSES_ROOT\CLSID\{class id}\InprocServer32
// holds the DLL's path and ThreadingModel "Both".
#pragma once

#include <windows.h>

LSTATUS RegisterEffectDriver(LPCWSTR pszDllPath);
LSTATUS UnregisterEffectDriver();
