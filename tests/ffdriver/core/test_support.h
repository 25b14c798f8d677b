// What the force feedback core tests share: a clock they drive by hand, ways
// to fill a DIEFFECT, and the store's invariants.
#pragma once

#include "ffdriver/effect_driver.h"

#include <gtest/gtest.h>

#include <atomic>

// The tick source of every Effect Driver under test.
extern std::atomic<DWORD> g_tick;
DWORD FakeTick();

// A DIEFFECT with its parameter blocks, as an application fills one.
struct EffectParams {
    DIEFFECT eff = {sizeof(DIEFFECT)};
    DIENVELOPE env = {sizeof(DIENVELOPE)};
    DICONSTANTFORCE cf = {};
    DIRAMPFORCE ramp = {};
    DIPERIODIC periodic = {};

    EffectParams() { eff.dwGain = 10000; }
    EffectParams(const EffectParams&) = delete;
    EffectParams& operator=(const EffectParams&) = delete;

    // Point eff at one of the parameter blocks above.
    void UseConstant(LONG lMagnitude);
    void UseRamp(LONG lStart, LONG lEnd);
    void UsePeriodic(DWORD dwMagnitude, LONG lOffset, DWORD dwPhase, DWORD dwPeriod);
    void UseEnvelope(DWORD dwAttackLevel, DWORD dwAttackTime, DWORD dwFadeLevel, DWORD dwFadeTime);
};

// Downloads a new effect with every parameter and DIEP_START at the current
// fake tick; returns its handle (0 on failure).
DWORD DownloadPlaying(EffectDriver& driver, DWORD dwType, EffectParams& params);

// cEffects equals the filled slots, handles are nonzero, unique, rising and
// below dwNextHandle, flags hold 0 or 1, the gain lies within 1..10000, and
// no record points outside itself.
testing::AssertionResult StoreIsConsistent(const EffectDriver& driver);

DWORD DeviceState(EffectDriver& driver);
DWORD EffectStatus(EffectDriver& driver, DWORD dwHandle);
