// Whether this process runs under Wine: Wine's ntdll exports its version,
// Windows' has no such export.
#pragma once

#include <windows.h>

inline bool RunningOnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
