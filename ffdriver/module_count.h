// What keeps brasquet.dll in its process: every live class factory, every
// live Effect Driver (whose Rumble Thread runs code of the library) and every
// LockServer(TRUE). DllCanUnloadNow answers S_OK only when nothing does, so
// that CoFreeUnusedLibraries never unmaps the library under a running thread.
// Each Rumble Thread also holds a loader reference of its own, for the lines
// it runs after its driver is freed.
#pragma once

#include <windows.h>

void ModuleAddRef();
void ModuleRelease();
// LockServer: TRUE adds a server lock, FALSE takes one away; an unlock
// without a lock is ignored, so it cannot hide a live object.
void LockModule(BOOL fLock);
// Objects and server locks alive now.
LONG ModuleCount();

// Holds the library for as long as its owner lives. Declared as the owner's
// first member, it is destroyed last, after everything else of the owner.
class ModuleReference {
public:
    ModuleReference() { ModuleAddRef(); }
    ~ModuleReference() { ModuleRelease(); }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};
