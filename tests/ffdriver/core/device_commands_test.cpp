// The device-wide operations: versions, gain, the six commands and the state
// GetForceFeedbackState reports, pause and continue included.
#include "ffdriver/effect_driver.h"
#include "ffdriver/mixing.h"

#include "tests/ffdriver/core/test_support.h"

#include <gtest/gtest.h>

namespace {

// A device that cannot tell its safety switch reports neither of its bits.
constexpr DWORD ALWAYS_ON = DIGFFS_POWERON | DIGFFS_USERFFSWITCHON;

// A ramp from 10000 to -10000 over one second: its force tells its position.
DWORD DownloadRamp(EffectDriver& driver)
{
    EffectParams params;
    params.eff.dwDuration = 1000000;
    params.UseRamp(10000, -10000);
    return DownloadPlaying(driver, EFFECT_RAMPFORCE, params);
}

// The contribution of the ramp at a position.
std::uint64_t RampAt(DWORD positionMs)
{
    const DWORD g = (1000 - positionMs) * 100 / 1000;
    return ContributionFromForce((10000 * static_cast<LONG>(g) - 10000 * (100 - static_cast<LONG>(g))) / 100);
}

} // namespace

TEST(DeviceCommands, NewDriverReports0x453AndNoLoad)
{
    EffectDriver driver(FakeTick);
    DIDEVICESTATE ds = {sizeof(ds), 0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(S_OK, driver.GetForceFeedbackState(0, &ds));
    EXPECT_EQ(0x453u, ds.dwState);
    EXPECT_EQ(0u, ds.dwLoad);
    EXPECT_EQ(10000u, driver.dwGain);
    EXPECT_EQ(1u, driver.fActuatorsOn);
    EXPECT_EQ(1u, driver.dwNextHandle);
    EXPECT_EQ(1u, driver.fStopped);
    EXPECT_EQ(0u, driver.fPaused);
    EXPECT_EQ(0u, driver.dwPauseTick);
}

TEST(DeviceCommands, StateBitsFollowTheCommands)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    DWORD dwHandle = 0;
    const struct {
        const char* step;
        DWORD dwCommand; // 0: start effect 1 instead
        DWORD dwState;
    } rows[] = {
        {"actuators off", DISFFC_SETACTUATORSOFF, DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_ACTUATORSOFF},
        {"actuators on", DISFFC_SETACTUATORSON, DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_ACTUATORSON},
        {"pause", DISFFC_PAUSE, DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_PAUSED | DIGFFS_ACTUATORSON},
        {"continue", DISFFC_CONTINUE, DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_ACTUATORSON},
        {"start", 0, DIGFFS_ACTUATORSON},
        {"pause", DISFFC_PAUSE, DIGFFS_PAUSED | DIGFFS_ACTUATORSON},
        {"stop all", DISFFC_STOPALL, DIGFFS_STOPPED | DIGFFS_ACTUATORSON},
        {"start", 0, DIGFFS_ACTUATORSON},
        {"pause", DISFFC_PAUSE, DIGFFS_PAUSED | DIGFFS_ACTUATORSON},
        {"actuators off", DISFFC_SETACTUATORSOFF, DIGFFS_PAUSED | DIGFFS_ACTUATORSOFF},
        {"reset", DISFFC_RESET, DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_ACTUATORSOFF},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        if (row.dwCommand == 0) {
            if (driver.cEffects == 0)
                driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &params.eff, DIEP_START);
            EXPECT_EQ(S_OK, driver.StartEffect(0, dwHandle, 0, 1));
        } else {
            EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, row.dwCommand));
        }
        EXPECT_EQ(row.dwState | ALWAYS_ON, DeviceState(driver));
    }
}

TEST(DeviceCommands, UnknownOrCombinedCommandsAreRefusedAndChangeNothing)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    params.eff.dwDuration = INFINITE;
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, params);
    driver.StartEffect(0, 1, 0, 1);
    for (DWORD dwCommand : {0x00u, 0x03u, 0x0Cu, 0x30u, 0x40u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(dwCommand);
        EXPECT_EQ(E_NOTIMPL, driver.SendForceFeedbackCommand(0, dwCommand));
        EXPECT_EQ(1, driver.cEffects);
        EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 1));
        EXPECT_EQ(DIGFFS_ACTUATORSON | ALWAYS_ON, DeviceState(driver));
    }
}

TEST(DeviceCommands, StopAllKeepsTheEffectsAndResetRemovesThem)
{
    EffectDriver driver(FakeTick);
    EffectParams params;
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, params);
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, params);
    driver.SetGain(0, 4000);
    driver.SendForceFeedbackCommand(0, DISFFC_SETACTUATORSOFF);

    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_STOPALL));
    EXPECT_EQ(2, driver.cEffects);
    EXPECT_EQ(0u, EffectStatus(driver, 1));
    EXPECT_EQ(0u, EffectStatus(driver, 2));

    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_RESET));
    EXPECT_EQ(0, driver.cEffects);
    EXPECT_EQ(nullptr, driver.rgpEffects);
    EXPECT_EQ(DIGFFS_EMPTY | DIGFFS_STOPPED | DIGFFS_ACTUATORSOFF | ALWAYS_ON, DeviceState(driver));
    // Reset keeps the gain, the actuators and the handle sequence.
    EXPECT_EQ(4000u, driver.dwGain);
    EXPECT_EQ(0u, driver.fActuatorsOn);
    EXPECT_EQ(3u, DownloadPlaying(driver, EFFECT_CONSTANTFORCE, params));
}

TEST(DeviceCommands, GainIsClampedTo1Through10000)
{
    EffectDriver driver(FakeTick);
    const struct {
        DWORD dwGain;
        HRESULT hr;
        DWORD dwStored;
    } rows[] = {{0, DI_TRUNCATED, 1},         {1, S_OK, 1},
                {5000, S_OK, 5000},           {10000, S_OK, 10000},
                {10001, DI_TRUNCATED, 10000}, {0xFFFFFFFF, DI_TRUNCATED, 10000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dwGain);
        EXPECT_EQ(row.hr, driver.SetGain(0, row.dwGain));
        EXPECT_EQ(row.dwStored, driver.dwGain);
        EXPECT_EQ(row.dwStored, driver.MixingPass().dwGain);
    }
}

TEST(DeviceCommands, VersionsNeedTheExactSize)
{
    EffectDriver driver(FakeTick);
    DIDRIVERVERSIONS vers = {20, 7, 8, 9};
    EXPECT_EQ(E_INVALIDARG, driver.GetVersions(&vers));
    EXPECT_EQ(7u, vers.dwFirmwareRevision);
    EXPECT_EQ(8u, vers.dwHardwareRevision);
    EXPECT_EQ(9u, vers.dwFFDriverVersion);
    vers.dwSize = sizeof(vers);
    EXPECT_EQ(S_OK, driver.GetVersions(&vers));
    EXPECT_EQ(1u, vers.dwFirmwareRevision);
    EXPECT_EQ(1u, vers.dwHardwareRevision);
    // The product's version, a byte each for minor and patch.
    EXPECT_EQ(DWORD{PROJECT_VERSION_MAJOR} << 16 | DWORD{PROJECT_VERSION_MINOR} << 8 | PROJECT_VERSION_PATCH,
              vers.dwFFDriverVersion);
    EXPECT_EQ(E_POINTER, driver.GetVersions(nullptr));
}

TEST(DeviceCommands, StateNeedsTheExactSize)
{
    EffectDriver driver(FakeTick);
    DIDEVICESTATE ds = {16, 5, 6};
    EXPECT_EQ(E_INVALIDARG, driver.GetForceFeedbackState(0, &ds));
    EXPECT_EQ(5u, ds.dwState);
    EXPECT_EQ(6u, ds.dwLoad);
    EXPECT_EQ(E_POINTER, driver.GetForceFeedbackState(0, nullptr));
}

TEST(DeviceCommands, EscapeIsNotImplemented)
{
    EffectDriver driver(FakeTick);
    DIEFFESCAPE esc = {sizeof(esc)};
    EXPECT_EQ(E_NOTIMPL, driver.Escape(0, 1, &esc));
    EXPECT_EQ(E_NOTIMPL, driver.Escape(0, 0, nullptr));
}

TEST(DeviceCommands, PauseThenContinueMovesEveryClockByThePause)
{
    EffectDriver driver(FakeTick);
    g_tick = 1000;
    EffectParams params;
    DownloadPlaying(driver, EFFECT_CONSTANTFORCE, params);
    g_tick = 1100;
    DWORD dwHandle = 0;
    driver.DownloadEffect(0, EFFECT_CONSTANTFORCE, &dwHandle, &params.eff, 0); // never started
    g_tick = 1200;
    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_PAUSE));
    EXPECT_EQ(1200u, driver.dwPauseTick);
    g_tick = 1700;
    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE));
    EXPECT_EQ(1500u, driver.rgpEffects[0]->dwStartTick);
    EXPECT_EQ(500u, driver.rgpEffects[1]->dwStartTick);
    EXPECT_EQ(0u, driver.fPaused);
}

TEST(DeviceCommands, ContinueWithoutPauseKeepsClocks)
{
    EffectDriver driver(FakeTick);
    g_tick = 1000;
    const DWORD dwHandle = DownloadRamp(driver);
    g_tick = 1100;
    EXPECT_EQ(S_OK, driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE));
    EXPECT_EQ(1000u, driver.rgpEffects[0]->dwStartTick);
    EXPECT_EQ(RampAt(100), driver.MixingPass().ullSum);

    // A pause that STOPALL or RESET ended has nothing left to continue.
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    driver.SendForceFeedbackCommand(0, DISFFC_STOPALL);
    driver.StartEffect(0, dwHandle, 0, 1);
    g_tick = 1300;
    driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
    EXPECT_EQ(1100u, driver.rgpEffects[0]->dwStartTick);
}

TEST(DeviceCommands, PausedDeviceIsSilentAndResumesWhereThePauseBegan)
{
    EffectDriver driver(FakeTick);
    g_tick = 5000;
    const DWORD dwHandle = DownloadRamp(driver);
    g_tick = 5100;
    EXPECT_EQ(RampAt(100), driver.MixingPass().ullSum);
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    EXPECT_EQ(0u, driver.MixingPass().ullSum);
    g_tick = 5600;
    EXPECT_EQ(0u, driver.MixingPass().ullSum);
    // Still reported as playing while the motors rest.
    EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, dwHandle));
    driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
    EXPECT_EQ(RampAt(100), driver.MixingPass().ullSum);
    g_tick = 5650;
    EXPECT_EQ(RampAt(150), driver.MixingPass().ullSum);
}

TEST(DeviceCommands, SecondPauseKeepsTheTickOfTheFirst)
{
    EffectDriver driver(FakeTick);
    g_tick = 5000;
    DownloadRamp(driver);
    g_tick = 5100;
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    g_tick = 5400;
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    EXPECT_EQ(5100u, driver.dwPauseTick);
    g_tick = 5900;
    driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
    EXPECT_EQ(RampAt(100), driver.MixingPass().ullSum);
}

TEST(DeviceCommands, EffectStartedWhilePausedBeginsAtContinue)
{
    // Paused from 2000 to 2800. An effect started at any tick of the pause,
    // both ends included, begins at the continue; one started before it is
    // moved on by the pause.
    const struct {
        DWORD dwStartTick;
        DWORD dwStartAfterContinue;
    } rows[] = {
        {2300, 2800},
        {2000, 2800}, // in the tick of the pause
        {2800, 2800}, // in the tick of the continue
        {1999, 2799},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dwStartTick);
        EffectDriver driver(FakeTick);
        g_tick = row.dwStartTick < 2000 ? row.dwStartTick : 2000;
        if (row.dwStartTick < 2000) DownloadRamp(driver);
        g_tick = 2000;
        driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
        g_tick = row.dwStartTick;
        if (row.dwStartTick >= 2000) DownloadRamp(driver);
        EXPECT_EQ(0u, driver.MixingPass().ullSum);
        g_tick = 2800;
        driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
        EXPECT_EQ(row.dwStartAfterContinue, driver.rgpEffects[0]->dwStartTick);
        g_tick = 2810;
        EXPECT_EQ(RampAt(2810 - row.dwStartAfterContinue), driver.MixingPass().ullSum);
        EXPECT_EQ(DWORD{DIEGES_PLAYING}, EffectStatus(driver, 1));
    }
}

TEST(DeviceCommands, ContinueAcrossTheTickCountWrapMovesClocksByThePause)
{
    EffectDriver driver(FakeTick);
    g_tick = 0xFFFFFF00;
    DownloadRamp(driver);
    g_tick = 0xFFFFFF64; // 100 ms in
    driver.SendForceFeedbackCommand(0, DISFFC_PAUSE);
    g_tick = 0x00000158; // 500 ms later, past the wrap
    driver.SendForceFeedbackCommand(0, DISFFC_CONTINUE);
    EXPECT_EQ(0x000000F4u, driver.rgpEffects[0]->dwStartTick);
    EXPECT_EQ(RampAt(100), driver.MixingPass().ullSum);
}
