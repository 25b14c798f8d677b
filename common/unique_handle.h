// A handle with one owner: the scope that opened it closes it on every path,
// early returns included. The traits name the value that holds nothing and
// the call that closes a handle, so one holder serves kernel objects, files
// and devices, registry keys and device information sets alike.
#pragma once

#include <windows.h>

template <typename Traits> class UniqueHandle {
public:
    using Type = typename Traits::Type;

    explicit UniqueHandle(Type h = Traits::Invalid()) : h_(h) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Type get() const { return h_; }
    // For the out parameter of RegCreateKeyExW and RegOpenKeyExW. A handle
    // held already is closed first, so reusing a holder never leaks one.
    Type* put()
    {
        Close();
        return &h_;
    }

private:
    void Close()
    {
        if (h_ != Traits::Invalid()) Traits::Close(h_);
        h_ = Traits::Invalid();
    }

    Type h_;
};

// A kernel object, such as a mutex or an event: null when there is none.
struct KernelHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// A file or device opened with CreateFileW, which fails with
// INVALID_HANDLE_VALUE rather than null.
struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;
