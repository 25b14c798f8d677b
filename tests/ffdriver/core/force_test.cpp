// EvaluateForce against the values the waveforms must take. Unless a row says
// otherwise: no envelope, effect gain 10000, phase 0, offset 0, magnitude
// 10000, a 1000 ms period and a 1000 ms duration.
#include "ffdriver/force.h"

#include "tests/ffdriver/core/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

namespace {

struct Periodic {
    DWORD dwMagnitude = 10000;
    LONG lOffset = 0;
    DWORD dwPhase = 0;
    DWORD dwPeriod = 1000000;
};

std::unique_ptr<EffectRecord> MakeRecord(DWORD dwType, DWORD dwGain = 10000)
{
    auto r = std::make_unique<EffectRecord>();
    r->dwType = dwType;
    r->eff.dwGain = dwGain;
    r->eff.dwDuration = 1000000;
    return r;
}

LONG PeriodicForce(DWORD dwType, DWORD positionMs, Periodic p = {})
{
    auto r = MakeRecord(dwType);
    r->periodic = {p.dwMagnitude, p.lOffset, p.dwPhase, p.dwPeriod};
    return EvaluateForce(*r, 1000, positionMs, 100, 0, 0);
}

struct WaveformRow {
    DWORD dwType;
    DWORD positionMs;
    LONG force;
};

} // namespace

TEST(EvaluateForce, WaveformsTakeTheirValuesAtTheListedPositions)
{
    const WaveformRow rows[] = {
        // Square: +L for the first half of the period, -L for the second.
        {EFFECT_SQUARE, 0, 10000},
        {EFFECT_SQUARE, 499, 10000},
        {EFFECT_SQUARE, 500, -10000},
        {EFFECT_SQUARE, 999, -10000},
        // Sine with 3.1415: just under L at the peaks, still 0 at 180 degrees.
        {EFFECT_SINE, 0, 0},
        {EFFECT_SINE, 3, 174}, // 1 degree
        {EFFECT_SINE, 125, 7070},
        {EFFECT_SINE, 250, 9999},
        {EFFECT_SINE, 500, 0},
        {EFFECT_SINE, 750, -9999},
        // Triangle: from -L through 0 at 90 degrees to +L at 180 and back.
        {EFFECT_TRIANGLE, 0, -10000},
        {EFFECT_TRIANGLE, 125, -5000},
        {EFFECT_TRIANGLE, 250, 0},
        {EFFECT_TRIANGLE, 375, 5000}, // 135 degrees, on the rising quarter
        {EFFECT_TRIANGLE, 500, 10000},
        {EFFECT_TRIANGLE, 625, 5000},
        {EFFECT_TRIANGLE, 750, 0},
        {EFFECT_TRIANGLE, 875, -5000},
        {EFFECT_TRIANGLE, 999, -9888},
        // Sawtooth up: from -L through 0 at 180 degrees toward +L.
        {EFFECT_SAWTOOTHUP, 0, -10000},
        {EFFECT_SAWTOOTHUP, 250, -5000},
        {EFFECT_SAWTOOTHUP, 499, -55},
        {EFFECT_SAWTOOTHUP, 500, 0},
        {EFFECT_SAWTOOTHUP, 750, 5000},
        {EFFECT_SAWTOOTHUP, 999, 9944},
        // Sawtooth down: the mirror image.
        {EFFECT_SAWTOOTHDOWN, 0, 10000},
        {EFFECT_SAWTOOTHDOWN, 250, 5000},
        {EFFECT_SAWTOOTHDOWN, 499, 55},
        {EFFECT_SAWTOOTHDOWN, 500, 0},
        {EFFECT_SAWTOOTHDOWN, 750, -5000},
        {EFFECT_SAWTOOTHDOWN, 999, -9944},
    };
    for (const WaveformRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "type " << row.dwType << " at " << row.positionMs << " ms");
        EXPECT_EQ(row.force, PeriodicForce(row.dwType, row.positionMs));
    }
}

TEST(EvaluateForce, PhaseMovesTheWaveformEarlier)
{
    Periodic halfTurn;
    halfTurn.dwPhase = 18000;
    EXPECT_EQ(-10000, PeriodicForce(EFFECT_SQUARE, 0, halfTurn));
    EXPECT_EQ(10000, PeriodicForce(EFFECT_SQUARE, 500, halfTurn));

    Periodic quarterTurn;
    quarterTurn.dwPhase = 9000;
    EXPECT_EQ(PeriodicForce(EFFECT_SAWTOOTHUP, 250), PeriodicForce(EFFECT_SAWTOOTHUP, 0, quarterTurn));
    // Phases count in whole degrees: 99 hundredths are no degree at all.
    Periodic underOneDegree;
    underOneDegree.dwPhase = 99;
    EXPECT_EQ(-10000, PeriodicForce(EFFECT_SAWTOOTHUP, 0, underOneDegree));
    // Position and phase truncate each on its own: 0.72 degrees and 1.5
    // degrees make 0 + 1 degree, not the 2 degrees of their sum.
    Periodic oneAndAHalfDegrees;
    oneAndAHalfDegrees.dwPhase = 150;
    EXPECT_EQ(-9944, PeriodicForce(EFFECT_SAWTOOTHUP, 2, oneAndAHalfDegrees));
}

TEST(EvaluateForce, EveryRepetitionOfAShortPeriodStartsAtThePhase)
{
    Periodic shortPeriod;
    shortPeriod.dwPeriod = 300000;
    for (DWORD positionMs : {0u, 300u, 600u, 900u}) {
        SCOPED_TRACE(positionMs);
        EXPECT_EQ(-10000, PeriodicForce(EFFECT_SAWTOOTHUP, positionMs, shortPeriod));
    }
    // 950 ms is 50 ms into the fourth period: 60 degrees.
    EXPECT_EQ(-6666, PeriodicForce(EFFECT_SAWTOOTHUP, 950, shortPeriod));
}

TEST(EvaluateForce, PeriodBelowOneMillisecondStaysAtThePhaseAngle)
{
    Periodic tiny;
    tiny.dwPeriod = 500;
    for (DWORD positionMs : {0u, 1u, 250u, 500u, 999u}) {
        SCOPED_TRACE(positionMs);
        EXPECT_EQ(10000, PeriodicForce(EFFECT_SQUARE, positionMs, tiny));
    }
    tiny.dwPeriod = 0;
    EXPECT_EQ(10000, PeriodicForce(EFFECT_SQUARE, 700, tiny));
}

TEST(EvaluateForce, OffsetIsAddedAfterTheShapeAndScaledOnlyByTheGain)
{
    Periodic withOffset;
    withOffset.dwMagnitude = 5000;
    withOffset.lOffset = 2000;
    EXPECT_EQ(7000, PeriodicForce(EFFECT_SQUARE, 0, withOffset));
    EXPECT_EQ(-3000, PeriodicForce(EFFECT_SQUARE, 500, withOffset));

    // An envelope at 50 percent halves the amplitude but not the offset.
    auto r = MakeRecord(EFFECT_SQUARE);
    r->periodic = {10000, 2000, 0, 1000000};
    EXPECT_EQ(7000, EvaluateForce(*r, 1000, 0, 50, 0, 0));
    // The effect gain scales both.
    r->eff.dwGain = 5000;
    EXPECT_EQ(6000, EvaluateForce(*r, 1000, 0, 100, 0, 0));
}

TEST(EvaluateForce, ConstantForceIsItsMagnitudeTimesTheGain)
{
    auto r = MakeRecord(EFFECT_CONSTANTFORCE);
    r->cf.lMagnitude = 5000;
    EXPECT_EQ(5000, EvaluateForce(*r, 1000, 0, 100, 0, 0));
    r->cf.lMagnitude = -10000;
    r->eff.dwGain = 5000;
    EXPECT_EQ(-5000, EvaluateForce(*r, 1000, 0, 100, 0, 0));
    // Truncated toward zero, not rounded and not floored.
    r->cf.lMagnitude = -3;
    r->eff.dwGain = 5000;
    EXPECT_EQ(-1, EvaluateForce(*r, 1000, 0, 100, 0, 0));
}

TEST(EvaluateForce, EnvelopeWeightsEnterAsAWeightedMean)
{
    auto r = MakeRecord(EFFECT_CONSTANTFORCE);
    r->cf.lMagnitude = 10000;
    EXPECT_EQ(100, EvaluateForce(*r, 1000, 0, 1, 0, 0));
    EXPECT_EQ(5000, EvaluateForce(*r, 1000, 0, 50, 0, 0));
    // Half the magnitude, half an attack level of 2000: (10000 * 50 + 2000 * 50) / 100.
    EXPECT_EQ(6000, EvaluateForce(*r, 1000, 0, 50, 2000 * 50, 0));
    EXPECT_EQ(0, EvaluateForce(*r, 1000, 0, 0, 0, 0));
}

TEST(EvaluateForce, RampStepsInHundredthsOfItsDistance)
{
    auto r = MakeRecord(EFFECT_RAMPFORCE);
    r->ramp = {10000, -10000};
    const struct {
        DWORD positionMs;
        LONG force;
    } rows[] = {{0, 10000}, {1, 9800}, {500, 0}, {990, -9800}, {991, -10000}, {999, -10000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.positionMs);
        EXPECT_EQ(row.force, EvaluateForce(*r, 1000, row.positionMs, 100, 0, 0));
    }
    // Every value on the way is a whole hundredth of the distance, falling.
    LONG lLast = 10000;
    for (DWORD positionMs = 0; positionMs < 1000; positionMs++) {
        const LONG force = EvaluateForce(*r, 1000, positionMs, 100, 0, 0);
        ASSERT_EQ(0, force % 200) << positionMs;
        ASSERT_LE(force, lLast) << positionMs;
        lLast = force;
    }
}

TEST(EvaluateForce, ZeroGainAndUnkeptTypesGiveNoForce)
{
    for (DWORD dwType = EFFECT_CONSTANTFORCE; dwType <= EFFECT_SAWTOOTHDOWN; dwType++) {
        auto r = MakeRecord(dwType, 0);
        r->cf.lMagnitude = 10000;
        r->ramp = {10000, 10000};
        r->periodic = {10000, 10000, 0, 1000000};
        EXPECT_EQ(0, EvaluateForce(*r, 1000, 0, 100, 0, 0)) << dwType;
    }
    for (DWORD dwType : {7u, 8u, 11u, 12u, 0xFFFFFFFFu}) {
        auto r = MakeRecord(dwType);
        r->cf.lMagnitude = 10000;
        r->ramp = {10000, 10000};
        r->periodic = {10000, 10000, 0, 1000000};
        EXPECT_EQ(0, EvaluateForce(*r, 1000, 0, 100, 0, 0)) << dwType;
    }
}

TEST(EvaluateForce, ReadsTheStorageOfTheCurrentTypeNotThePointer)
{
    // A record once downloaded as a constant force, now a square whose
    // parameters were never downloaded.
    auto r = MakeRecord(EFFECT_SQUARE);
    r->cf.lMagnitude = 10000;
    r->eff.lpvTypeSpecificParams = &r->cf;
    EXPECT_EQ(0, EvaluateForce(*r, 1000, 0, 100, 0, 0));
}

TEST(EvaluateForce, ValuesBeyondTheRangesSaturateInsteadOfWrapping)
{
    auto r = MakeRecord(EFFECT_CONSTANTFORCE, 0xFFFFFFFF);
    r->cf.lMagnitude = INT_MAX;
    EXPECT_EQ(INT_MAX, EvaluateForce(*r, 1000, 0, 100, 0, 0));
    r->cf.lMagnitude = INT_MIN;
    EXPECT_EQ(INT_MIN, EvaluateForce(*r, 1000, 0, 100, 0, 0));
    EXPECT_EQ(INT_MAX, EvaluateForce(*r, 1000, 0, INT_MIN, 0, 0));
    EXPECT_EQ(INT_MAX, EvaluateForce(*r, 1000, 0, 0, INT_MAX, INT_MAX));

    auto sq = MakeRecord(EFFECT_SQUARE, 0xFFFFFFFF);
    sq->periodic = {0xFFFFFFFF, INT_MAX, 0, 0xFFFFFFFF};
    EXPECT_EQ(INT_MAX, EvaluateForce(*sq, 0xFFFFFFFF, 0xFFFFFFFF, INT_MAX, INT_MAX, INT_MAX));

    // Positions beyond the duration, and a ramp with no duration of its own,
    // are no division by zero and stay within the ramp's ends.
    auto ramp = MakeRecord(EFFECT_RAMPFORCE);
    ramp->ramp = {INT_MAX, INT_MIN};
    const LONG beyond = EvaluateForce(*ramp, 1000, 5000, 100, 0, 0);
    EXPECT_EQ(INT_MAX, beyond);
    ramp->eff.dwDuration = 999;
    EXPECT_EQ(0, EvaluateForce(*ramp, 1000, 0, 100, 0, 0));

    // Every waveform at every whole degree with extreme amplitudes: the
    // sanitizer builds report any overflow on the way.
    for (DWORD dwType = EFFECT_SQUARE; dwType <= EFFECT_SAWTOOTHDOWN; dwType++) {
        auto w = MakeRecord(dwType, 0xFFFFFFFF);
        w->periodic = {0xFFFFFFFF, INT_MIN, 0, 360000};
        for (DWORD positionMs = 0; positionMs < 360; positionMs++) {
            const LONG force = EvaluateForce(*w, 360, positionMs, -100, INT_MIN, INT_MIN);
            ASSERT_GE(force, INT_MIN);
        }
    }
}
