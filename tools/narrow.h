// Text of the Windows calls, UTF-16, as the tools print it: UTF-8, for the
// scripts and logs that read their output on Linux.
#pragma once

#include <windows.h>

#include <string>

inline std::string Narrow(const std::wstring& w)
{
    std::string s;
    const int cb = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (cb > 1) {
        s.resize(static_cast<size_t>(cb));
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), cb, nullptr, nullptr);
        s.resize(static_cast<size_t>(cb - 1));
    }
    return s;
}
