// An open registry key with one owner: the scope that opened it closes it on
// every path, early returns included.
#pragma once

#include "common/unique_handle.h"

#include <windows.h>

struct RegKeyTraits {
    using Type = HKEY;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
using RegKey = UniqueHandle<RegKeyTraits>;
