#include "effect_downloads.h"

DWORD DownloadConstant(IDirectInputEffectDriver* pDriver, LONG lMagnitude, DWORD dwExtraFlags,
                       DWORD dwDurationUs, DWORD dwStartDelayUs, const DIENVELOPE* pEnvelope)
{
    DICONSTANTFORCE cf = {lMagnitude};
    DIENVELOPE env = pEnvelope ? *pEnvelope : DIENVELOPE{};
    DIEFFECT eff = {sizeof(eff)};
    eff.dwDuration = dwDurationUs;
    eff.dwGain = DI_FFNOMINALMAX;
    eff.dwTriggerButton = DIEB_NOTRIGGER;
    eff.dwStartDelay = dwStartDelayUs;
    eff.lpEnvelope = pEnvelope ? &env : nullptr;
    eff.cbTypeSpecificParams = sizeof(cf);
    eff.lpvTypeSpecificParams = &cf;
    DWORD dwHandle = 0;
    pDriver->DownloadEffect(0, 0, &dwHandle, &eff, DIEP_ALLPARAMS | dwExtraFlags);
    return dwHandle;
}

DWORD DownloadPeriodic(IDirectInputEffectDriver* pDriver, DWORD dwType, DWORD dwPeriodUs, DWORD dwExtraFlags)
{
    DIPERIODIC periodic = {DI_FFNOMINALMAX, 0, 0, dwPeriodUs};
    DIEFFECT eff = {sizeof(eff)};
    eff.dwDuration = INFINITE;
    eff.dwGain = DI_FFNOMINALMAX;
    eff.cbTypeSpecificParams = sizeof(periodic);
    eff.lpvTypeSpecificParams = &periodic;
    DWORD dwHandle = 0;
    pDriver->DownloadEffect(0, dwType, &dwHandle, &eff, DIEP_ALLPARAMS | dwExtraFlags);
    return dwHandle;
}
