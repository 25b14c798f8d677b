// Replaces the nothrow forms of operator new for the whole test program. They
// forward to the ordinary operator new, so that every delete (and a
// sanitizer's bookkeeping) still matches its allocation.
#include "tests/ffdriver/core/failing_allocator.h"

#include <atomic>
#include <cstddef>
#include <new>

namespace {

std::atomic<int> g_cAllocationsBeforeFailure{-1}; // -1: none fails

bool ThisAllocationFails()
{
    int c = g_cAllocationsBeforeFailure.load();
    while (c >= 0) {
        if (g_cAllocationsBeforeFailure.compare_exchange_weak(c, c - 1)) return c == 0;
    }
    return false;
}

} // namespace

void FailNthAllocation(int n)
{
    g_cAllocationsBeforeFailure = n;
}

void StopFailingAllocations()
{
    g_cAllocationsBeforeFailure = -1;
}

void* operator new(std::size_t cb, const std::nothrow_t&) noexcept
{
    if (ThisAllocationFails()) return nullptr;
    try {
        return ::operator new(cb);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept
{
    if (ThisAllocationFails()) return nullptr;
    try {
        return ::operator new[](cb);
    } catch (...) {
        return nullptr;
    }
}
