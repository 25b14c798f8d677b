// Effect force evaluation: integer arithmetic in which every division
// truncates where it stands, plus one double-precision sine for the sine
// waveform. Inside DirectInput's ranges every intermediate fits in 32 bits
// and the results are the exact 32-bit ones; the sums and products are formed
// in 64 bits so that values outside those ranges cannot overflow, and
// narrowing back to 32 bits saturates.
#include "ffdriver/force.h"

#include <cmath>
#include <cstdint>

namespace {

using std::int64_t;

LONG Saturate(int64_t value)
{
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<LONG>(value);
}

// The weighted level of a magnitude: with no envelope it is the magnitude.
int64_t Level(int64_t magnitude, LONG sustainPercent, LONG attackWeight, LONG fadeWeight)
{
    // The attack, fade and sustain percentages add up to 100 and the first
    // two lie within 0..100, so the sustain lies within -100..100; holding it
    // there keeps the product within 64 bits for any magnitude.
    int64_t sustain = sustainPercent;
    if (sustain > 100) sustain = 100;
    if (sustain < -100) sustain = -100;
    return Saturate((magnitude * sustain + attackWeight + fadeWeight) / 100);
}

int64_t RampValue(const EffectRecord& record, DWORD durationMs, DWORD positionMs)
{
    // The divisor is the record's own duration, which the caller's durationMs
    // equals; a ramp without a whole millisecond of duration has no force.
    const DWORD divisorMs = record.eff.dwDuration / 1000;
    if (divisorMs == 0) return 0;
    // Whole percent of the play still ahead: 100 at the start, 0 in the last
    // hundredth. Only a position beyond the duration could take it past 100.
    DWORD g = ((durationMs - positionMs) * 100) / divisorMs;
    if (g > 100) g = 100;
    return (int64_t{record.ramp.lStart} * g + int64_t{record.ramp.lEnd} * (100 - int64_t{g})) / 100;
}

// The shape of a periodic waveform at a whole-degree angle, for amplitude L.
// Each quotient truncates toward zero before it is negated.
int64_t ShapeValue(DWORD dwType, DWORD angle, int64_t L)
{
    const int64_t a = angle;
    switch (dwType) {
    case EFFECT_SQUARE:
        return a < 180 ? L : -L;
    case EFFECT_SINE:
        // 3.1415 rather than pi: the peak at 90 degrees truncates to just below L.
        return static_cast<int64_t>(std::sin(static_cast<double>(angle) * 3.1415 / 180.0) *
                                    static_cast<double>(L));
    case EFFECT_TRIANGLE:
        if (a < 90) return -(((90 - a) * L) / 90);
        if (a < 180) return ((a - 90) * L) / 90;
        if (a < 270) return ((270 - a) * L) / 90;
        return -(((a - 270) * L) / 90);
    case EFFECT_SAWTOOTHUP:
        if (a < 180) return -(((180 - a) * L) / 180);
        return ((a - 180) * L) / 180;
    case EFFECT_SAWTOOTHDOWN:
        if (a < 180) return ((180 - a) * L) / 180;
        return -(((a - 180) * L) / 180);
    default:
        return 0;
    }
}

} // namespace

LONG EvaluateForce(const EffectRecord& record, DWORD durationMs, DWORD positionMs, LONG sustainPercent,
                   LONG attackWeight, LONG fadeWeight)
{
    int64_t v;
    switch (record.dwType) {
    case EFFECT_CONSTANTFORCE:
        v = Level(record.cf.lMagnitude, sustainPercent, attackWeight, fadeWeight);
        break;
    case EFFECT_RAMPFORCE:
        v = Level(RampValue(record, durationMs, positionMs), sustainPercent, attackWeight, fadeWeight);
        break;
    case EFFECT_SQUARE:
    case EFFECT_SINE:
    case EFFECT_TRIANGLE:
    case EFFECT_SAWTOOTHUP:
    case EFFECT_SAWTOOTHDOWN: {
        DWORD periodMs = record.periodic.dwPeriod / 1000;
        if (periodMs == 0) periodMs = 1;
        // Divide before adding: the position's angle and the phase each
        // truncate to whole degrees on their own.
        const DWORD angle = ((positionMs % periodMs) * 360 / periodMs + record.periodic.dwPhase / 100) % 360;
        const int64_t L = Level(record.periodic.dwMagnitude, sustainPercent, attackWeight, fadeWeight);
        // The offset is added after the shape, so an envelope never scales it.
        v = ShapeValue(record.dwType, angle, L) + record.periodic.lOffset;
        break;
    }
    default:
        return 0;
    }
    // Saturating v first keeps the product with any gain within 64 bits.
    return Saturate(int64_t{Saturate(v)} * record.eff.dwGain / 10000);
}
