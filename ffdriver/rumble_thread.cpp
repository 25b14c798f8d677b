// The Rumble Thread, the only code that talks to the controller while it is
// bound. Every cycle it mixes the playing effects under the process-wide
// lock, then, outside the lock, writes one Motor Report when the sum of
// contributions changed, and waits for the next cycle, 2 ms on, on a grid
// that a late wake does not shift. Cycles in which the sum cannot change
// (a constant force holds its value, an effect waits out its start delay)
// are skipped; while nothing can sound until a call changes the mix, it
// waits for that call instead. A write the device has not finished keeps
// the thread cycling, so that the strength that follows goes out as soon
// as the device is free (motor_writer.h). Its last act on the driver is an
// all-zero report, which stops both motors, and setting hThreadDone.
#include "ffdriver/effect_driver_object.h"

#include "ffdriver/motor_writer.h"

#include <cstdint>

namespace {

constexpr DWORD CYCLE_MS = 2;

// The pace of the active loop: a high-resolution timer, set for one wait at
// a time. Sleep(2) waits for the next tick of the system timer, about
// 15.6 ms unless some program raised its resolution (timeBeginPeriod), which
// this driver must not do for its host: that changes the timer of the whole
// process or system.
struct CyclePacer {
    const DriverPlatform* pPlatform;
    HANDLE hTimer;        // null where the system lacks high-resolution timers
    LONGLONG llFrequency; // of the performance counter, fixed at boot
    LONGLONG llCycle;     // 2 ms in counts
    bool fPaced;          // llDue holds the last cycle's due time
    LONGLONG llDue;       // performance counter
};

LONGLONG Now(const CyclePacer& pacer)
{
    LARGE_INTEGER li;
    pacer.pPlatform->QueryPerformanceCounter(&li);
    return li.QuadPart;
}

// Arms the timer for llDue, relative to llNow in 100 ns units (a negative
// due time): a positive one would be absolute, and long past. Whole
// seconds and the rest are converted apart, so no product overflows.
bool SetTimerFor(const CyclePacer& pacer, LONGLONG llDue, LONGLONG llNow)
{
    const LONGLONG llCounts = llDue > llNow ? llDue - llNow : 0;
    LARGE_INTEGER liWait;
    liWait.QuadPart = -(llCounts / pacer.llFrequency * 10000000 +
                        llCounts % pacer.llFrequency * 10000000 / pacer.llFrequency);
    // Zero would be an absolute time: ask for the shortest relative one.
    if (liWait.QuadPart == 0) liWait.QuadPart = -1;
    return pacer.pPlatform->SetWaitableTimer(pacer.hTimer, &liWait, 0, nullptr, nullptr, FALSE) != FALSE;
}

bool WaitForTimer(const CyclePacer& pacer, LONGLONG llDue, LONGLONG llNow)
{
    return SetTimerFor(pacer, llDue, llNow) &&
           pacer.pPlatform->WaitForMultipleObjects(1, &pacer.hTimer, FALSE, INFINITE) == WAIT_OBJECT_0;
}

// The first point of the grid from llBase on at or after llNow, one cycle
// on at least.
LONGLONG NextGridPoint(const CyclePacer& pacer, LONGLONG llBase, LONGLONG llNow)
{
    LONGLONG cCycles = llNow > llBase ? (llNow - llBase + pacer.llCycle - 1) / pacer.llCycle : 1;
    if (cCycles < 1) cCycles = 1;
    return llBase + cCycles * pacer.llCycle;
}

// Waits until the next cycle in which the sum may differ, holdMs after the
// pass (0: the next cycle; INFINITE: only a call changes it). Each cycle is
// due 2 ms after the one before, so a timer that fires late shortens the
// next wait rather than slowing the cycle; once the thread has fallen
// behind, or after an idle wait, the grid starts afresh. The cycles that
// are skipped are exactly those in which the sum is known to stay, so the
// reports are those of a pass in every cycle. A call during a skip is taken
// up at the next point of the same grid, as it would have been without the
// skip.
void WaitForNextChange(CyclePacer* pPacer, DWORD holdMs, HANDLE hWake, const std::atomic<LONG>& fShutdown)
{
    const DriverPlatform& platform = *pPacer->pPlatform;
    if (!pPacer->hTimer) {
        // No grid without a timer: cycles of Sleep, skips waited on hWake.
        if (holdMs <= CYCLE_MS)
            platform.Sleep(CYCLE_MS);
        else
            platform.WaitForMultipleObjects(1, &hWake, FALSE, holdMs); // a call is taken up by the next pass
        return;
    }
    const LONGLONG llNow = Now(*pPacer);
    // Where the grid stands: on from the last due time, or afresh from now.
    // Afresh, the pass's tick may lie a millisecond before now, so one cycle
    // fewer is skipped.
    const bool fOnGrid = pPacer->fPaced && pPacer->llDue + pPacer->llCycle > llNow;
    const LONGLONG llBase = fOnGrid ? pPacer->llDue : llNow;
    // The points of the grid at 2 ms, 4 ms... after the pass; those before
    // holdMs cannot see another sum.
    LONGLONG cSkip = 0;
    if (holdMs == INFINITE)
        cSkip = -1;
    else if (holdMs > CYCLE_MS)
        cSkip = fOnGrid ? (holdMs - 1) / CYCLE_MS : (holdMs - 2) / CYCLE_MS;
    pPacer->fPaced = true;
    if (cSkip == 0) {
        pPacer->llDue = llBase + pPacer->llCycle;
        if (!WaitForTimer(*pPacer, pPacer->llDue, llNow)) platform.Sleep(CYCLE_MS);
        return;
    }

    const HANDLE rghWait[] = {pPacer->hTimer, hWake}; // the timer first: it wins a tie
    DWORD dwWait;
    if (cSkip < 0) {
        dwWait = platform.WaitForMultipleObjects(1, &hWake, FALSE, INFINITE) == WAIT_OBJECT_0
                     ? WAIT_OBJECT_0 + 1
                     : WAIT_FAILED;
    } else {
        pPacer->llDue = llBase + (cSkip + 1) * pPacer->llCycle;
        dwWait = SetTimerFor(*pPacer, pPacer->llDue, llNow)
                     ? platform.WaitForMultipleObjects(2, rghWait, FALSE, INFINITE)
                     : WAIT_FAILED;
    }
    if (dwWait == WAIT_OBJECT_0) return;
    if (dwWait == WAIT_OBJECT_0 + 1) {
        if (fShutdown.load()) return;
        const LONGLONG llWoken = Now(*pPacer);
        pPacer->llDue = NextGridPoint(*pPacer, llBase, llWoken);
        if (WaitForTimer(*pPacer, pPacer->llDue, llWoken)) return;
    }
    // The wait failed: go on in cycles, afresh, rather than spin.
    pPacer->fPaced = false;
    platform.Sleep(CYCLE_MS);
}

void RunCycles(EffectDriverObject* pDriver, CyclePacer* pPacer, MotorWriter* pWriter)
{
    // No sum of contributions takes this value, so the first pass reports.
    std::uint64_t ullPreviousSum = UINT64_MAX;
    while (!pDriver->fShutdown.load()) {
        const MixResult mix = pDriver->core.MixingPass();
        // The sums are compared, not the strengths: a change of the device
        // gain alone reaches the motors with the next change of the mix.
        if (mix.ullSum != ullPreviousSum) pWriter->Post(StrengthFromSum(mix.dwGain, mix.ullSum));
        ullPreviousSum = mix.ullSum;
        // The writer never holds the cycle: a slow write is looked at again
        // in the next one, and a strength the device refused is written
        // again when the writer asks for it.
        const DWORD dwWriterMs = pWriter->Pump();
        // An idle mix stays as it is until a call changes it, and every such
        // call sets hWake, also one made since the pass (the event keeps the
        // signal): no cycle is lost by waiting. A play whose count is used up
        // would come round again only when its clock wraps, 49.7 days after
        // its start; waiting lets it stay silent, as it should. Should the
        // wait fail, the thread cycles as usual rather than spin.
        const bool fIdle = mix.fIdle && dwWriterMs == INFINITE;
        if (fIdle &&
            pPacer->pPlatform->WaitForMultipleObjects(1, &pDriver->hWake, FALSE, INFINITE) == WAIT_OBJECT_0) {
            pPacer->fPaced = false;
            continue;
        }
        DWORD holdMs = fIdle ? 0 : mix.fIdle ? INFINITE : mix.dwHoldMs;
        if (dwWriterMs < holdMs) holdMs = dwWriterMs;
        WaitForNextChange(pPacer, holdMs, pDriver->hWake, pDriver->fShutdown);
    }
}

} // namespace

DWORD WINAPI RumbleThreadProc(LPVOID pvDriver)
{
    auto* pDriver = static_cast<EffectDriverObject*>(pvDriver);
    // Taken now: once hThreadDone is set the driver may be freed at once.
    const HMODULE hModule = pDriver->hThreadModule;
    const DriverPlatform& platform = *pDriver->pPlatform;
    LARGE_INTEGER liFrequency;
    platform.QueryPerformanceFrequency(&liFrequency);
    CyclePacer pacer = {&platform,
                        platform.CreateWaitableTimerExW(nullptr, nullptr,
                                                        CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                        TIMER_MODIFY_STATE | SYNCHRONIZE),
                        liFrequency.QuadPart,
                        liFrequency.QuadPart * CYCLE_MS / 1000,
                        false,
                        0};
    {
        MotorWriter writer(platform, pDriver->hDevice, pDriver->cbReport);
        RunCycles(pDriver, &pacer, &writer);
        if (pacer.hTimer) CloseHandle(pacer.hTimer);
        writer.WriteLast(0);
    }
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
