// Lets a test make allocations with new (std::nothrow) fail: the test program
// replaces the nothrow forms of operator new, which is all the tray program
// allocates with.
#pragma once

// Allocations number iFirst to iFirst + cFailing - 1, counted from 1 after
// this call, return null. FailNothrowAllocations(0, 0) stops failing.
void FailNothrowAllocations(int iFirst, int cFailing);
