#include "tests/tray/failing_allocation.h"

#include <cstdlib>
#include <new>

namespace {
int g_iLast = 0;
int g_iFirstFailing = 0;
int g_cFailing = 0;

void* Allocate(std::size_t cb) noexcept
{
    if (g_cFailing > 0) {
        const int i = ++g_iLast;
        if (i >= g_iFirstFailing && i - g_iFirstFailing < g_cFailing) return nullptr;
    }
    // The library's operator delete frees with std::free.
    return std::malloc(cb ? cb : 1);
}
} // namespace

void FailNothrowAllocations(int iFirst, int cFailing)
{
    g_iLast = 0;
    g_iFirstFailing = iFirst;
    g_cFailing = cFailing;
}

void* operator new(std::size_t cb, const std::nothrow_t&) noexcept
{
    return Allocate(cb);
}

void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept
{
    return Allocate(cb);
}
