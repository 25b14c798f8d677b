// The arithmetic of one mixing pass, one effect at a time: where the effect's
// current play stands, how much of its envelope applies, and what its force
// contributes to the motors. EffectDriver::MixingPass runs it over every
// record under the process-wide lock.
#pragma once

#include "ffdriver/effect_record.h"
#include "ffdriver/platform_types.h"

// The envelope as the three weights of EvaluateForce; 100, 0, 0 without one.
struct EnvelopeWeights {
    LONG sustainPercent;
    LONG attackWeight;
    LONG fadeWeight;
};
EnvelopeWeights GetEnvelopeWeights(const EffectRecord& record, DWORD durationMs, DWORD positionMs);

// Whether the record plays at tick now, and if so its duration and the
// position within its current repetition, in milliseconds.
bool GetEffectPosition(const EffectRecord& record, DWORD now, DWORD* pDurationMs, DWORD* pPositionMs);

// 0..65535 from the magnitude of a force; the motors have no direction.
DWORD ContributionFromForce(LONG force);

// What the record contributes at tick now: 0 outside its active window.
DWORD MixEffect(const EffectRecord& record, DWORD now);
