// The library's own allocation functions. Every allocation in the driver is a
// new (std::nothrow), which the C++ runtime would implement through the
// throwing operator new and its exception machinery; going straight to the
// process heap keeps that machinery, and the threading library it drags in,
// out of the DLL.
#include <windows.h>

#include <cstddef>
#include <new>

void* operator new(std::size_t cb, const std::nothrow_t&) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, cb ? cb : 1);
}

void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, cb ? cb : 1);
}

void operator delete(void* pv) noexcept
{
    if (pv) HeapFree(GetProcessHeap(), 0, pv);
}

void operator delete[](void* pv) noexcept
{
    if (pv) HeapFree(GetProcessHeap(), 0, pv);
}

void operator delete(void* pv, std::size_t) noexcept
{
    operator delete(pv);
}

void operator delete[](void* pv, std::size_t) noexcept
{
    operator delete[](pv);
}

void operator delete(void* pv, const std::nothrow_t&) noexcept
{
    operator delete(pv);
}

void operator delete[](void* pv, const std::nothrow_t&) noexcept
{
    operator delete[](pv);
}
