// The force one effect asks for at one moment of its current repetition.
#pragma once

#include "ffdriver/effect_record.h"
#include "ffdriver/platform_types.h"

// The signed force in DirectInput units (nominally -10000..10000), scaled by
// the effect's own gain. The envelope enters through the three weights: the
// level of a magnitude X is (X * sustainPercent + attackWeight + fadeWeight) / 100,
// so no envelope is 100, 0, 0. durationMs is eff.dwDuration / 1000 and
// positionMs lies below it. Reads the record only; no allocation, no lock.
LONG EvaluateForce(const EffectRecord& record, DWORD durationMs, DWORD positionMs, LONG sustainPercent,
                   LONG attackWeight, LONG fadeWeight);
