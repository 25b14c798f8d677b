#include "ffdriver/module_count.h"

namespace {

LONG volatile g_cModuleRefs = 0; // objects and server locks
LONG volatile g_cServerLocks = 0;

} // namespace

void ModuleAddRef()
{
    InterlockedIncrement(&g_cModuleRefs);
}

void ModuleRelease()
{
    InterlockedDecrement(&g_cModuleRefs);
}

void LockModule(BOOL fLock)
{
    if (fLock) {
        // The module count first: an unlock that sees this lock finds it
        // already counted there.
        ModuleAddRef();
        InterlockedIncrement(&g_cServerLocks);
        return;
    }
    LONG cLocks = g_cServerLocks;
    while (cLocks > 0) {
        const LONG cBefore = InterlockedCompareExchange(&g_cServerLocks, cLocks - 1, cLocks);
        if (cBefore == cLocks) {
            ModuleRelease();
            return;
        }
        cLocks = cBefore;
    }
}

LONG ModuleCount()
{
    return InterlockedCompareExchange(&g_cModuleRefs, 0, 0);
}
