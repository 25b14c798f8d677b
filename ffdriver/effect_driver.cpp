// The Effect Driver's device-wide state and commands: gain, actuators,
// stop, pause and continue, reset, and what GetForceFeedbackState reports.
#include "ffdriver/effect_driver.h"

#ifndef _WIN32
#include <time.h>
#endif

namespace {

// Records and array go together: no array while there are no records.
void DestroyAllEffects(EffectDriver* pDriver)
{
    for (LONG i = 0; i < pDriver->cEffects; i++)
        delete pDriver->rgpEffects[i];
    delete[] pDriver->rgpEffects;
    pDriver->rgpEffects = nullptr;
    pDriver->cEffects = 0;
}

#ifdef _WIN32
// The performance counter's frequency is fixed at boot: read once, when the
// library is loaded, not in every mixing pass.
const unsigned long long g_ullCounterFrequency = [] {
    LARGE_INTEGER liFrequency;
    QueryPerformanceFrequency(&liFrequency);
    return static_cast<unsigned long long>(liFrequency.QuadPart);
}();
#endif

} // namespace

DWORD SystemTickCount()
{
#ifdef _WIN32
    // A 2 ms cycle needs a clock finer than its cycle: with GetTickCount's
    // steps, effect positions would jump by 15 ms and most passes would see
    // no change. Whole seconds and the rest are converted apart, so the
    // product cannot overflow.
    LARGE_INTEGER liCount;
    QueryPerformanceCounter(&liCount);
    const unsigned long long ullCount = static_cast<unsigned long long>(liCount.QuadPart);
    return static_cast<DWORD>(ullCount / g_ullCounterFrequency * 1000 +
                              ullCount % g_ullCounterFrequency * 1000 / g_ullCounterFrequency);
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<unsigned long long>(ts.tv_sec) * 1000 +
                              static_cast<unsigned long long>(ts.tv_nsec) / 1000000);
#endif
}

EffectDriver::EffectDriver(TickSource pfnTick) : pfnTick(pfnTick ? pfnTick : SystemTickCount) {}

// Only the final Release destroys the driver, after its Rumble Thread has
// ended: nobody else can reach the records, so no lock is taken.
EffectDriver::~EffectDriver()
{
    DestroyAllEffects(this);
}

HRESULT EffectDriver::GetVersions(LPDIDRIVERVERSIONS pvers)
{
    if (!pvers) return E_POINTER;
    if (pvers->dwSize != sizeof(DIDRIVERVERSIONS)) return E_INVALIDARG;
    pvers->dwFirmwareRevision = 1;
    pvers->dwHardwareRevision = 1;
    // The product's version, as the files' version resources and the
    // package carry it: a later release reports a higher number.
    pvers->dwFFDriverVersion = FFDRIVER_VERSION;
    return S_OK;
}

HRESULT EffectDriver::Escape(DWORD, DWORD, LPDIEFFESCAPE)
{
    return E_NOTIMPL;
}

HRESULT EffectDriver::SetGain(DWORD, DWORD dwGainNew)
{
    ProcessLockGuard lock;
    if (dwGainNew == 0) {
        dwGain = 1;
        return DI_TRUNCATED;
    }
    if (dwGainNew > 10000) {
        dwGain = 10000;
        return DI_TRUNCATED;
    }
    dwGain = dwGainNew;
    return S_OK;
}

HRESULT EffectDriver::SendForceFeedbackCommand(DWORD, DWORD dwCommand)
{
    ProcessLockGuard lock;
    switch (dwCommand) {
    case DISFFC_RESET:
        // dwNextHandle stays: handles are never reused, also not after a reset.
        DestroyAllEffects(this);
        fStopped = 1;
        fPaused = 0;
        return S_OK;
    case DISFFC_STOPALL:
        for (LONG i = 0; i < cEffects; i++)
            rgpEffects[i]->fPlaying = 0;
        fStopped = 1;
        fPaused = 0;
        return S_OK;
    case DISFFC_PAUSE:
        // A second pause keeps the tick of the first: the clocks stopped then.
        if (!fPaused) {
            fPaused = 1;
            dwPauseTick = pfnTick();
        }
        return S_OK;
    case DISFFC_CONTINUE:
        // Only a pause has anything to continue: shifting clocks without one
        // would push every effect into the future and silence it.
        if (fPaused) {
            for (LONG i = 0; i < cEffects; i++) {
                EffectRecord* pRecord = rgpEffects[i];
                const DWORD now = pfnTick();
                const DWORD pausedMs = now - dwPauseTick;
                if (pRecord->dwStartTick - dwPauseTick <= pausedMs) {
                    // Started while paused: its clock has not run yet and
                    // begins now.
                    pRecord->dwStartTick = now;
                } else {
                    pRecord->dwStartTick += pausedMs;
                }
            }
            fPaused = 0;
        }
        return S_OK;
    case DISFFC_SETACTUATORSON:
        fActuatorsOn = 1;
        return S_OK;
    case DISFFC_SETACTUATORSOFF:
        fActuatorsOn = 0;
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

HRESULT EffectDriver::GetForceFeedbackState(DWORD, LPDIDEVICESTATE pds)
{
    if (!pds) return E_POINTER;
    if (pds->dwSize != sizeof(DIDEVICESTATE)) return E_INVALIDARG;

    ProcessLockGuard lock;
    DWORD dwState = 0;
    if (cEffects == 0) dwState |= DIGFFS_EMPTY;
    if (fStopped) dwState |= DIGFFS_STOPPED;
    if (fPaused) dwState |= DIGFFS_PAUSED;
    dwState |= fActuatorsOn ? DIGFFS_ACTUATORSON : DIGFFS_ACTUATORSOFF;
    // No power switch and no user switch to report: both count as on. A
    // device that cannot tell its safety switch reports neither of its
    // bits; DIGFFS_SAFETYSWITCHOFF would say that it cannot operate.
    dwState |= DIGFFS_POWERON | DIGFFS_USERFFSWITCHON;
    pds->dwState = dwState;
    pds->dwLoad = 0;
    return S_OK;
}
