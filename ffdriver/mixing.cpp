// One mixing pass: every playing effect inside its active window is evaluated
// at its position, and the magnitudes of the forces are summed as
// contributions of 0..65535 each. Tick arithmetic is 32-bit and wraps.
#include "ffdriver/effect_driver.h"
#include "ffdriver/force.h"
#include "ffdriver/mixing.h"

#include <cstdint>

namespace {

LONG SaturateToLong(std::int64_t value)
{
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<LONG>(value);
}

} // namespace

EnvelopeWeights GetEnvelopeWeights(const EffectRecord& record, DWORD durationMs, DWORD positionMs)
{
    if (!record.eff.lpEnvelope) return {100, 0, 0};

    // Every repetition has its own attack and fade, since the position
    // restarts with each. The percentages truncate where they stand.
    const DWORD attackMs = record.env.dwAttackTime / 1000;
    const DWORD attackPercent = positionMs < attackMs ? (attackMs - positionMs) * 100 / attackMs : 0;
    const DWORD fadeMs = record.env.dwFadeTime / 1000;
    // A fade longer than the play wraps fadeStart past every position: no fade.
    const DWORD fadeStart = durationMs - fadeMs;
    const DWORD fadePercent =
        fadeMs != 0 && fadeStart < positionMs ? (positionMs - fadeStart) * 100 / fadeMs : 0;

    EnvelopeWeights weights;
    weights.sustainPercent = SaturateToLong(100 - std::int64_t{attackPercent} - std::int64_t{fadePercent});
    weights.attackWeight = SaturateToLong(std::int64_t{record.env.dwAttackLevel} * attackPercent);
    weights.fadeWeight = SaturateToLong(std::int64_t{record.env.dwFadeLevel} * fadePercent);
    return weights;
}

EffectPlay GetEffectPlay(const EffectRecord& record, DWORD now, DWORD* pDurationMs, DWORD* pPositionMs)
{
    if (record.fPlaying != 1) return PLAY_OVER;
    // Under one millisecond there is nothing to play and no position to
    // divide by.
    const DWORD durationMs = record.eff.dwDuration / 1000;
    if (durationMs == 0) return PLAY_OVER;

    // Measured from the start tick rather than by comparing tick counts, so
    // that an effect keeps playing when the tick count wraps to 0. The start
    // tick never lies ahead of the tick count: starts take the current tick,
    // and DISFFC_CONTINUE moves them no further than it.
    const DWORD elapsedMs = now - record.dwStartTick;
    const DWORD delayMs = record.eff.dwStartDelay / 1000;
    if (elapsedMs < delayMs) return PLAY_DELAYED;
    const DWORD playedMs = elapsedMs - delayMs;
    // Both ends of the window belong to it: a play count of 2 still sounds at
    // position 0 of a third repetition. 64 bits, so a long play count cannot
    // wrap the window short.
    if (record.dwIterations != INFINITE &&
        std::uint64_t{playedMs} > std::uint64_t{record.dwIterations} * std::uint64_t{durationMs})
        return PLAY_OVER;

    *pDurationMs = durationMs;
    *pPositionMs = playedMs % durationMs;
    return PLAY_ACTIVE;
}

DWORD GetEffectHold(const EffectRecord& record, DWORD now)
{
    DWORD durationMs = 0;
    DWORD positionMs = 0;
    const EffectPlay play = GetEffectPlay(record, now, &durationMs, &positionMs);
    return GetEffectHold(record, now, play, durationMs, positionMs);
}

DWORD GetEffectHold(const EffectRecord& record, DWORD now, EffectPlay play, DWORD durationMs,
                    DWORD positionMs)
{
    if (play == PLAY_OVER) return INFINITE;
    const DWORD elapsedMs = now - record.dwStartTick;
    const DWORD delayMs = record.eff.dwStartDelay / 1000;
    if (play == PLAY_DELAYED) return delayMs - elapsedMs;
    // A ramp and the waveforms move with the position; only a constant force,
    // and the kept types without force, hold their value.
    if (record.dwType != EFFECT_CONSTANTFORCE && record.dwType <= EFFECT_SAWTOOTHDOWN) return 0;

    // Until the tick after the window's last, which is part of it.
    std::uint64_t holdMs = UINT64_MAX;
    if (record.dwIterations != INFINITE)
        holdMs = std::uint64_t{record.dwIterations} * durationMs - (elapsedMs - delayMs) + 1;
    if (record.eff.lpEnvelope) {
        // The same regions as the envelope's weights: inside the attack or
        // the fade the level moves; in between it holds until the fade
        // begins, or until the next repetition's attack.
        const DWORD attackMs = record.env.dwAttackTime / 1000;
        if (positionMs < attackMs) return 0;
        const DWORD fadeMs = record.env.dwFadeTime / 1000;
        const DWORD fadeStart = durationMs - fadeMs;
        if (fadeMs != 0 && fadeStart < positionMs) return 0;
        const DWORD untilMs =
            fadeMs != 0 && fadeStart < durationMs ? fadeStart + 1 - positionMs : durationMs - positionMs;
        if (untilMs < holdMs) holdMs = untilMs;
    }
    return holdMs >= INFINITE ? INFINITE : static_cast<DWORD>(holdMs);
}

bool GetEffectPosition(const EffectRecord& record, DWORD now, DWORD* pDurationMs, DWORD* pPositionMs)
{
    return GetEffectPlay(record, now, pDurationMs, pPositionMs) == PLAY_ACTIVE;
}

DWORD ContributionFromForce(LONG force)
{
    const std::uint64_t magnitude =
        force < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(force) : static_cast<std::uint64_t>(force);
    const std::uint64_t contribution = magnitude * 65535 / 10000;
    return contribution > 65535 ? 65535 : static_cast<DWORD>(contribution);
}

DWORD ContributionAt(const EffectRecord& record, DWORD durationMs, DWORD positionMs)
{
    const EnvelopeWeights weights = GetEnvelopeWeights(record, durationMs, positionMs);
    const LONG force = EvaluateForce(record, durationMs, positionMs, weights.sustainPercent,
                                     weights.attackWeight, weights.fadeWeight);
    return ContributionFromForce(force);
}

DWORD MixEffect(const EffectRecord& record, DWORD now)
{
    DWORD durationMs;
    DWORD positionMs;
    if (!GetEffectPosition(record, now, &durationMs, &positionMs)) return 0;
    return ContributionAt(record, durationMs, positionMs);
}

MixResult EffectDriver::MixingPass()
{
    ProcessLockGuard lock;
    // Idle until an effect is found that sounds now or will without a call.
    MixResult result = {0, dwGain, true, INFINITE};
    // While paused the motors rest; DISFFC_CONTINUE then moves every clock on
    // by the pause, so the effects resume where they stood.
    if (fActuatorsOn != 1 || fPaused) return result;
    for (LONG i = 0; i < cEffects; i++) {
        const EffectRecord& record = *rgpEffects[i];
        if (record.fPlaying != 1) continue;
        DWORD durationMs = 0;
        DWORD positionMs = 0;
        // The tick count is read afresh for each effect.
        const DWORD now = pfnTick();
        const EffectPlay play = GetEffectPlay(record, now, &durationMs, &positionMs);
        if (play == PLAY_OVER) continue;
        result.fIdle = false;
        if (play == PLAY_ACTIVE) result.ullSum += ContributionAt(record, durationMs, positionMs);
        // Each hold counts from the effect's own tick, never before the
        // pass's first: the smallest is a safe hold for the sum.
        if (result.dwHoldMs != 0) {
            const DWORD holdMs = GetEffectHold(record, now, play, durationMs, positionMs);
            if (holdMs < result.dwHoldMs) result.dwHoldMs = holdMs;
        }
    }
    return result;
}

BYTE StrengthFromSum(DWORD dwGain, std::uint64_t ullSum)
{
    // Any product beyond 64 bits is far past full strength.
    if (dwGain != 0 && ullSum > UINT64_MAX / dwGain) return 255;
    const std::uint64_t strength = (std::uint64_t{dwGain} * ullSum / 10000) >> 8;
    return strength > 255 ? 255 : static_cast<BYTE>(strength);
}
