// The effect store: handles, what a download copies and what it leaves, the
// play state, and refusals that must leave the store as it was.
#include "ffdriver/effect_driver.h"

#include "tests/ffdriver/core/failing_allocator.h"
#include "tests/ffdriver/core/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

DWORD Download(EffectDriver& driver, DWORD dwType, EffectParams& params, DWORD dwFlags, DWORD dwHandle = 0)
{
    EXPECT_EQ(S_OK, driver.DownloadEffect(0, dwType, &dwHandle, &params.eff, dwFlags));
    return dwHandle;
}

const EffectRecord& Record(const EffectDriver& driver, LONG i)
{
    return *driver.rgpEffects[i];
}

} // namespace

TEST(EffectStore, HandlesCountUpAndAreNeverReused)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    EXPECT_EQ(1u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    EXPECT_EQ(2u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    EXPECT_EQ(S_OK, driver.DestroyEffect(0, 1));
    EXPECT_EQ(3u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_RESET));
    EXPECT_EQ(4u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    EXPECT_TRUE(StoreIsConsistent(driver));
}

TEST(EffectStore, DestroyingTheOnlyEffectLeavesNoArrayAndAnEmptyDevice)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    const DWORD dwHandle = Download(driver, EFFECT_SINE, params, DIEP_ALLPARAMS);
    EXPECT_EQ(0u, DeviceState(driver) & DIGFFS_EMPTY);
    EXPECT_EQ(S_OK, driver.DestroyEffect(0, dwHandle));
    EXPECT_EQ(0, driver.cEffects);
    EXPECT_EQ(nullptr, driver.rgpEffects);
    EXPECT_EQ(DWORD{DIGFFS_EMPTY}, DeviceState(driver) & DIGFFS_EMPTY);
}

TEST(EffectStore, NoDownloadTouchesNothing)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.eff.dwDuration = 1000000;
    DWORD dwHandle = 0;
    EXPECT_EQ(S_OK, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &params.eff,
                                          DIEP_NODOWNLOAD | DIEP_ALLPARAMS | DIEP_START));
    EXPECT_EQ(0u, dwHandle);
    EXPECT_EQ(0, driver.cEffects);
    EXPECT_EQ(1u, driver.dwNextHandle);

    dwHandle = Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION);
    params.eff.dwDuration = 5000000;
    EXPECT_EQ(S_OK, driver.DownloadEffect(0, EFFECT_SINE, &dwHandle, &params.eff,
                                          DIEP_NODOWNLOAD | DIEP_DURATION | DIEP_START));
    EXPECT_EQ(EFFECT_CONSTANTFORCE, Record(driver, 0).dwType);
    EXPECT_EQ(1000000u, Record(driver, 0).eff.dwDuration);
    EXPECT_EQ(params.eff.dwFlags, Record(driver, 0).eff.dwFlags);
    EXPECT_EQ(0u, Record(driver, 0).fPlaying);
}

TEST(EffectStore, StartOnlyDownloadMakesAPlayingEffectWithNothingElse)
{
    EffectDriver driver(FakeTick);
    g_tick = 777;
    EffectParams params;
    params.eff.dwDuration = 1000000;
    params.UseConstant(10000);
    Download(driver, EFFECT_SINE, params, DIEP_START);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(EFFECT_SINE, r.dwType);
    EXPECT_EQ(0u, r.eff.dwDuration);
    EXPECT_EQ(0u, r.eff.dwGain);
    EXPECT_EQ(nullptr, r.eff.lpEnvelope);
    EXPECT_EQ(nullptr, r.eff.lpvTypeSpecificParams);
    EXPECT_EQ(0u, r.periodic.dwMagnitude);
    EXPECT_EQ(0, r.cf.lMagnitude);
    EXPECT_EQ(1u, r.fPlaying);
    EXPECT_EQ(1u, r.dwIterations);
    EXPECT_EQ(777u, r.dwStartTick);
    // Without a duration it contributes nothing.
    EXPECT_EQ(0u, driver.MixingPass().ullSum);
}

TEST(EffectStore, EveryDownloadCopiesFlagsAndByteCountAndOnlyTheFlaggedMembers)
{
    EffectDriver driver(FakeTick);
    g_tick = 10;
    EffectParams params;
    params.eff.dwDuration = 2000000;
    params.eff.dwGain = 8000;
    params.UsePeriodic(10000, 0, 0, 100000);
    params.UseEnvelope(0, 100000, 0, 100000);
    const DWORD dwHandle = Download(driver, EFFECT_SQUARE, params, DIEP_ALLPARAMS | DIEP_START);

    EffectParams update;
    update.eff.dwDuration = 9000000;
    update.eff.dwGain = 2500;
    update.UseEnvelope(0, 0, 0, 0);
    update.eff.cbTypeSpecificParams = 12;
    update.periodic.dwMagnitude = 1;
    g_tick = 20;
    Download(driver, EFFECT_SQUARE, update, DIEP_GAIN, dwHandle);

    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(2500u, r.eff.dwGain);
    EXPECT_EQ(update.eff.dwFlags, r.eff.dwFlags);
    EXPECT_EQ(12u, r.eff.cbTypeSpecificParams);
    EXPECT_EQ(2000000u, r.eff.dwDuration);
    EXPECT_EQ(&r.env, r.eff.lpEnvelope);
    EXPECT_EQ(100000u, r.env.dwAttackTime);
    EXPECT_EQ(10000u, r.periodic.dwMagnitude);
    EXPECT_EQ(100000u, r.periodic.dwPeriod);
    EXPECT_EQ(1u, r.fPlaying);
    EXPECT_EQ(10u, r.dwStartTick);
    EXPECT_EQ(1, driver.cEffects);
}

// DirectInput sends partial updates (DIEP_DURATION alone, say): each flag
// takes its own members and leaves every other member as it was.
TEST(EffectStore, EachFlagAloneTakesItsMembersAndNoOther)
{
    // What a download can change, member by member.
    enum {
        DURATION,
        SAMPLEPERIOD,
        GAIN,
        TRIGGERBUTTON,
        TRIGGERREPEAT,
        AXES,
        ENVELOPE,
        TYPESPECIFIC,
        STARTDELAY,
        PLAY,
        FLAGS, // the DIEFFECT's own flags, which every download takes
        MEMBERS
    };
    const auto read = [](const EffectRecord& r) {
        return std::vector<DWORD>{r.eff.dwDuration,
                                  r.eff.dwSamplePeriod,
                                  r.eff.dwGain,
                                  r.eff.dwTriggerButton,
                                  r.eff.dwTriggerRepeatInterval,
                                  r.eff.cAxes,
                                  r.env.dwAttackLevel + r.env.dwAttackTime + r.env.dwFadeLevel +
                                      r.env.dwFadeTime,
                                  r.periodic.dwMagnitude + r.periodic.dwPeriod,
                                  r.eff.dwStartDelay,
                                  r.fPlaying + r.dwIterations + r.dwStartTick,
                                  r.eff.dwFlags};
    };
    const struct {
        DWORD dwFlag;
        std::vector<int> members;
    } rows[] = {
        {DIEP_DURATION, {DURATION}},
        {DIEP_SAMPLEPERIOD, {SAMPLEPERIOD}},
        {DIEP_GAIN, {GAIN}},
        {DIEP_TRIGGERBUTTON, {TRIGGERBUTTON}},
        {DIEP_TRIGGERREPEATINTERVAL, {TRIGGERREPEAT}},
        {DIEP_AXES, {AXES}},
        {DIEP_DIRECTION, {AXES}},
        {DIEP_ENVELOPE, {ENVELOPE}},
        {DIEP_TYPESPECIFICPARAMS, {TYPESPECIFIC}},
        {DIEP_STARTDELAY, {STARTDELAY}},
        {DIEP_START, {PLAY}},
        {DIEP_NORESTART, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "flag 0x" << std::hex << row.dwFlag);
        EffectDriver driver(FakeTick);
        g_tick = 10;
        // Every member differs between the two downloads; n picks the set.
        const auto fill = [](EffectParams& params, DWORD n) {
            // DIEFF_OBJECTOFFSETS | DIEFF_CARTESIAN, then DIEFF_OBJECTIDS | DIEFF_POLAR.
            params.eff.dwFlags = n == 1 ? 0x12 : 0x21;
            params.eff.dwDuration = 5000000 * n;
            params.eff.dwSamplePeriod = 10 * n + 1;
            params.eff.dwGain = 3000 * n;
            params.eff.dwTriggerButton = 10 * n + 2;
            params.eff.dwTriggerRepeatInterval = 10 * n + 3;
            params.eff.cAxes = n;
            params.eff.dwStartDelay = 10 * n + 4;
            params.UseEnvelope(1000 * n, 100000 * n, 2000 * n, 200000 * n);
            params.UsePeriodic(4000 * n, 0, 0, 100000 * n);
        };
        EffectParams before;
        fill(before, 1);
        const DWORD dwHandle = Download(driver, EFFECT_SQUARE, before, DIEP_ALLPARAMS);
        const std::vector<DWORD> old = read(Record(driver, 0));

        EffectParams after;
        fill(after, 2);
        g_tick = 20;
        Download(driver, EFFECT_SQUARE, after, row.dwFlag, dwHandle);
        const std::vector<DWORD> now = read(Record(driver, 0));

        for (int i = 0; i < MEMBERS; i++) {
            SCOPED_TRACE(testing::Message() << "member " << i);
            const bool fTaken =
                i == FLAGS || std::find(row.members.begin(), row.members.end(), i) != row.members.end();
            if (fTaken)
                EXPECT_NE(old[i], now[i]);
            else
                EXPECT_EQ(old[i], now[i]);
        }
        EXPECT_EQ(after.eff.dwFlags, now[FLAGS]);
        EXPECT_TRUE(StoreIsConsistent(driver));
    }
}

TEST(EffectStore, GeneralMembersFollowTheirFlags)
{
    EffectDriver driver(FakeTick);
    DWORD rgdwAxes[2] = {1, 2};
    LONG rglDirection[2] = {100, 200};
    EffectParams params;
    params.eff.dwDuration = 1;
    params.eff.dwSamplePeriod = 2;
    params.eff.dwGain = 3;
    params.eff.dwTriggerButton = 4;
    params.eff.dwTriggerRepeatInterval = 5;
    params.eff.cAxes = 2;
    params.eff.rgdwAxes = rgdwAxes;
    params.eff.rglDirection = rglDirection;
    params.eff.dwStartDelay = 6;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_ALLPARAMS);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(0u, r.eff.dwSize);
    EXPECT_EQ(1u, r.eff.dwDuration);
    EXPECT_EQ(2u, r.eff.dwSamplePeriod);
    EXPECT_EQ(3u, r.eff.dwGain);
    EXPECT_EQ(4u, r.eff.dwTriggerButton);
    EXPECT_EQ(5u, r.eff.dwTriggerRepeatInterval);
    EXPECT_EQ(2u, r.eff.cAxes);
    EXPECT_EQ(6u, r.eff.dwStartDelay);
    // Neither list is kept: the record points nowhere outside itself.
    EXPECT_EQ(nullptr, r.eff.rgdwAxes);
    EXPECT_EQ(nullptr, r.eff.rglDirection);
    EXPECT_TRUE(StoreIsConsistent(driver));

    params.eff.cAxes = 1;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DIRECTION, 1);
    EXPECT_EQ(1u, r.eff.cAxes);
}

TEST(EffectStore, FadeTimeTakesTheAttackTimeWhenTheFadeWouldStartInsideTheAttack)
{
    // All times in microseconds; 0 - 50000 wraps to a large value.
    const struct {
        DWORD dwDuration;
        DWORD dwAttackTime;
        DWORD dwFadeTime;
        DWORD dwFadeTimeKept;
    } rows[] = {
        {1000000, 800000, 500000, 800000}, {1000000, 300000, 500000, 500000},
        {1000000, 500000, 500000, 500000}, {0, 100000, 0, 100000},
        {0, 100000, 50000, 50000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.dwDuration << " " << row.dwAttackTime << " " << row.dwFadeTime);
        EffectDriver driver(FakeTick);
        EffectParams params;
        params.eff.dwDuration = row.dwDuration;
        params.UseEnvelope(1234, row.dwAttackTime, 5678, row.dwFadeTime);
        params.env.dwSize = 77;
        // The duration of this same download is the one compared against.
        Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION | DIEP_ENVELOPE);
        const EffectRecord& r = Record(driver, 0);
        EXPECT_EQ(row.dwFadeTimeKept, r.env.dwFadeTime);
        EXPECT_EQ(row.dwAttackTime, r.env.dwAttackTime);
        EXPECT_EQ(77u, r.env.dwSize);
        EXPECT_EQ(1234u, r.env.dwAttackLevel);
        EXPECT_EQ(5678u, r.env.dwFadeLevel);
        EXPECT_EQ(&r.env, r.eff.lpEnvelope);
    }
}

// DIEP_ENVELOPE with a null envelope deletes the one stored; without the
// flag a null envelope leaves it alone.
TEST(EffectStore, EnvelopeFlagWithoutEnvelopeDeletesTheEarlierOne)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.UseEnvelope(1, 2000, 3, 4000);
    const DWORD dwHandle = Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_ENVELOPE);
    params.eff.lpEnvelope = nullptr;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION, dwHandle);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(&r.env, r.eff.lpEnvelope);
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_ENVELOPE, dwHandle);
    EXPECT_EQ(nullptr, r.eff.lpEnvelope);
    EXPECT_TRUE(StoreIsConsistent(driver));
    // A later envelope is taken up again.
    params.UseEnvelope(5, 6000, 7, 8000);
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_ENVELOPE, dwHandle);
    EXPECT_EQ(&r.env, r.eff.lpEnvelope);
    EXPECT_EQ(6000u, r.env.dwAttackTime);
}

TEST(EffectStore, TypeSpecificParamsFillTheStorageOfTheType)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.UseConstant(-4321);
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_TYPESPECIFICPARAMS);
    params.UseRamp(-1, 2);
    Download(driver, EFFECT_RAMPFORCE, params, DIEP_TYPESPECIFICPARAMS);
    params.UsePeriodic(1, -2, 3, 4);
    Download(driver, EFFECT_SAWTOOTHDOWN, params, DIEP_TYPESPECIFICPARAMS);

    const EffectRecord& constant = Record(driver, 0);
    EXPECT_EQ(-4321, constant.cf.lMagnitude);
    EXPECT_EQ(&constant.cf, constant.eff.lpvTypeSpecificParams);
    const EffectRecord& ramp = Record(driver, 1);
    EXPECT_EQ(-1, ramp.ramp.lStart);
    EXPECT_EQ(2, ramp.ramp.lEnd);
    EXPECT_EQ(&ramp.ramp, ramp.eff.lpvTypeSpecificParams);
    const EffectRecord& saw = Record(driver, 2);
    EXPECT_EQ(0, std::memcmp(&params.periodic, &saw.periodic, sizeof(DIPERIODIC)));
    EXPECT_EQ(&saw.periodic, saw.eff.lpvTypeSpecificParams);
}

TEST(EffectStore, TypesWithoutParametersKeepNone)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.UsePeriodic(10000, 0, 0, 1000000);
    const DWORD dwHandle = Download(driver, EFFECT_SQUARE, params, DIEP_TYPESPECIFICPARAMS);
    params.UsePeriodic(5, 5, 5, 5);
    Download(driver, 8, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(8u, r.dwType);
    EXPECT_EQ(nullptr, r.eff.lpvTypeSpecificParams);
    EXPECT_EQ(10000u, r.periodic.dwMagnitude);

    // Above 11 the pointer is not even cleared.
    Download(driver, EFFECT_SQUARE, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    Download(driver, 12, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    EXPECT_EQ(&r.periodic, r.eff.lpvTypeSpecificParams);
}

TEST(EffectStore, TypeSpecificCopyIsBoundedByTheStorageAndByThePointer)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.UseRamp(111, 222);
    const DWORD dwHandle = Download(driver, EFFECT_RAMPFORCE, params, DIEP_TYPESPECIFICPARAMS);
    params.UsePeriodic(333, 444, 555, 666);
    Download(driver, EFFECT_SQUARE, params, DIEP_TYPESPECIFICPARAMS, dwHandle);

    // A 16-byte block for a constant force: only the 4 bytes of cf are taken,
    // and the ramp and periodic storage beside it stay as they were.
    const LONG rglBlock[4] = {-999, 1, 2, 3};
    params.eff.lpvTypeSpecificParams = const_cast<LONG*>(rglBlock);
    params.eff.cbTypeSpecificParams = sizeof(rglBlock);
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(-999, r.cf.lMagnitude);
    EXPECT_EQ(16u, r.eff.cbTypeSpecificParams);
    EXPECT_EQ(111, r.ramp.lStart);
    EXPECT_EQ(222, r.ramp.lEnd);
    EXPECT_EQ(333u, r.periodic.dwMagnitude);

    // A short block fills what it covers.
    const DWORD rgdwShort[2] = {9, 8};
    params.eff.lpvTypeSpecificParams = const_cast<DWORD*>(rgdwShort);
    params.eff.cbTypeSpecificParams = sizeof(rgdwShort);
    Download(driver, EFFECT_TRIANGLE, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    EXPECT_EQ(9u, r.periodic.dwMagnitude);
    EXPECT_EQ(8, r.periodic.lOffset);
    EXPECT_EQ(555u, r.periodic.dwPhase);
    EXPECT_EQ(666u, r.periodic.dwPeriod);

    // No block: nothing copied, the byte count still recorded.
    params.eff.lpvTypeSpecificParams = nullptr;
    params.eff.cbTypeSpecificParams = 16;
    Download(driver, EFFECT_TRIANGLE, params, DIEP_TYPESPECIFICPARAMS, dwHandle);
    EXPECT_EQ(9u, r.periodic.dwMagnitude);
    EXPECT_EQ(16u, r.eff.cbTypeSpecificParams);
    EXPECT_EQ(&r.periodic, r.eff.lpvTypeSpecificParams);
}

TEST(EffectStore, StartDownloadRestartsWithOneRepetitionAndLeavesTheDeviceStopped)
{
    EffectDriver driver(FakeTick);
    g_tick = 100;
    EffectParams params;
    const DWORD dwHandle = Download(driver, EFFECT_CONSTANTFORCE, params, 0);
    driver.StartEffect(0, dwHandle, 0, INFINITE);
    EXPECT_EQ(INFINITE, Record(driver, 0).dwIterations);
    driver.SendForceFeedbackCommand(0, DISFFC_STOPALL);

    g_tick = 200;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_START, dwHandle);
    g_tick = 300;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_START, dwHandle);
    const EffectRecord& r = Record(driver, 0);
    EXPECT_EQ(1u, r.fPlaying);
    EXPECT_EQ(1u, r.dwIterations);
    EXPECT_EQ(300u, r.dwStartTick);
    EXPECT_EQ(DWORD{DIGFFS_STOPPED}, DeviceState(driver) & DIGFFS_STOPPED);
}

TEST(EffectStore, StartEffectRestartsAndSoloStopsTheOthers)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.eff.dwDuration = INFINITE;
    g_tick = 50;
    for (int i = 0; i < 3; i++)
        Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION | DIEP_START);
    g_tick = 60;
    EXPECT_EQ(S_OK, driver.StartEffect(0, 2, DIES_SOLO, 7));
    EXPECT_EQ(0u, EffectStatus(driver, 1));
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 2));
    EXPECT_EQ(0u, EffectStatus(driver, 3));
    EXPECT_EQ(7u, Record(driver, 1).dwIterations);
    EXPECT_EQ(60u, Record(driver, 1).dwStartTick);
    EXPECT_EQ(0u, DeviceState(driver) & DIGFFS_STOPPED);

    // Without SOLO the others keep playing, with DIES_NODOWNLOAD too.
    driver.StartEffect(0, 1, 0, 1);
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 2));
    driver.StartEffect(0, 3, DIES_NODOWNLOAD, 1);
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 1));
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 2));
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 3));
}

// DIEGES_PLAYING while the play is under way, its start delay included, as
// long as the mixing pass would still play it; 0 once its count is used up,
// while stopped, and for a handle that names no effect.
TEST(EffectStore, StatusIsPlayingUntilThePlayIsOver)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.eff.dwDuration = 1000000;
    params.eff.dwStartDelay = 500000;
    g_tick = 10000;
    const DWORD dwHandle = Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION | DIEP_STARTDELAY);
    EXPECT_EQ(0u, EffectStatus(driver, dwHandle)) << "downloaded, not started";
    ASSERT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, 2));
    const struct {
        DWORD dwTick;
        DWORD dwStatus;
    } rows[] = {
        {10000, DIEGES_PLAYING}, {10499, DIEGES_PLAYING}, {12500, DIEGES_PLAYING}, {12501, 0}, {90000, 0}};
    for (const auto& row : rows) {
        g_tick = row.dwTick;
        EXPECT_EQ(row.dwStatus, EffectStatus(driver, dwHandle)) << "tick " << row.dwTick;
    }
    // Paused, the clocks stand: a play that would have ended meanwhile has not.
    g_tick = 12000;
    ASSERT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, 2));
    g_tick = 13000;
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    g_tick = 20000;
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));
    driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));
    EXPECT_EQ(S_OK, driver.StopEffect(0, dwHandle));
    EXPECT_EQ(0u, EffectStatus(driver, dwHandle));
    DWORD dwStatus = 0xCCCCCCCC;
    EXPECT_EQ(S_OK, driver.GetEffectStatus(0, dwHandle + 1, &dwStatus));
    EXPECT_EQ(0u, dwStatus);
}

TEST(EffectStore, UnknownNonzeroHandleIsRefusedAndChangesNothing)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.eff.dwDuration = 1000000;
    Download(driver, EFFECT_CONSTANTFORCE, params, DIEP_DURATION);
    DWORD dwHandle = 7;
    EXPECT_EQ(DIERR_INVALIDPARAM,
              driver.DownloadEffect(0, EFFECT_SINE, &dwHandle, &params.eff, DIEP_ALLPARAMS | DIEP_START));
    EXPECT_EQ(7u, dwHandle);
    EXPECT_EQ(1, driver.cEffects);
    EXPECT_EQ(2u, driver.dwNextHandle);
    EXPECT_EQ(EFFECT_CONSTANTFORCE, Record(driver, 0).dwType);
    EXPECT_EQ(0u, Record(driver, 0).fPlaying);
}

TEST(EffectStore, NullPointersAreRefusedAndChangeNothing)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    DWORD dwHandle = 0;
    EXPECT_EQ(E_POINTER, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, nullptr, DIEP_START));
    EXPECT_EQ(E_POINTER, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, nullptr, &params.eff, DIEP_START));
    EXPECT_EQ(E_POINTER, driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, nullptr, nullptr, DIEP_NODOWNLOAD));
    EXPECT_EQ(0, driver.cEffects);
    EXPECT_EQ(1u, driver.dwNextHandle);
    EXPECT_EQ(0u, dwHandle);
    EXPECT_EQ(E_POINTER, driver.GetEffectStatus(0, 1, nullptr));
}

TEST(EffectStore, ExhaustedHandlesRefuseNewEffectsButNeverHandOutZero)
{
    EffectDriver driver(FakeTick);
    driver.dwNextHandle = 0xFFFFFFFF;
    EffectParams params;
    EXPECT_EQ(0xFFFFFFFFu, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    DWORD dwHandle = 0;
    EXPECT_EQ(static_cast<HRESULT>(DIERR_DEVICEFULL),
              driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &params.eff, 0));
    EXPECT_EQ(0u, dwHandle);
    EXPECT_EQ(1, driver.cEffects);
    EXPECT_TRUE(StoreIsConsistent(driver));
    // The effect that exists can still be changed.
    dwHandle = 0xFFFFFFFF;
    EXPECT_EQ(S_OK, driver.DownloadEffect(0, EFFECT_SINE, &dwHandle, &params.eff, 0));
}

TEST(EffectStore, FailedAllocationLeavesTheStoreAndTheHandlesAsTheyWere)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    Download(driver, EFFECT_CONSTANTFORCE, params, 0);
    Download(driver, EFFECT_CONSTANTFORCE, params, 0);
    EffectRecord** rgpBefore = driver.rgpEffects;

    // The record itself, then the larger array.
    for (int n : {0, 1}) {
        SCOPED_TRACE(n);
        DWORD dwHandle = 0;
        HRESULT hr;
        {
            AllocationFailure failure(n);
            hr = driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &params.eff, DIEP_START);
        }
        EXPECT_EQ(E_OUTOFMEMORY, hr);
        EXPECT_EQ(0u, dwHandle);
        EXPECT_EQ(2, driver.cEffects);
        EXPECT_EQ(rgpBefore, driver.rgpEffects);
        EXPECT_EQ(3u, driver.dwNextHandle);
        EXPECT_TRUE(StoreIsConsistent(driver));
    }
    EXPECT_EQ(3u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
}

TEST(EffectStore, DestroyWithoutMemoryForASmallerArrayStillRemovesTheEffect)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    for (int i = 0; i < 3; i++)
        Download(driver, EFFECT_CONSTANTFORCE, params, 0);
    {
        AllocationFailure failure(0);
        EXPECT_EQ(S_OK, driver.DestroyEffect(0, 1));
    }
    ASSERT_EQ(2, driver.cEffects);
    EXPECT_EQ(2u, Record(driver, 0).dwHandle);
    EXPECT_EQ(3u, Record(driver, 1).dwHandle);
    EXPECT_TRUE(StoreIsConsistent(driver));
    EXPECT_EQ(4u, Download(driver, EFFECT_CONSTANTFORCE, params, 0));
    EXPECT_EQ(S_OK, driver.DestroyEffect(0, 3));
    EXPECT_TRUE(StoreIsConsistent(driver));
}
