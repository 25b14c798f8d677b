// The Effect Driver's device state and operations, free of COM and of the
// device: the COM object (effect_driver_object.cpp) forwards
// IDirectInputEffectDriver to it, and the Rumble Thread runs its mixing pass.
// Builds natively too.
#pragma once

#include "ffdriver/platform_types.h"
#include "ffdriver/effect_record.h"

#include <cstdint>

// Milliseconds, 32 bits, wrapping: every start, pause, continue and mixing
// pass reads the clock through the driver's one TickSource, the system's
// unless a test drives time.
using TickSource = DWORD (*)();
// The performance counter in milliseconds, cut to 32 bits: it moves every
// millisecond, where GetTickCount moves in steps of 10 to 16 ms.
DWORD SystemTickCount();

// What one mixing pass hands to the Rumble Thread: the sum of contributions,
// the device gain copied under the lock, and whether the mix is idle: no
// effect can sound now or later until a call changes the state (nothing
// plays, or every play is over, or the actuators are off, or the device is
// paused), so the thread may wait for such a call instead of cycling; and
// for how many milliseconds from the pass the sum stays as it is without a
// call (0: it may change within the next millisecond; INFINITE: only a call
// changes it), so the thread may skip the cycles in between.
struct MixResult {
    std::uint64_t ullSum;
    DWORD dwGain;
    bool fIdle;
    DWORD dwHoldMs;
};

class EffectDriver {
public:
    explicit EffectDriver(TickSource pfnTick = SystemTickCount);
    ~EffectDriver();
    EffectDriver(const EffectDriver&) = delete;
    EffectDriver& operator=(const EffectDriver&) = delete;

    // IDirectInputEffectDriver's operations, same arguments and results.
    HRESULT GetVersions(LPDIDRIVERVERSIONS pvers);
    HRESULT Escape(DWORD dwID, DWORD dwEffect, LPDIEFFESCAPE pesc);
    HRESULT SetGain(DWORD dwID, DWORD dwGain);
    HRESULT SendForceFeedbackCommand(DWORD dwID, DWORD dwCommand);
    HRESULT GetForceFeedbackState(DWORD dwID, LPDIDEVICESTATE pds);
    HRESULT DownloadEffect(DWORD dwID, DWORD dwEffectId, LPDWORD pdwEffect, LPCDIEFFECT peff, DWORD dwFlags);
    HRESULT DestroyEffect(DWORD dwID, DWORD dwEffect);
    HRESULT StartEffect(DWORD dwID, DWORD dwEffect, DWORD dwMode, DWORD dwCount);
    HRESULT StopEffect(DWORD dwID, DWORD dwEffect);
    HRESULT GetEffectStatus(DWORD dwID, DWORD dwEffect, LPDWORD pdwStatus);

    // One mixing pass of the Rumble Thread, under the process-wide lock.
    MixResult MixingPass();

    // Fields, read by tests and the COM object (under the lock).
    LONG cEffects = 0;
    EffectRecord** rgpEffects = nullptr;
    DWORD dwGain = 10000;
    DWORD fActuatorsOn = 1;
    DWORD dwNextHandle = 1;
    DWORD fStopped = 1;
    DWORD fPaused = 0;
    DWORD dwPauseTick = 0;
    TickSource pfnTick;
};

// Motor strength 0..255 from a sum of contributions and the device gain.
BYTE StrengthFromSum(DWORD dwGain, std::uint64_t ullSum);

// The process-wide lock shared by every Effect Driver and Rumble Thread.
void CreateProcessLock();
void DeleteProcessLock();
void EnterProcessLock();
void LeaveProcessLock();
class ProcessLockGuard {
public:
    ProcessLockGuard() { EnterProcessLock(); }
    ~ProcessLockGuard() { LeaveProcessLock(); }
    ProcessLockGuard(const ProcessLockGuard&) = delete;
    ProcessLockGuard& operator=(const ProcessLockGuard&) = delete;
};
