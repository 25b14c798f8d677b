// One mixing cycle: the active window and position of each effect, the
// envelope, the contributions, their sum and the motor strength.
#include "ffdriver/effect_driver.h"
#include "ffdriver/force.h"
#include "ffdriver/mixing.h"

#include "tests/ffdriver/core/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

namespace {

constexpr DWORD T = 100000; // the start tick of the effects below

std::unique_ptr<EffectRecord> PlayingRecord(DWORD dwDurationUs, DWORD dwIterations)
{
    auto r = std::make_unique<EffectRecord>();
    r->dwType = EFFECT_CONSTANTFORCE;
    r->cf.lMagnitude = 10000;
    r->eff.dwGain = 10000;
    r->eff.dwDuration = dwDurationUs;
    r->fPlaying = 1;
    r->dwIterations = dwIterations;
    r->dwStartTick = T;
    return r;
}

// The position at tick now, or -1 outside the window.
long long PositionAt(const EffectRecord& r, DWORD now)
{
    DWORD durationMs = 0;
    DWORD positionMs = 0;
    if (!GetEffectPosition(r, now, &durationMs, &positionMs)) return -1;
    EXPECT_EQ(r.eff.dwDuration / 1000, durationMs);
    return positionMs;
}

struct WindowRow {
    DWORD now;
    long long positionMs; // -1: silent
};

void ExpectWindow(const EffectRecord& r, std::initializer_list<WindowRow> rows)
{
    for (const WindowRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "tick " << row.now);
        EXPECT_EQ(row.positionMs, PositionAt(r, row.now));
    }
}

} // namespace

TEST(MixingWindow, PlayCountOfTwoSoundsThroughBothEndsOfItsWindow)
{
    auto r = PlayingRecord(1000000, 2);
    ExpectWindow(*r, {{T - 1, -1}, {T, 0}, {T + 999, 999}, {T + 1000, 0}, {T + 2000, 0}, {T + 2001, -1}});
    EXPECT_EQ(1u, r->fPlaying);
}

TEST(MixingWindow, PlayCountOfZeroIsTheStartTickAlone)
{
    auto r = PlayingRecord(1000000, 0);
    ExpectWindow(*r, {{T, 0}, {T + 1, -1}});
}

TEST(MixingWindow, StartDelayHoldsTheEffectBackThenStartsAtPositionZero)
{
    auto r = PlayingRecord(1000000, 1);
    r->eff.dwStartDelay = 500000;
    ExpectWindow(*r, {{T, -1}, {T + 499, -1}, {T + 500, 0}, {T + 501, 1}, {T + 1500, 0}, {T + 1501, -1}});
}

TEST(MixingWindow, InfinitePlayCountNeverEnds)
{
    auto r = PlayingRecord(1000000, INFINITE);
    ExpectWindow(*r, {{T, 0}, {T + 10000000, 0}, {T + 4000000123u, 123}});
}

TEST(MixingWindow, InfiniteDurationRepeatsEvery4294967Milliseconds)
{
    auto r = PlayingRecord(INFINITE, INFINITE);
    ExpectWindow(*r, {{T + 4294966, 4294966}, {T + 4294967, 0}});
}

TEST(MixingWindow, DurationBelowOneMillisecondNeverPlays)
{
    // Also a record whose duration was never downloaded.
    for (DWORD dwDurationUs : {0u, 1u, 999u}) {
        auto r = PlayingRecord(dwDurationUs, INFINITE);
        ExpectWindow(*r, {{T, -1}, {T + 1, -1}, {T + 1000, -1}});
        EXPECT_EQ(0u, MixEffect(*r, T));
    }
    auto r = PlayingRecord(1000, INFINITE);
    ExpectWindow(*r, {{T, 0}, {T + 7, 0}});
}

TEST(MixingWindow, StoppedEffectIsSilentInsideItsWindow)
{
    auto r = PlayingRecord(1000000, INFINITE);
    r->fPlaying = 0;
    ExpectWindow(*r, {{T, -1}, {T + 10, -1}});
}

TEST(MixingWindow, TickCountWrappingToZeroKeepsTheEffectPlaying)
{
    auto r = PlayingRecord(1000000, INFINITE);
    r->dwStartTick = 0xFFFFFF00;
    ExpectWindow(*r, {{0xFFFFFFFF, 255}, {0x00000000, 256}, {0x00000100, 512}});
    // A finite play across the wrap ends where it should.
    r->dwIterations = 1;
    ExpectWindow(*r, {{0x000002E7, 999}, {0x000002E8, 0}, {0x000002E9, -1}});
}

TEST(MixingWindow, LongPlayCountIsNotCutShortByA32BitProduct)
{
    // 1000000 plays of 10 s: the window is longer than the tick count's range.
    auto r = PlayingRecord(10000000, 1000000);
    ExpectWindow(*r, {{T + 3000000000u, 0}, {T + 4000000005u, 5}});
}

TEST(MixingEnvelope, AttackAndFadeShapeAConstantForceAndItsStrength)
{
    // 10000 over 4000 ms, 1000 ms of attack and of fade, both levels 0.
    auto r = PlayingRecord(4000000, 1);
    r->env = {sizeof(DIENVELOPE), 0, 1000000, 0, 1000000};
    r->eff.lpEnvelope = &r->env;

    EffectDriver driver(FakeTick);
    driver.cEffects = 1;
    EffectRecord* rgp[] = {r.get()};
    driver.rgpEffects = rgp;

    const struct {
        DWORD positionMs;
        LONG force;
        BYTE strength;
    } rows[] = {{0, 0, 0},          {1, 100, 2},       {500, 5000, 127},  {990, 9900, 253}, {991, 10000, 255},
                {3009, 10000, 255}, {3010, 9900, 253}, {3500, 5000, 127}, {3999, 100, 2}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.positionMs);
        const EnvelopeWeights w = GetEnvelopeWeights(*r, 4000, row.positionMs);
        EXPECT_EQ(row.force,
                  EvaluateForce(*r, 4000, row.positionMs, w.sustainPercent, w.attackWeight, w.fadeWeight));
        g_tick = T + row.positionMs;
        const MixResult mix = driver.MixingPass();
        EXPECT_EQ(row.strength, StrengthFromSum(mix.dwGain, mix.ullSum));
    }
    driver.rgpEffects = nullptr;
    driver.cEffects = 0;
}

TEST(MixingEnvelope, LevelsFillTheAttackAndFade)
{
    // Attack from 2000 up to the magnitude 10000 over 100 ms, fade to 0 over the last 100 ms.
    auto r = PlayingRecord(1000000, 1);
    r->env = {sizeof(DIENVELOPE), 2000, 100000, 0, 100000};
    r->eff.lpEnvelope = &r->env;
    const struct {
        DWORD positionMs;
        LONG force;
    } rows[] = {{0, 2000}, {50, 6000}, {100, 10000}, {900, 10000}, {950, 5000}, {999, 100}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.positionMs);
        const EnvelopeWeights w = GetEnvelopeWeights(*r, 1000, row.positionMs);
        EXPECT_EQ(row.force,
                  EvaluateForce(*r, 1000, row.positionMs, w.sustainPercent, w.attackWeight, w.fadeWeight));
    }
}

TEST(MixingEnvelope, FadeLongerThanThePlayIsNoFadeAndEqualFadesThroughout)
{
    auto r = PlayingRecord(1000000, 1);
    r->eff.lpEnvelope = &r->env;
    r->env = {sizeof(DIENVELOPE), 0, 0, 0, 1000001000};
    for (DWORD positionMs : {0u, 500u, 999u}) {
        const EnvelopeWeights w = GetEnvelopeWeights(*r, 1000, positionMs);
        EXPECT_EQ(100, w.sustainPercent) << positionMs;
    }
    r->env.dwFadeTime = 1000000;
    EXPECT_EQ(100, GetEnvelopeWeights(*r, 1000, 0).sustainPercent);
    EXPECT_EQ(50, GetEnvelopeWeights(*r, 1000, 500).sustainPercent);
    EXPECT_EQ(1, GetEnvelopeWeights(*r, 1000, 999).sustainPercent);
}

TEST(MixingEnvelope, EveryRepetitionHasItsOwnAttack)
{
    auto r = PlayingRecord(1000000, 3);
    r->env = {sizeof(DIENVELOPE), 0, 500000, 0, 0};
    r->eff.lpEnvelope = &r->env;
    EXPECT_EQ(0u, MixEffect(*r, T));
    EXPECT_EQ(0u, MixEffect(*r, T + 1000));
    EXPECT_EQ(0u, MixEffect(*r, T + 2000));
    EXPECT_EQ(65535u, MixEffect(*r, T + 2500));
}

TEST(MixingContribution, MagnitudeOfTheForceScaledTo65535AndCapped)
{
    const struct {
        LONG force;
        DWORD contribution;
    } rows[] = {{0, 0},          {1, 6},         {100, 655},       {5000, 32767},
                {-8000, 52428},  {8000, 52428},  {9999, 65528},    {10000, 65535},
                {-10000, 65535}, {10001, 65535}, {INT_MAX, 65535}, {INT_MIN, 65535}};
    for (const auto& row : rows)
        EXPECT_EQ(row.contribution, ContributionFromForce(row.force)) << row.force;
}

TEST(MixingStrength, SumAndDeviceGainGiveTheStrengthCappedAt255)
{
    const struct {
        DWORD dwGain;
        std::uint64_t ullSum;
        BYTE strength;
    } rows[] = {
        {10000, 0, 0},           {10000, 655, 2},
        {10000, 32767, 127},     {10000, 64879, 253},
        {10000, 65535, 255},     {5000, 65535, 127},
        {10000, 4 * 65535, 255}, {1, 65535, 0},
        {10000, 65534, 255},     {0xFFFFFFFF, UINT64_MAX, 255},
        {0, UINT64_MAX, 0},      {10000, 0x100000000ull, 255},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.strength, StrengthFromSum(row.dwGain, row.ullSum)) << row.dwGain << " " << row.ullSum;
}

TEST(MixingPass, OneHalfForceGives127AndTwoGiveFullStrength)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams half;
    half.eff.dwDuration = 1000000;
    half.UseConstant(5000);
    ASSERT_NE(0u, DownloadPlaying(driver, EFFECT_CONSTANTFORCE, half));
    MixResult mix = driver.MixingPass();
    EXPECT_EQ(32767u, mix.ullSum);
    EXPECT_EQ(10000u, mix.dwGain);
    EXPECT_EQ(127, StrengthFromSum(mix.dwGain, mix.ullSum));

    ASSERT_NE(0u, DownloadPlaying(driver, EFFECT_CONSTANTFORCE, half));
    mix = driver.MixingPass();
    EXPECT_EQ(65534u, mix.ullSum);
    EXPECT_EQ(255, StrengthFromSum(mix.dwGain, mix.ullSum));
}

TEST(MixingPass, OppositeForcesAddUpInsteadOfCancelling)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams push;
    push.eff.dwDuration = 1000000;
    push.UseConstant(8000);
    EffectParams pull;
    pull.eff.dwDuration = 1000000;
    pull.UseConstant(-8000);
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, push);
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, pull);
    EXPECT_EQ(2u * 52428u, driver.MixingPass().ullSum);
}

TEST(MixingPass, DeviceGainIsHandedOutWithTheSum)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams full;
    full.eff.dwDuration = 1000000;
    full.UseConstant(10000);
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, full);
    driver.SetGain(0, 5000);
    const MixResult mix = driver.MixingPass();
    EXPECT_EQ(65535u, mix.ullSum);
    EXPECT_EQ(127, StrengthFromSum(mix.dwGain, mix.ullSum));
}

TEST(MixingPass, SumOfManyFullEffectsDoesNotWrapAt32Bits)
{
    // 70000 full-strength effects sum past 2^32.
    auto r = PlayingRecord(1000000, INFINITE);
    std::vector<EffectRecord*> rgp(70000, r.get());
    EffectDriver driver(FakeTick);
    driver.rgpEffects = rgp.data();
    driver.cEffects = static_cast<LONG>(rgp.size());
    g_tick = T;
    const MixResult mix = driver.MixingPass();
    driver.rgpEffects = nullptr;
    driver.cEffects = 0;
    EXPECT_EQ(70000ull * 65535ull, mix.ullSum);
    EXPECT_EQ(255, StrengthFromSum(mix.dwGain, mix.ullSum));
}

TEST(MixingPass, ActuatorsOffSilenceTheMixWhileTheClocksRunOn)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams ramp;
    ramp.eff.dwDuration = 1000000;
    ramp.UseRamp(10000, -10000);
    DownloadPlaying(driver, EFFECT_RAMPFORCE, ramp);
    EXPECT_EQ(65535u, driver.MixingPass().ullSum);

    ASSERT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_SETACTUATORSOFF));
    g_tick = T + 100;
    EXPECT_EQ(0u, driver.MixingPass().ullSum);
    g_tick = T + 200;
    ASSERT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_SETACTUATORSON));
    // Position 200: 60 percent of the way from the start: force 6000.
    EXPECT_EQ(ContributionFromForce(6000), driver.MixingPass().ullSum);
    // Its window ends while they are off: it stays silent.
    driver.SendForceFeedbackCommand(0, DISFFC_SETACTUATORSOFF);
    g_tick = T + 1001;
    driver.SendForceFeedbackCommand(0, DISFFC_SETACTUATORSON);
    EXPECT_EQ(0u, driver.MixingPass().ullSum);
    EXPECT_EQ(0u, EffectStatus(driver, 1));
}

TEST(MixingWindow, PlayStateTellsAStartDelayFromAnEndedPlay)
{
    auto r = PlayingRecord(1000000, 2);
    r->eff.dwStartDelay = 500000;
    const struct {
        DWORD now;
        EffectPlay play;
    } rows[] = {{T, PLAY_DELAYED},       {T + 499, PLAY_DELAYED}, {T + 500, PLAY_ACTIVE},
                {T + 2500, PLAY_ACTIVE}, {T + 2501, PLAY_OVER},   {T + 100000, PLAY_OVER}};
    for (const auto& row : rows) {
        DWORD durationMs = 0;
        DWORD positionMs = 0;
        EXPECT_EQ(row.play, GetEffectPlay(*r, row.now, &durationMs, &positionMs)) << "tick " << row.now;
    }
    DWORD durationMs = 0;
    DWORD positionMs = 0;
    r->dwIterations = INFINITE;
    EXPECT_EQ(PLAY_ACTIVE, GetEffectPlay(*r, T + 100000, &durationMs, &positionMs));
    r->eff.dwDuration = 999;
    EXPECT_EQ(PLAY_OVER, GetEffectPlay(*r, T + 100000, &durationMs, &positionMs));
    r->eff.dwDuration = 1000000;
    r->fPlaying = 0;
    EXPECT_EQ(PLAY_OVER, GetEffectPlay(*r, T + 500, &durationMs, &positionMs));
}

TEST(MixingIdle, IdleWhileNoEffectIsStarted)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EXPECT_TRUE(driver.MixingPass().fIdle) << "no effects";
    EffectParams half;
    half.eff.dwDuration = INFINITE;
    half.UseConstant(5000);
    DWORD dwHandle = 0;
    ASSERT_EQ(S_OK, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &half.eff, DIEP_ALLPARAMS));
    EXPECT_TRUE(driver.MixingPass().fIdle) << "downloaded, not started";
    ASSERT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, INFINITE));
    MixResult mix = driver.MixingPass();
    EXPECT_FALSE(mix.fIdle);
    EXPECT_EQ(32767u, mix.ullSum);
    ASSERT_EQ(S_OK, driver.StopEffect(0, dwHandle));
    EXPECT_TRUE(driver.MixingPass().fIdle) << "stopped";
    ASSERT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, INFINITE));
    ASSERT_EQ(S_OK, driver.DestroyEffect(0, dwHandle));
    EXPECT_TRUE(driver.MixingPass().fIdle) << "destroyed";
}

TEST(MixingIdle, StartDelayKeepsTheMixAwakeThoughItIsSilent)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams delayed;
    delayed.eff.dwDuration = 1000000;
    delayed.eff.dwStartDelay = 500000;
    delayed.UseConstant(5000);
    ASSERT_NE(0u, DownloadPlaying(driver, EFFECT_CONSTANTFORCE, delayed));
    MixResult mix = driver.MixingPass();
    EXPECT_EQ(0u, mix.ullSum);
    EXPECT_FALSE(mix.fIdle);
    g_tick = T + 500;
    mix = driver.MixingPass();
    EXPECT_EQ(32767u, mix.ullSum);
    EXPECT_FALSE(mix.fIdle);
}

TEST(MixingIdle, PlayedOutEffectIdlesTheMixUntilADownloadLengthensIt)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams shortOne;
    shortOne.eff.dwDuration = 150000;
    shortOne.UseConstant(5000);
    const DWORD dwHandle = DownloadPlaying(driver, EFFECT_CONSTANTFORCE, shortOne);
    ASSERT_NE(0u, dwHandle);
    g_tick = T + 150;
    EXPECT_FALSE(driver.MixingPass().fIdle) << "the last tick of the window";
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));
    g_tick = T + 151;
    MixResult mix = driver.MixingPass();
    EXPECT_TRUE(mix.fIdle);
    EXPECT_EQ(0u, mix.ullSum);
    // Its play is over: a game that polls for the end sees it.
    EXPECT_EQ(0u, EffectStatus(driver, dwHandle));

    // A longer duration reopens the window of the play under way.
    shortOne.eff.dwDuration = 1000000;
    DWORD dwSame = dwHandle;
    ASSERT_EQ(S_OK, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwSame, &shortOne.eff, DIEP_DURATION));
    mix = driver.MixingPass();
    EXPECT_FALSE(mix.fIdle);
    EXPECT_EQ(32767u, mix.ullSum);
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));

    // A play count of 0 plays the start tick alone.
    ASSERT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, 0));
    EXPECT_FALSE(driver.MixingPass().fIdle);
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));
    g_tick = T + 152;
    EXPECT_TRUE(driver.MixingPass().fIdle);
    EXPECT_EQ(0u, EffectStatus(driver, dwHandle));
}

TEST(MixingIdle, PauseAndActuatorsOffIdleTheMixWhileEffectsPlay)
{
    EffectDriver driver(FakeTick);
    g_tick = T;
    EffectParams full;
    full.eff.dwDuration = INFINITE;
    full.UseConstant(10000);
    ASSERT_NE(0u, DownloadPlaying(driver, EFFECT_CONSTANTFORCE, full));
    const struct {
        DWORD dwCommand;
        bool fIdle;
        std::uint64_t ullSum;
    } rows[] = {{DISFFC_PAUSE, true, 0},           {DISFFC_CONTINUE, false, 65535},
                {DISFFC_SETACTUATORSOFF, true, 0}, {DISFFC_PAUSE, true, 0},
                {DISFFC_CONTINUE, true, 0},        {DISFFC_SETACTUATORSON, false, 65535},
                {DISFFC_STOPALL, true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << row.dwCommand);
        ASSERT_EQ(S_OK, driver.SendForceFeedbackCommand(0, row.dwCommand));
        const MixResult mix = driver.MixingPass();
        EXPECT_EQ(row.fIdle, mix.fIdle);
        EXPECT_EQ(row.ullSum, mix.ullSum);
    }
}

// How long a record's contribution holds without a call: what lets the
// Rumble Thread skip its cycles. Too long a hold loses a report.
TEST(MixingHold, ConstantForcesHoldUntilTheirWindowOrEnvelopeMovesOthersNever)
{
    const struct {
        const char* pszCase;
        DWORD dwType;
        DWORD dwDurationUs;
        DWORD dwIterations;
        DWORD dwDelayUs;
        bool fEnvelope; // attack 300 ms, fade 700 ms: the fade begins where the attack ends
        DWORD dwElapsedMs;
        DWORD holdMs;
    } rows[] = {
        {"without end", EFFECT_CONSTANTFORCE, INFINITE, INFINITE, 0, false, 5, INFINITE},
        {"one play: to the tick after its last", EFFECT_CONSTANTFORCE, 1000000, 1, 0, false, 0, 1001},
        {"one play, at its last tick", EFFECT_CONSTANTFORCE, 1000000, 1, 0, false, 1000, 1},
        {"two plays", EFFECT_CONSTANTFORCE, 1000000, 2, 0, false, 500, 1501},
        {"play count 0: its single tick", EFFECT_CONSTANTFORCE, 1000000, 0, 0, false, 0, 1},
        {"over", EFFECT_CONSTANTFORCE, 1000000, 1, 0, false, 1001, INFINITE},
        {"in its delay", EFFECT_CONSTANTFORCE, 1000000, 1, 300000, false, 120, 180},
        {"a kept type without force", 8, 1000000, 1, 0, false, 0, 1001},
        {"ramp", EFFECT_RAMPFORCE, 1000000, 1, 0, false, 0, 0},
        {"sine", EFFECT_SINE, 1000000, 1, 0, false, 0, 0},
        {"ramp in its delay", EFFECT_RAMPFORCE, 1000000, 1, 300000, false, 0, 300},
        {"in the attack", EFFECT_CONSTANTFORCE, 1000000, INFINITE, 0, true, 299, 0},
        {"attack over, fade not begun", EFFECT_CONSTANTFORCE, 1000000, INFINITE, 0, true, 300, 1},
        {"in the fade", EFFECT_CONSTANTFORCE, 1000000, INFINITE, 0, true, 301, 0},
        {"last tick of the fade", EFFECT_CONSTANTFORCE, 1000000, INFINITE, 0, true, 999, 0},
        {"next repetition's attack", EFFECT_CONSTANTFORCE, 1000000, INFINITE, 0, true, 1000, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszCase);
        auto r = PlayingRecord(row.dwDurationUs, row.dwIterations);
        r->dwType = row.dwType;
        r->eff.dwStartDelay = row.dwDelayUs;
        if (row.fEnvelope) {
            r->env = {sizeof(DIENVELOPE), 0, 300000, 0, 700000};
            r->eff.lpEnvelope = &r->env;
        }
        EXPECT_EQ(row.holdMs, GetEffectHold(*r, T + row.dwElapsedMs));
    }
    // Where the attack ends and the fade begins, at 300, neither weighs.
    auto r = PlayingRecord(1000000, 1);
    r->env = {sizeof(DIENVELOPE), 0, 300000, 0, 700000};
    r->eff.lpEnvelope = &r->env;
    EXPECT_EQ(100, GetEnvelopeWeights(*r, 1000, 300).sustainPercent);
    EXPECT_EQ(50, GetEnvelopeWeights(*r, 1000, 150).sustainPercent);
    EXPECT_EQ(100, GetEnvelopeWeights(*r, 1000, 301).sustainPercent); // 1/700 of the fade truncates to 0
    EXPECT_EQ(86, GetEnvelopeWeights(*r, 1000, 400).sustainPercent);
}

// Effects are placed and mixed by the driver's clock every 2 ms: it must
// move every millisecond. Under Wine GetTickCount moves in steps of about
// 16 ms (finer but irregular while Wine's server is busy); the performance
// counter's milliseconds take every value. The driver's clock is read between
// two readings of the counter and lies between their milliseconds, which
// only a clock of the counter does: a count of the values it took in some
// time would depend on how busy the machine is.
TEST(MixingClock, SystemTickCountIsThePerformanceCountersMillisecond)
{
#ifndef _WIN32
    GTEST_SKIP() << "natively the clock is CLOCK_MONOTONIC's";
#else
    LARGE_INTEGER liFrequency;
    QueryPerformanceFrequency(&liFrequency);
    auto millisecond = [&](const LARGE_INTEGER& li) {
        return static_cast<unsigned long long>(li.QuadPart) * 1000 /
               static_cast<unsigned long long>(liFrequency.QuadPart);
    };
    for (int i = 0; i < 1000; ++i) {
        LARGE_INTEGER liBefore, liAfter;
        QueryPerformanceCounter(&liBefore);
        const DWORD dwTick = SystemTickCount();
        QueryPerformanceCounter(&liAfter);
        const DWORD dwBefore = static_cast<DWORD>(millisecond(liBefore));
        // Unsigned, so that a wrap of the 32-bit clock between the readings
        // still compares right.
        ASSERT_LE(static_cast<DWORD>(dwTick - dwBefore), static_cast<DWORD>(millisecond(liAfter)) - dwBefore)
            << "reading " << i;
    }
#endif
}
