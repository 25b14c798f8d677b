// EvaluateForce per waveform and one mixing pass over 64 playing effects.
#include "ffdriver/effect_driver.h"
#include "ffdriver/force.h"
#include "tests/ffdriver/core/bench/bench_effects.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

void BM_EvaluateForce(benchmark::State& state)
{
    auto r = std::make_unique<EffectRecord>();
    r->dwType = static_cast<DWORD>(state.range(0));
    r->eff.dwGain = 9000;
    r->eff.dwDuration = 1000000;
    r->cf.lMagnitude = 6000;
    r->ramp = {-8000, 9000};
    r->periodic = {7000, 500, 4500, 250000};
    DWORD positionMs = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(EvaluateForce(*r, 1000, positionMs, 80, 2000 * 10, 1000 * 10));
        positionMs = (positionMs + 7) % 1000;
    }
}
BENCHMARK(BM_EvaluateForce)
    ->ArgName("type")
    ->Arg(EFFECT_CONSTANTFORCE)
    ->Arg(EFFECT_RAMPFORCE)
    ->Arg(EFFECT_SQUARE)
    ->Arg(EFFECT_SINE)
    ->Arg(EFFECT_TRIANGLE)
    ->Arg(EFFECT_SAWTOOTHUP)
    ->Arg(EFFECT_SAWTOOTHDOWN);

// Natively the process-wide lock needs no creation.
void BM_MixingPass64(benchmark::State& state)
{
    EffectDriver driver(BenchTick);
    LoadBenchEffects(driver);
    for (auto _ : state) {
        AdvanceBenchTick();
        const MixResult mix = driver.MixingPass();
        benchmark::DoNotOptimize(StrengthFromSum(mix.dwGain, mix.ullSum));
    }
}
BENCHMARK(BM_MixingPass64);

// The same with the system's millisecond clock as the tick source.
void BM_MixingPass64SystemTick(benchmark::State& state)
{
    EffectDriver driver(SystemTickCount);
    LoadBenchEffects(driver);
    for (auto _ : state) {
        const MixResult mix = driver.MixingPass();
        benchmark::DoNotOptimize(mix.ullSum);
    }
}
BENCHMARK(BM_MixingPass64SystemTick);

} // namespace

BENCHMARK_MAIN();
