// Effect downloads as DirectInput makes them for a new effect: every
// parameter given (DIEP_ALLPARAMS). Used by the host's benchmark and the
// driver's tests.
#pragma once

#include <windows.h>
#include <dinput.h>
#include <dinputd.h>

// A constant force (type 0). Returns the new handle.
DWORD DownloadConstant(IDirectInputEffectDriver* pDriver, LONG lMagnitude, DWORD dwExtraFlags = 0,
                       DWORD dwDurationUs = INFINITE, DWORD dwStartDelayUs = 0,
                       const DIENVELOPE* pEnvelope = nullptr);
// A periodic force (types 2 to 6), magnitude 10000. Returns the new handle.
DWORD DownloadPeriodic(IDirectInputEffectDriver* pDriver, DWORD dwType, DWORD dwPeriodUs,
                       DWORD dwExtraFlags = 0);
