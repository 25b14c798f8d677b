// Makes one chosen `new (std::nothrow)` of the test program fail, so that the
// driver's handling of memory exhaustion can be tested.
#pragma once

// The nth nothrow allocation from now (0 = the next) returns null; the ones
// before and after it succeed.
void FailNthAllocation(int n);
// No allocation fails.
void StopFailingAllocations();

// Fails the nth nothrow allocation for as long as it lives.
class AllocationFailure {
public:
    explicit AllocationFailure(int n) { FailNthAllocation(n); }
    ~AllocationFailure() { StopFailingAllocations(); }
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;
};
