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

// Where the record's play stands at tick now. PLAY_OVER: nothing to play
// now or later until a call starts it again (stopped, shorter than a
// millisecond, or its play count used up); PLAY_DELAYED: inside its start
// delay; PLAY_ACTIVE: inside its window, with its duration and the position
// within the current repetition, in milliseconds.
enum EffectPlay { PLAY_OVER, PLAY_DELAYED, PLAY_ACTIVE };
EffectPlay GetEffectPlay(const EffectRecord& record, DWORD now, DWORD* pDurationMs, DWORD* pPositionMs);

// How many milliseconds from tick now the record's contribution stays what
// it is at now, unless a call changes the record: 0 when it may change from
// one millisecond to the next (a ramp, a periodic force, an envelope's attack
// or fade), INFINITE when nothing but a call changes it.
DWORD GetEffectHold(const EffectRecord& record, DWORD now);
// The same from GetEffectPlay's answer at tick now, for a pass that has it.
DWORD GetEffectHold(const EffectRecord& record, DWORD now, EffectPlay play, DWORD durationMs,
                    DWORD positionMs);

// Whether the record plays at tick now (PLAY_ACTIVE), and if so where.
bool GetEffectPosition(const EffectRecord& record, DWORD now, DWORD* pDurationMs, DWORD* pPositionMs);

// 0..65535 from the magnitude of a force; the motors have no direction.
DWORD ContributionFromForce(LONG force);

// What the record contributes at a position inside its window.
DWORD ContributionAt(const EffectRecord& record, DWORD durationMs, DWORD positionMs);

// What the record contributes at tick now: 0 outside its active window.
DWORD MixEffect(const EffectRecord& record, DWORD now);
