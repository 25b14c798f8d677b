// Runs a fixed number of mixing passes over 64 playing effects, for counting
// instructions: valgrind --tool=callgrind --toggle-collect='EffectDriver::MixingPass()'
// ffcore_mix_passes [passes], then divide the collected count by the passes.
#include "ffdriver/effect_driver.h"
#include "tests/ffdriver/core/bench/bench_effects.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const long cPasses = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    CreateProcessLock();
    std::uint64_t ullTotal = 0;
    {
        EffectDriver driver(BenchTick);
        LoadBenchEffects(driver);
        for (long i = 0; i < cPasses; i++) {
            AdvanceBenchTick();
            ullTotal += driver.MixingPass().ullSum;
        }
    }
    DeleteProcessLock();
    std::printf(
        "%ld passes, mean sum %llu\n", cPasses,
        static_cast<unsigned long long>(cPasses ? ullTotal / static_cast<std::uint64_t>(cPasses) : 0));
    return 0;
}
