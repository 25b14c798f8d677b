// The effect store: the five effect operations over the Effect Driver's
// rgpEffects array, which holds exactly cEffects owned records in the order of
// their download. Every operation runs under the process-wide lock.
#include "ffdriver/effect_driver.h"
#include "ffdriver/mixing.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

namespace {

// The first record with the handle, or null. Handles are never 0.
EffectRecord* FindEffect(const EffectDriver& driver, DWORD dwHandle)
{
    for (LONG i = 0; i < driver.cEffects; i++) {
        if (driver.rgpEffects[i]->dwHandle == dwHandle) return driver.rgpEffects[i];
    }
    return nullptr;
}

// A zero record with the next handle, in a new last slot. On failure the
// store is as it was and no handle has been used.
HRESULT AppendNewEffect(EffectDriver* pDriver, EffectRecord** ppRecord)
{
    // Every handle has been handed out once; 0 would mean "new effect".
    if (pDriver->dwNextHandle == 0) return static_cast<HRESULT>(DIERR_DEVICEFULL);
    if (pDriver->cEffects == std::numeric_limits<LONG>::max()) return E_OUTOFMEMORY;

    EffectRecord* pRecord = new (std::nothrow) EffectRecord{};
    if (!pRecord) return E_OUTOFMEMORY;
    const std::size_t cSlots = static_cast<std::size_t>(pDriver->cEffects) + 1;
    EffectRecord** rgpNew = new (std::nothrow) EffectRecord*[cSlots]();
    if (!rgpNew) {
        delete pRecord;
        return E_OUTOFMEMORY;
    }

    for (LONG i = 0; i < pDriver->cEffects; i++)
        rgpNew[i] = pDriver->rgpEffects[i];
    rgpNew[cSlots - 1] = pRecord;
    delete[] pDriver->rgpEffects;
    pDriver->rgpEffects = rgpNew;
    pDriver->cEffects++;
    pRecord->dwHandle = pDriver->dwNextHandle++;
    *ppRecord = pRecord;
    return S_OK;
}

// Removes slot iSlot, keeping the order of the others; the array shrinks to
// cEffects slots, none at 0.
void RemoveEffect(EffectDriver* pDriver, LONG iSlot)
{
    EffectRecord* pRecord = pDriver->rgpEffects[iSlot];
    const LONG cRemaining = pDriver->cEffects - 1;
    EffectRecord** rgpNew = nullptr;
    if (cRemaining > 0) rgpNew = new (std::nothrow) EffectRecord*[cRemaining]();
    if (cRemaining > 0 && !rgpNew) {
        // No memory for the smaller array: close the gap in the present one.
        // Its spare last slot lies beyond cEffects and is never read.
        for (LONG i = iSlot; i < cRemaining; i++)
            pDriver->rgpEffects[i] = pDriver->rgpEffects[i + 1];
        pDriver->rgpEffects[cRemaining] = nullptr;
    } else {
        LONG j = 0;
        for (LONG i = 0; i < pDriver->cEffects; i++) {
            if (i != iSlot) rgpNew[j++] = pDriver->rgpEffects[i];
        }
        delete[] pDriver->rgpEffects;
        pDriver->rgpEffects = rgpNew;
    }
    pDriver->cEffects = cRemaining;
    delete pRecord;
}

// Copies the caller's type-specific parameters into the record's storage for
// the type index, never more than that storage holds.
void CopyTypeSpecificParams(EffectRecord* pRecord, DWORD dwEffectId, LPCDIEFFECT peff)
{
    void* pStorage;
    std::size_t cbStorage;
    if (dwEffectId == EFFECT_CONSTANTFORCE) {
        pStorage = &pRecord->cf;
        cbStorage = sizeof(pRecord->cf);
    } else if (dwEffectId == EFFECT_RAMPFORCE) {
        pStorage = &pRecord->ramp;
        cbStorage = sizeof(pRecord->ramp);
    } else if (dwEffectId <= EFFECT_SAWTOOTHDOWN) {
        pStorage = &pRecord->periodic;
        cbStorage = sizeof(pRecord->periodic);
    } else if (dwEffectId <= EFFECT_LASTKEPT) {
        // Kept without parameters.
        pRecord->eff.lpvTypeSpecificParams = nullptr;
        return;
    } else {
        return;
    }

    // A short block fills what it covers and leaves the rest as it was.
    const std::size_t cbCopy =
        peff->cbTypeSpecificParams < cbStorage ? peff->cbTypeSpecificParams : cbStorage;
    if (peff->lpvTypeSpecificParams) std::memcpy(pStorage, peff->lpvTypeSpecificParams, cbCopy);
    pRecord->eff.lpvTypeSpecificParams = pStorage;
}

} // namespace

HRESULT EffectDriver::DownloadEffect(DWORD, DWORD dwEffectId, LPDWORD pdwEffect, LPCDIEFFECT peff,
                                     DWORD dwFlags)
{
    if (!pdwEffect || !peff) return E_POINTER;
    // DirectInput only checks the parameters: nothing is kept.
    if (dwFlags & DIEP_NODOWNLOAD) return S_OK;

    ProcessLockGuard lock;
    EffectRecord* pRecord;
    if (*pdwEffect == 0) {
        const HRESULT hr = AppendNewEffect(this, &pRecord);
        if (FAILED(hr)) return hr;
        *pdwEffect = pRecord->dwHandle;
    } else {
        pRecord = FindEffect(*this, *pdwEffect);
        if (!pRecord) return DIERR_INVALIDPARAM;
    }

    pRecord->dwType = dwEffectId;
    // The DIEFFECT's own flags (coordinates, object ids or offsets), not
    // the DIEP_* word that says which members this call brings.
    pRecord->eff.dwFlags = peff->dwFlags;
    if (dwFlags & DIEP_DURATION) pRecord->eff.dwDuration = peff->dwDuration;
    if (dwFlags & DIEP_SAMPLEPERIOD) pRecord->eff.dwSamplePeriod = peff->dwSamplePeriod;
    if (dwFlags & DIEP_GAIN) pRecord->eff.dwGain = peff->dwGain;
    if (dwFlags & DIEP_TRIGGERBUTTON) pRecord->eff.dwTriggerButton = peff->dwTriggerButton;
    if (dwFlags & DIEP_TRIGGERREPEATINTERVAL)
        pRecord->eff.dwTriggerRepeatInterval = peff->dwTriggerRepeatInterval;
    // Axes and directions are not kept: the motors have no direction.
    if (dwFlags & DIEP_AXES) {
        pRecord->eff.cAxes = peff->cAxes;
        pRecord->eff.rgdwAxes = nullptr;
    }
    if (dwFlags & DIEP_DIRECTION) {
        pRecord->eff.cAxes = peff->cAxes;
        pRecord->eff.rglDirection = nullptr;
    }
    // Without an envelope the effect has none from now on.
    if ((dwFlags & DIEP_ENVELOPE) && !peff->lpEnvelope) pRecord->eff.lpEnvelope = nullptr;
    if ((dwFlags & DIEP_ENVELOPE) && peff->lpEnvelope) {
        pRecord->env = *peff->lpEnvelope;
        // Against this call's duration, wrapping: a fade that would start
        // inside the attack takes the attack's length.
        if (pRecord->eff.dwDuration - pRecord->env.dwFadeTime < pRecord->env.dwAttackTime)
            pRecord->env.dwFadeTime = pRecord->env.dwAttackTime;
        pRecord->eff.lpEnvelope = &pRecord->env;
    }
    pRecord->eff.cbTypeSpecificParams = peff->cbTypeSpecificParams;
    if (dwFlags & DIEP_TYPESPECIFICPARAMS) CopyTypeSpecificParams(pRecord, dwEffectId, peff);
    if (dwFlags & DIEP_STARTDELAY) pRecord->eff.dwStartDelay = peff->dwStartDelay;
    // Starts this effect only; the device's stopped state stays as it was.
    if (dwFlags & DIEP_START) {
        pRecord->fPlaying = 1;
        pRecord->dwIterations = 1;
        pRecord->dwStartTick = pfnTick();
    }
    return S_OK;
}

HRESULT EffectDriver::DestroyEffect(DWORD, DWORD dwEffect)
{
    ProcessLockGuard lock;
    for (LONG i = 0; i < cEffects; i++) {
        if (rgpEffects[i]->dwHandle == dwEffect) {
            RemoveEffect(this, i);
            break;
        }
    }
    return S_OK;
}

HRESULT EffectDriver::StartEffect(DWORD, DWORD dwEffect, DWORD dwMode, DWORD dwCount)
{
    ProcessLockGuard lock;
    for (LONG i = 0; i < cEffects; i++) {
        EffectRecord* pRecord = rgpEffects[i];
        if (pRecord->dwHandle == dwEffect) {
            // A playing effect starts again from its beginning.
            pRecord->fPlaying = 1;
            pRecord->dwIterations = dwCount;
            pRecord->dwStartTick = pfnTick();
            fStopped = 0;
        } else if (dwMode & DIES_SOLO) {
            pRecord->fPlaying = 0;
        }
    }
    return S_OK;
}

HRESULT EffectDriver::StopEffect(DWORD, DWORD dwEffect)
{
    ProcessLockGuard lock;
    EffectRecord* pRecord = FindEffect(*this, dwEffect);
    if (pRecord) pRecord->fPlaying = 0;
    return S_OK;
}

HRESULT EffectDriver::GetEffectStatus(DWORD, DWORD dwEffect, LPDWORD pdwStatus)
{
    if (!pdwStatus) return E_POINTER;
    ProcessLockGuard lock;
    // Playing while the mixing pass would still play it: a play whose count
    // is used up is over, so a game that polls for the end of its effect
    // sees it. A play waiting out its start delay is under way.
    const EffectRecord* pRecord = FindEffect(*this, dwEffect);
    if (!pRecord) {
        *pdwStatus = 0;
        return S_OK;
    }
    // While paused the clocks stand at the pause, and one started since has
    // not run yet.
    DWORD now = pfnTick();
    if (fPaused)
        now = pRecord->dwStartTick - dwPauseTick <= now - dwPauseTick ? pRecord->dwStartTick : dwPauseTick;
    DWORD durationMs = 0;
    DWORD positionMs = 0;
    *pdwStatus = GetEffectPlay(*pRecord, now, &durationMs, &positionMs) != PLAY_OVER ? DIEGES_PLAYING : 0;
    return S_OK;
}
