// Effect operations and device commands from several application threads
// while mixing loops run, on two Effect Drivers sharing the process-wide
// lock. The ThreadSanitizer build reports any access the lock does not cover.
#include "ffdriver/effect_driver.h"

#include "tests/ffdriver/core/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int CALLS_PER_THREAD = 3000;

// One application thread: random calls with valid and unknown handles. The
// handles of the effects it creates go into rgdwCreated.
void ApplicationThread(EffectDriver* rgpDrivers[2], unsigned seed, std::vector<DWORD> rgdwCreated[2])
{
    std::mt19937 rng(seed);
    EffectParams params;
    params.eff.dwDuration = 1000000;
    params.UseEnvelope(3000, 100000, 0, 200000);
    params.UsePeriodic(10000, 500, 0, 50000);
    for (int i = 0; i < CALLS_PER_THREAD; i++) {
        const int iDriver = rng() % 2;
        EffectDriver& driver = *rgpDrivers[iDriver];
        const DWORD dwHandle = 1 + rng() % 40;
        DWORD dwStatus;
        switch (rng() % 9) {
        case 0:
        case 1: {
            DWORD dwNew = 0;
            const DWORD dwType = rng() % 8;
            if (driver.DownloadEffect(0, dwType, &dwNew, &params.eff, DIEP_ALLPARAMS | DIEP_START) == S_OK)
                rgdwCreated[iDriver].push_back(dwNew);
            break;
        }
        case 2: {
            DWORD dwExisting = dwHandle;
            driver.DownloadEffect(0, EFFECT_SINE, &dwExisting, &params.eff, DIEP_GAIN | DIEP_START);
            break;
        }
        case 3:
            driver.DestroyEffect(0, dwHandle);
            break;
        case 4:
            driver.StartEffect(0, dwHandle, rng() % 2 ? DIES_SOLO : 0, 1 + rng() % 3);
            break;
        case 5:
            driver.StopEffect(0, dwHandle);
            break;
        case 6:
            driver.GetEffectStatus(0, dwHandle, &dwStatus);
            break;
        case 7:
            driver.SetGain(0, rng() % 12000);
            break;
        case 8: {
            static const DWORD rgdwCommands[] = {DISFFC_STOPALL, DISFFC_PAUSE, DISFFC_CONTINUE,
                                                 DISFFC_SETACTUATORSON, DISFFC_SETACTUATORSOFF};
            // Resets are rare, so that effects pile up between them.
            const bool fReset = rng() % 20 == 0;
            const DWORD dwCommand = fReset ? DISFFC_RESET : rgdwCommands[rng() % 5];
            driver.SendForceFeedbackCommand(0, dwCommand);
            DIDEVICESTATE ds = {sizeof(ds)};
            driver.GetForceFeedbackState(0, &ds);
            break;
        }
        }
    }
}

} // namespace

TEST(Concurrency, ApplicationThreadsAndMixingLoopsShareTheLock)
{
    EffectDriver first(FakeTick);
    EffectDriver second(FakeTick);
    EffectDriver* rgpDrivers[2] = {&first, &second};
    std::atomic<bool> fDone{false};
    std::atomic<unsigned> rgcPasses[2] = {0, 0};
    std::atomic<unsigned> cGainsOutOfRange{0};

    // One mixing loop per driver, as each has its Rumble Thread.
    std::vector<std::thread> mixers;
    for (int iDriver = 0; iDriver < 2; iDriver++) {
        EffectDriver* pDriver = rgpDrivers[iDriver];
        std::atomic<unsigned>* pcPasses = &rgcPasses[iDriver];
        mixers.emplace_back([pDriver, pcPasses, &fDone, &cGainsOutOfRange] {
            while (!fDone.load()) {
                g_tick.fetch_add(1);
                const MixResult mix = pDriver->MixingPass();
                // The gain copy is never caught halfway through a clamp.
                if (mix.dwGain < 1 || mix.dwGain > 10000) cGainsOutOfRange.fetch_add(1);
                pcPasses->fetch_add(1);
            }
        });
    }

    // The application threads start once both loops run and end only after
    // each loop has passed again, so that every run overlaps the two, however
    // the threads are scheduled.
    const auto waitForPasses = [&](unsigned cAtLeast0, unsigned cAtLeast1) {
        while (rgcPasses[0].load() < cAtLeast0 || rgcPasses[1].load() < cAtLeast1)
            std::this_thread::yield();
    };
    waitForPasses(1, 1);
    constexpr int THREADS = 3;
    std::vector<DWORD> rgdwCreated[THREADS][2];
    std::vector<std::thread> applications;
    for (int i = 0; i < THREADS; i++)
        applications.emplace_back(ApplicationThread, rgpDrivers, 1000u + i, rgdwCreated[i]);
    for (std::thread& t : applications)
        t.join();
    waitForPasses(rgcPasses[0].load() + 1, rgcPasses[1].load() + 1);
    fDone = true;
    for (std::thread& t : mixers)
        t.join();

    // Handles handed out concurrently are still unique and without gaps.
    for (int iDriver = 0; iDriver < 2; iDriver++) {
        SCOPED_TRACE(iDriver);
        std::vector<DWORD> rgdwAll;
        for (int i = 0; i < THREADS; i++)
            rgdwAll.insert(rgdwAll.end(), rgdwCreated[i][iDriver].begin(), rgdwCreated[i][iDriver].end());
        std::sort(rgdwAll.begin(), rgdwAll.end());
        ASSERT_FALSE(rgdwAll.empty());
        EXPECT_EQ(rgdwAll.end(), std::adjacent_find(rgdwAll.begin(), rgdwAll.end()));
        EXPECT_EQ(rgdwAll.size(), rgpDrivers[iDriver]->dwNextHandle - 1u);
        EXPECT_EQ(1u, rgdwAll.front());
        EXPECT_TRUE(StoreIsConsistent(*rgpDrivers[iDriver]));
    }
    EXPECT_GT(rgcPasses[0].load(), 1u);
    EXPECT_GT(rgcPasses[1].load(), 1u);
    EXPECT_EQ(0u, cGainsOutOfRange.load());
}
