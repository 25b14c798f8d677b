// Long seeded sequences of calls with valid and invalid arguments, checked
// against a model of the store and the device state after every call. A
// failure names its seed and step, and the same seed replays it exactly.
#include "ffdriver/effect_driver.h"

#include "tests/ffdriver/core/failing_allocator.h"
#include "tests/ffdriver/core/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr unsigned SEEDS[] = {1, 2, 3, 5, 8, 13, 21, 34};
constexpr int CALLS_PER_SEED = 25000;

struct ModelEffect {
    DWORD dwHandle;
    DWORD fPlaying;
};

// What the driver must hold after each call.
struct Model {
    std::vector<ModelEffect> effects;
    DWORD dwNextHandle = 1;
    DWORD dwGain = 10000;
    DWORD fActuatorsOn = 1;
    DWORD fStopped = 1;
    DWORD fPaused = 0;

    ModelEffect* Find(DWORD dwHandle)
    {
        for (ModelEffect& e : effects) {
            if (e.dwHandle == dwHandle) return &e;
        }
        return nullptr;
    }

    DWORD State() const
    {
        DWORD dwState = DIGFFS_POWERON | DIGFFS_USERFFSWITCHON;
        if (effects.empty()) dwState |= DIGFFS_EMPTY;
        if (fStopped) dwState |= DIGFFS_STOPPED;
        if (fPaused) dwState |= DIGFFS_PAUSED;
        dwState |= fActuatorsOn ? DIGFFS_ACTUATORSON : DIGFFS_ACTUATORSOFF;
        return dwState;
    }
};

testing::AssertionResult DriverMatchesModel(const EffectDriver& driver, const Model& model)
{
    const testing::AssertionResult consistent = StoreIsConsistent(driver);
    if (!consistent) return consistent;
    if (driver.cEffects != static_cast<LONG>(model.effects.size()))
        return testing::AssertionFailure()
               << "cEffects " << driver.cEffects << ", expected " << model.effects.size();
    for (LONG i = 0; i < driver.cEffects; i++) {
        const EffectRecord& r = *driver.rgpEffects[i];
        const ModelEffect& e = model.effects[i];
        if (r.dwHandle != e.dwHandle || r.fPlaying != e.fPlaying)
            return testing::AssertionFailure()
                   << "slot " << i << ": handle " << r.dwHandle << " playing " << r.fPlaying << ", expected "
                   << e.dwHandle << " " << e.fPlaying;
    }
    if (driver.dwNextHandle != model.dwNextHandle || driver.dwGain != model.dwGain ||
        driver.fActuatorsOn != model.fActuatorsOn || driver.fStopped != model.fStopped ||
        driver.fPaused != model.fPaused)
        return testing::AssertionFailure() << "device state differs";
    return testing::AssertionSuccess();
}

class CallSequence {
public:
    explicit CallSequence(unsigned seed) : rng_(seed), driver_(FakeTick) {}

    void Step()
    {
        switch (Below(12)) {
        case 0:
        case 1:
        case 2:
            Download();
            break;
        case 3:
            Destroy();
            break;
        case 4:
        case 5:
            Start();
            break;
        case 6:
            Stop();
            break;
        case 7:
            Status();
            break;
        case 8:
            Gain();
            break;
        case 9:
            Command();
            break;
        case 10:
            State();
            break;
        case 11:
            Mix();
            break;
        }
    }

    const EffectDriver& driver() const { return driver_; }
    const Model& model() const { return model_; }

private:
    DWORD Below(DWORD n) { return static_cast<DWORD>(rng_() % n); }
    bool OneIn(DWORD n) { return Below(n) == 0; }

    // Any 32-bit value, with the edges and DirectInput's usual ranges often.
    DWORD AnyValue()
    {
        switch (Below(6)) {
        case 0:
            return 0;
        case 1:
            return 0xFFFFFFFF;
        case 2:
            return 0x80000000 + Below(3) - 1;
        case 3:
            return Below(10001);
        case 4:
            return Below(5000001);
        default:
            return static_cast<DWORD>(rng_());
        }
    }

    // An existing handle, 0, or one that matches nothing.
    DWORD SomeHandle()
    {
        if (!model_.effects.empty() && !OneIn(4))
            return model_.effects[Below(model_.effects.size())].dwHandle;
        return OneIn(2) ? model_.dwNextHandle + Below(3) : Below(3);
    }

    void Download()
    {
        DIENVELOPE env = {AnyValue(), AnyValue(), AnyValue(), AnyValue(), AnyValue()};
        // Exactly the largest parameter block: a copy beyond it would be
        // reported by AddressSanitizer.
        DWORD rgdwParams[4] = {AnyValue(), AnyValue(), AnyValue(), AnyValue()};
        DIEFFECT eff = {sizeof(DIEFFECT)};
        eff.dwDuration = AnyValue();
        eff.dwGain = AnyValue();
        eff.cAxes = Below(3);
        eff.lpEnvelope = OneIn(4) ? nullptr : &env;
        eff.cbTypeSpecificParams = OneIn(3) ? AnyValue() : Below(20);
        eff.lpvTypeSpecificParams = OneIn(8) ? nullptr : rgdwParams;
        eff.dwStartDelay = OneIn(2) ? 0 : AnyValue();

        DWORD dwFlags = static_cast<DWORD>(rng_()) & (DIEP_ALLPARAMS | DIEP_START | DIEP_NORESTART);
        if (OneIn(10)) dwFlags |= DIEP_NODOWNLOAD;
        const DWORD dwType = OneIn(10) ? AnyValue() : Below(13);
        DWORD dwHandle = OneIn(2) ? 0 : SomeHandle();
        const DWORD dwHandleBefore = dwHandle;
        const bool fNullHandle = OneIn(40);
        const bool fNullEffect = OneIn(40);
        const int iFailure = OneIn(15) ? static_cast<int>(Below(2)) : -1;

        HRESULT hr;
        {
            AllocationFailure failure(iFailure);
            hr = driver_.DownloadEffect(0, dwType, fNullHandle ? nullptr : &dwHandle,
                                        fNullEffect ? nullptr : &eff, dwFlags);
        }

        HRESULT hrExpected = S_OK;
        if (fNullHandle || fNullEffect) {
            hrExpected = E_POINTER;
        } else if (dwFlags & DIEP_NODOWNLOAD) {
            hrExpected = S_OK;
        } else if (dwHandleBefore == 0) {
            if (iFailure >= 0) {
                hrExpected = E_OUTOFMEMORY;
            } else {
                model_.effects.push_back({model_.dwNextHandle++, (dwFlags & DIEP_START) ? 1u : 0u});
                EXPECT_EQ(model_.effects.back().dwHandle, dwHandle);
            }
        } else if (ModelEffect* e = model_.Find(dwHandleBefore)) {
            if (dwFlags & DIEP_START) e->fPlaying = 1;
        } else {
            hrExpected = DIERR_INVALIDPARAM;
        }
        EXPECT_EQ(hrExpected, hr);
        if (hr != S_OK || dwHandleBefore != 0 || (dwFlags & DIEP_NODOWNLOAD)) {
            EXPECT_EQ(dwHandleBefore, dwHandle);
        }
    }

    void Destroy()
    {
        const DWORD dwHandle = SomeHandle();
        HRESULT hr;
        {
            AllocationFailure failure(OneIn(10) ? 0 : -1);
            hr = driver_.DestroyEffect(0, dwHandle);
        }
        EXPECT_EQ(S_OK, hr);
        for (auto it = model_.effects.begin(); it != model_.effects.end(); ++it) {
            if (it->dwHandle == dwHandle) {
                model_.effects.erase(it);
                break;
            }
        }
    }

    void Start()
    {
        const DWORD dwHandle = SomeHandle();
        const DWORD dwMode = OneIn(3) ? AnyValue() : Below(2);
        EXPECT_EQ(S_OK, driver_.StartEffect(0, dwHandle, dwMode, OneIn(4) ? INFINITE : Below(4)));
        for (ModelEffect& e : model_.effects) {
            if (e.dwHandle == dwHandle) {
                e.fPlaying = 1;
                model_.fStopped = 0;
            } else if (dwMode & DIES_SOLO) {
                e.fPlaying = 0;
            }
        }
    }

    void Stop()
    {
        const DWORD dwHandle = SomeHandle();
        EXPECT_EQ(S_OK, driver_.StopEffect(0, dwHandle));
        if (ModelEffect* e = model_.Find(dwHandle)) e->fPlaying = 0;
    }

    void Status()
    {
        const DWORD dwHandle = SomeHandle();
        if (OneIn(20)) {
            EXPECT_EQ(E_POINTER, driver_.GetEffectStatus(0, dwHandle, nullptr));
            return;
        }
        DWORD dwStatus = 0xCCCCCCCC;
        EXPECT_EQ(S_OK, driver_.GetEffectStatus(0, dwHandle, &dwStatus));
        // A stopped effect, and a handle that names none, read 0; one started
        // reads playing until its play is over, which the mixing tests pin.
        const ModelEffect* e = model_.Find(dwHandle);
        if (e && e->fPlaying)
            EXPECT_TRUE(dwStatus == 0 || dwStatus == DWORD{DIEGES_PLAYING}) << dwStatus;
        else
            EXPECT_EQ(0u, dwStatus);
    }

    void Gain()
    {
        const DWORD dwGain = AnyValue();
        const HRESULT hr = driver_.SetGain(0, dwGain);
        if (dwGain == 0 || dwGain > 10000) {
            EXPECT_EQ(DI_TRUNCATED, hr);
            model_.dwGain = dwGain == 0 ? 1 : 10000;
        } else {
            EXPECT_EQ(S_OK, hr);
            model_.dwGain = dwGain;
        }
    }

    void Command()
    {
        const DWORD dwCommand = OneIn(5) ? AnyValue() : 1u << Below(6);
        const HRESULT hr = driver_.SendForceFeedbackCommand(0, dwCommand);
        switch (dwCommand) {
        case DISFFC_RESET:
            model_.effects.clear();
            model_.fStopped = 1;
            model_.fPaused = 0;
            break;
        case DISFFC_STOPALL:
            for (ModelEffect& e : model_.effects)
                e.fPlaying = 0;
            model_.fStopped = 1;
            model_.fPaused = 0;
            break;
        case DISFFC_PAUSE:
            model_.fPaused = 1;
            break;
        case DISFFC_CONTINUE:
            model_.fPaused = 0;
            break;
        case DISFFC_SETACTUATORSON:
            model_.fActuatorsOn = 1;
            break;
        case DISFFC_SETACTUATORSOFF:
            model_.fActuatorsOn = 0;
            break;
        default:
            EXPECT_EQ(E_NOTIMPL, hr);
            return;
        }
        EXPECT_EQ(S_OK, hr);
    }

    void State()
    {
        DIDEVICESTATE ds = {OneIn(10) ? AnyValue() : DWORD{sizeof(ds)}, 0xEEEEEEEE, 0xEEEEEEEE};
        const HRESULT hr = driver_.GetForceFeedbackState(0, &ds);
        if (ds.dwSize != sizeof(ds)) {
            EXPECT_EQ(E_INVALIDARG, hr);
            EXPECT_EQ(0xEEEEEEEEu, ds.dwState);
            return;
        }
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(model_.State(), ds.dwState);
        EXPECT_EQ(0u, ds.dwLoad);
    }

    void Mix()
    {
        // Time moves on a little, a lot, or across the wrap of the tick count.
        switch (Below(4)) {
        case 0:
            g_tick += Below(5);
            break;
        case 1:
            g_tick += Below(100000);
            break;
        case 2:
            g_tick = 0xFFFFFFFF - Below(1000);
            break;
        default:
            g_tick += static_cast<DWORD>(rng_());
            break;
        }
        const MixResult mix = driver_.MixingPass();
        EXPECT_EQ(model_.dwGain, mix.dwGain);
        EXPECT_LE(mix.ullSum, 65535ull * model_.effects.size());
        if (model_.fPaused || !model_.fActuatorsOn) {
            EXPECT_EQ(0u, mix.ullSum);
            EXPECT_TRUE(mix.fIdle);
        }
        // Idle means silent now and on later passes until a call: the Rumble
        // Thread stops cycling on it.
        if (mix.fIdle) {
            EXPECT_EQ(0u, mix.ullSum);
            const DWORD dwStep = 1 + Below(100);
            // Unless the step brings an effect's clock round past 2^32 ms
            // (49.7 days on, or here after time jumped back), which reopens
            // its window.
            bool fClockWraps = false;
            for (LONG i = 0; i < driver_.cEffects; i++)
                fClockWraps |= g_tick - driver_.rgpEffects[i]->dwStartTick > 0xFFFFFFFF - dwStep;
            g_tick += dwStep;
            const MixResult later = driver_.MixingPass();
            if (!fClockWraps) {
                EXPECT_TRUE(later.fIdle);
                EXPECT_EQ(0u, later.ullSum);
            }
        }
    }

    std::mt19937 rng_;
    EffectDriver driver_;
    Model model_;
};

} // namespace

TEST(RandomCalls, EveryCallKeepsTheStoreAndTheDeviceStateAsTheModelSays)
{
    long long cCalls = 0;
    for (unsigned seed : SEEDS) {
        g_tick = seed * 1000;
        CallSequence sequence(seed);
        for (int step = 0; step < CALLS_PER_SEED; step++) {
            sequence.Step();
            cCalls++;
            ASSERT_TRUE(DriverMatchesModel(sequence.driver(), sequence.model()))
                << "seed " << seed << ", step " << step;
            if (HasFailure()) FAIL() << "seed " << seed << ", step " << step;
        }
    }
    RecordProperty("calls", static_cast<int>(cCalls));
    EXPECT_EQ(static_cast<long long>(std::size(SEEDS)) * CALLS_PER_SEED, cCalls);
}
