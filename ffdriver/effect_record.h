// The Effect Driver's copy of one downloaded effect. Records are made zero
// (EffectRecord{}) by DownloadEffect, owned through the Effect Driver's
// rgpEffects array and read or written only under the process-wide lock.
#pragma once

#include "ffdriver/platform_types.h"

// Effect type indexes, as the device's registered effect list numbers them.
// 7 to 11 are accepted without parameters and yield no force.
enum : DWORD {
    EFFECT_CONSTANTFORCE = 0,
    EFFECT_RAMPFORCE = 1,
    EFFECT_SQUARE = 2,
    EFFECT_SINE = 3,
    EFFECT_TRIANGLE = 4,
    EFFECT_SAWTOOTHUP = 5,
    EFFECT_SAWTOOTHDOWN = 6,
    EFFECT_LASTKEPT = 11,
};

struct EffectRecord {
    EffectRecord() = default;
    // eff's pointers point into the record itself: a copy would point into
    // the original.
    EffectRecord(const EffectRecord&) = delete;
    EffectRecord& operator=(const EffectRecord&) = delete;

    DWORD dwType;
    DIEFFECT eff;        // lpEnvelope is null or &env; lpvTypeSpecificParams null or &cf, &ramp, &periodic
    DIENVELOPE env;      // valid once a download carried an envelope
    DICONSTANTFORCE cf;  // type 0
    DIPERIODIC periodic; // types 2 to 6
    DIRAMPFORCE ramp;    // type 1
    DWORD dwHandle;      // never 0
    DWORD fPlaying;      // DIEGES_PLAYING or 0
    DWORD dwIterations;  // play count of the last start; INFINITE plays without end
    DWORD dwStartTick;   // tick count of the last start, moved on by DISFFC_CONTINUE
};
