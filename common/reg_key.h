// An open registry key with one owner: the scope that opened it closes it on
// every path, early returns included.
#pragma once

#include <windows.h>

class RegKey {
public:
    explicit RegKey(HKEY h = nullptr) : h_(h) {}
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY get() const { return h_; }
    // For the out parameter of RegCreateKeyExW and RegOpenKeyExW. A key held
    // already is closed first, so reusing a holder never leaks one.
    HKEY* put()
    {
        Close();
        return &h_;
    }

private:
    void Close()
    {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }

    HKEY h_;
};
