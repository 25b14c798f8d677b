// The Rumble Thread, the only code that talks to the controller. Every cycle
// it mixes the playing effects under the process-wide lock, then, outside the
// lock, writes one Motor Report when the sum of contributions changed, and
// waits 2 ms; while nothing can sound until a call changes the mix, it waits
// for that call instead. Its last act on the driver is an all-zero report,
// which stops both motors, and setting hThreadDone.
#include "ffdriver/effect_driver_object.h"

#include "common/device_contract.h"

#include <cstdint>

// Windows 10 1803 and later; older headers lack the name.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// The active loop's pace: a high-resolution timer waits 2 ms. Sleep(2)
// waits for the next tick of the system timer, about 15.6 ms unless some
// program raised its resolution (timeBeginPeriod), which this driver must
// not do for its host: that changes the timer of the whole process or
// system.
struct CyclePacer {
    HANDLE hTimer;        // null where the system lacks high-resolution timers
    LONGLONG llFrequency; // of the performance counter, fixed at boot
    bool fPaced;          // llDue holds the last cycle's due time
    LONGLONG llDue;       // QueryPerformanceCounter
};

HANDLE CreateCycleTimer()
{
    return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                  TIMER_MODIFY_STATE | SYNCHRONIZE);
}

// Each cycle is due 2 ms after the one before, so a timer that fires late
// shortens the next wait rather than slowing the cycle; after an idle wait,
// or once the thread has fallen behind, the count starts afresh. The timer
// is set for one cycle at a time: none is pending while the thread waits for
// a call.
void WaitForNextCycle(CyclePacer* pPacer)
{
    if (pPacer->hTimer) {
        LARGE_INTEGER liNow;
        QueryPerformanceCounter(&liNow);
        const LONGLONG llCycle = pPacer->llFrequency / 500; // 2 ms
        LONGLONG llDue = pPacer->llDue + llCycle;
        if (!pPacer->fPaced || llDue <= liNow.QuadPart) llDue = liNow.QuadPart + llCycle;
        pPacer->llDue = llDue;
        pPacer->fPaced = true;
        LARGE_INTEGER liWait;
        liWait.QuadPart =
            -((llDue - liNow.QuadPart) * 10000000 / pPacer->llFrequency); // relative, 100 ns units
        if (SetWaitableTimer(pPacer->hTimer, &liWait, 0, nullptr, nullptr, FALSE) &&
            WaitForSingleObject(pPacer->hTimer, INFINITE) == WAIT_OBJECT_0)
            return;
    }
    Sleep(2);
}

void RunCycles(EffectDriverObject* pDriver, CyclePacer* pPacer)
{
    // No sum of contributions takes this value, so the first pass reports.
    std::uint64_t ullPreviousSum = UINT64_MAX;
    while (!pDriver->fShutdown.load()) {
        const MixResult mix = pDriver->core.MixingPass();
        // The sums are compared, not the strengths: a change of the device
        // gain alone reaches the motors with the next change of the mix.
        if (mix.ullSum != ullPreviousSum)
            WriteMotorReport(pDriver->hDevice, StrengthFromSum(mix.dwGain, mix.ullSum));
        ullPreviousSum = mix.ullSum;
        // An idle mix stays as it is until a call changes it, and every such
        // call sets hWake, also one made since the pass (the event keeps the
        // signal): no cycle is lost by waiting. A play whose count is used up
        // would come round again only when its clock wraps, 49.7 days after
        // its start; waiting lets it stay silent, as it should. Should the
        // wait fail, the thread cycles as usual rather than spin.
        if (mix.fIdle && WaitForSingleObject(pDriver->hWake, INFINITE) == WAIT_OBJECT_0)
            pPacer->fPaced = false;
        else
            WaitForNextCycle(pPacer);
    }
}

} // namespace

void WriteMotorReport(HANDLE hDevice, BYTE bStrength)
{
    const MotorReport report = MakeMotorReport(bStrength);
    DWORD cbWritten = 0;
    // A failed write (the controller was unplugged) is not retried: the next
    // change of the mix sends a fresh report anyway.
    WriteFile(hDevice, &report, sizeof(report), &cbWritten, nullptr);
}

DWORD WINAPI RumbleThreadProc(LPVOID pvDriver)
{
    auto* pDriver = static_cast<EffectDriverObject*>(pvDriver);
    // Taken now: once hThreadDone is set the driver may be freed at once.
    const HMODULE hModule = pDriver->hThreadModule;
    LARGE_INTEGER liFrequency;
    QueryPerformanceFrequency(&liFrequency);
    CyclePacer pacer = {CreateCycleTimer(), liFrequency.QuadPart, false, 0};
    RunCycles(pDriver, &pacer);
    if (pacer.hTimer) CloseHandle(pacer.hTimer);
    WriteMotorReport(pDriver->hDevice, 0);
    // The end of the binding waits for this event, not for the thread's
    // exit: a thread's exit runs DLL_THREAD_DETACH under the loader lock,
    // which a host that releases the driver from DllMain, or from a global
    // destructor during FreeLibrary, holds while it waits.
    SetEvent(pDriver->hThreadDone);
    // The thread's own reference keeps this library mapped until the thread
    // has left its code: FreeLibraryAndExitThread lives in the system.
    // Without a reference (the binding could not take one, or the routine
    // was called directly) it simply returns.
    if (hModule) FreeLibraryAndExitThread(hModule, 0);
    return 0;
}
