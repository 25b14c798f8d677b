#include "tests/ffdriver/core/bench/bench_effects.h"

namespace {
DWORD g_dwBenchTick = 1000;
}

// As cheap as GetTickCount, which reads a counter the system keeps in memory.
DWORD BenchTick()
{
    return g_dwBenchTick;
}

void AdvanceBenchTick()
{
    g_dwBenchTick += 2;
}

void LoadBenchEffects(EffectDriver& driver)
{
    for (int i = 0; i < BENCH_EFFECTS; i++) {
        DIENVELOPE env = {sizeof(env), 2000, 300000, 1000, 400000};
        DICONSTANTFORCE cf = {6000};
        DIRAMPFORCE ramp = {-8000, 9000};
        DIPERIODIC periodic = {7000, 500, static_cast<DWORD>(i) * 1000, 250000};
        DIEFFECT eff = {sizeof(eff)};
        eff.dwDuration = 1000000 + static_cast<DWORD>(i) * 10000;
        eff.dwGain = 9000;
        eff.lpEnvelope = i % 2 ? &env : nullptr;
        const DWORD dwType = static_cast<DWORD>(i) % 7;
        if (dwType == EFFECT_CONSTANTFORCE) {
            eff.cbTypeSpecificParams = sizeof(cf);
            eff.lpvTypeSpecificParams = &cf;
        } else if (dwType == EFFECT_RAMPFORCE) {
            eff.cbTypeSpecificParams = sizeof(ramp);
            eff.lpvTypeSpecificParams = &ramp;
        } else {
            eff.cbTypeSpecificParams = sizeof(periodic);
            eff.lpvTypeSpecificParams = &periodic;
        }
        DWORD dwHandle = 0;
        driver.DownloadEffect(0, dwType, &dwHandle, &eff, DIEP_ALLPARAMS);
        driver.StartEffect(0, dwHandle, 0, INFINITE);
    }
}
