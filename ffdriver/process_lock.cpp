// The one lock shared by every Effect Driver in the process, their Effect
// Records and their Rumble Threads. In the DLL, DllMain creates it on process
// attach and deletes it on process detach; test programs do the same around
// their tests.
#include "ffdriver/effect_driver.h"

#ifdef _WIN32

namespace {
CRITICAL_SECTION g_csProcess;
}

void CreateProcessLock()
{
    InitializeCriticalSection(&g_csProcess);
}

void DeleteProcessLock()
{
    DeleteCriticalSection(&g_csProcess);
}

void EnterProcessLock()
{
    EnterCriticalSection(&g_csProcess);
}

void LeaveProcessLock()
{
    LeaveCriticalSection(&g_csProcess);
}

#else // !_WIN32

#include <mutex>

namespace {
std::mutex g_mtxProcess; // constructed before any use, so create and delete have nothing to do
}

void CreateProcessLock() {}

void DeleteProcessLock() {}

void EnterProcessLock()
{
    g_mtxProcess.lock();
}

void LeaveProcessLock()
{
    g_mtxProcess.unlock();
}

#endif // _WIN32
