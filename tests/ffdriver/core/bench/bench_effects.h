// The effects the benchmarks mix: 64 playing effects of every kind, with and
// without envelopes, all inside their windows.
#pragma once

#include "ffdriver/effect_driver.h"

constexpr int BENCH_EFFECTS = 64;

DWORD BenchTick();
void AdvanceBenchTick();

// Downloads BENCH_EFFECTS playing effects into the driver.
void LoadBenchEffects(EffectDriver& driver);
