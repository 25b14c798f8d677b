// The Rumble Thread seen from the controller: which Motor Reports a bound
// Effect Driver writes, and in what order, as effects play. Times come from
// GetTickCount, which moves in steps of about 16 ms, so timing checks keep
// margins of tens of milliseconds; the arithmetic itself is tested natively.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr DWORD WAIT_MS = 5000;  // for what must happen soon
constexpr double MARGIN_MS = 60; // on windows measured against the tick count

const ReportBytes ZERO_REPORT = {0, 0, 0, 0};

// No report beyond the first cReports arrives within dwMs.
bool SilentFor(const PipeController& controller, size_t cReports, DWORD dwMs)
{
    Sleep(dwMs);
    return controller.ReportCount() == cReports;
}

TEST(RumbleThread, FirstReportIsZeroAndNothingFollowsWhileNothingPlays)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_TRUE(SilentFor(bound.controller, 1, 200));
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports[0]));
    EXPECT_EQ(4u, reports[0].cb);
}

TEST(RumbleThread, OneConstantForceOf5000Gives7FAndTwoGiveFF)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    size_t iOne = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOne));
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    size_t iTwo = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(255, iOne + 1, WAIT_MS, &iTwo));
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    EXPECT_EQ((ReportBytes{0, 0, 0x7F, 0x7F}), BytesOf(reports[iOne]));
    EXPECT_EQ((ReportBytes{0, 0, 0xFF, 0xFF}), BytesOf(reports[iTwo]));
    // A steady mix sends nothing more.
    EXPECT_TRUE(SilentFor(bound.controller, iTwo + 1, 150));
}

TEST(RumbleThread, GainChangeAloneSendsNothingUntilTheSumChanges)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    size_t iOne = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOne));
    EXPECT_EQ(S_OK, bound.pDriver->SetGain(0, 5000));
    EXPECT_TRUE(SilentFor(bound.controller, iOne + 1, 150));
    // The next change of the sum carries the new gain: two forces of 5000 at
    // half gain give 127, not 255.
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    ASSERT_TRUE(bound.controller.WaitForReports(iOne + 2, WAIT_MS));
    EXPECT_EQ((ReportBytes{0, 0, 127, 127}), BytesOf(bound.controller.Reports()[iOne + 1]));
}

TEST(RumbleThread, ActuatorsOffGiveOneZeroReportAndSilenceUntilOn)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    size_t iOne = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOne));
    ASSERT_EQ(S_OK, bound.pDriver->SendForceFeedbackCommand(0, DISFFC_SETACTUATORSOFF));
    ASSERT_TRUE(bound.controller.WaitForReports(iOne + 2, WAIT_MS));
    EXPECT_TRUE(SilentFor(bound.controller, iOne + 2, 200));
    EXPECT_EQ(ZERO_REPORT, BytesOf(bound.controller.Reports()[iOne + 1]));
    // On again: the effect plays on where its clock stands.
    ASSERT_EQ(S_OK, bound.pDriver->SendForceFeedbackCommand(0, DISFFC_SETACTUATORSON));
    EXPECT_TRUE(bound.controller.WaitForStrength(127, iOne + 2, WAIT_MS));
}

TEST(RumbleThread, PauseSilencesTheMotorsUntilContinue)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    size_t iOne = 0, iPaused = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOne));
    ASSERT_EQ(S_OK, bound.pDriver->SendForceFeedbackCommand(0, DISFFC_PAUSE));
    ASSERT_TRUE(bound.controller.WaitForStrength(0, iOne + 1, WAIT_MS, &iPaused));
    EXPECT_EQ(iOne + 1, iPaused);
    EXPECT_TRUE(SilentFor(bound.controller, iPaused + 1, 150));
    ASSERT_EQ(S_OK, bound.pDriver->SendForceFeedbackCommand(0, DISFFC_CONTINUE));
    EXPECT_TRUE(bound.controller.WaitForStrength(127, iPaused + 1, WAIT_MS));
}

TEST(RumbleThread, StartDelayHoldsTheEffectBack)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    const DWORD dwHandle = DownloadConstant(bound.pDriver, 5000, 0, INFINITE, 300000);
    const LONGLONG llStart = PipeController::Now();
    ASSERT_EQ(S_OK, bound.pDriver->StartEffect(0, dwHandle, 0, 1));
    size_t iOn = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOn));
    EXPECT_EQ(1u, iOn) << "nothing is written during the delay";
    const double dDelayMs = PipeController::Milliseconds(llStart, bound.controller.Reports()[iOn].llTime);
    EXPECT_GE(dDelayMs, 300 - MARGIN_MS);
    EXPECT_LE(dDelayMs, 300 + MARGIN_MS);
}

TEST(RumbleThread, PlayCountBoundsTheWindowAndThePlay)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    const DWORD dwHandle = DownloadConstant(bound.pDriver, 5000, 0, 150000); // 150 ms
    ASSERT_EQ(S_OK, bound.pDriver->StartEffect(0, dwHandle, 0, 2));
    size_t iOn = 0, iOff = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOn));
    ASSERT_TRUE(bound.controller.WaitForStrength(0, iOn + 1, WAIT_MS, &iOff));
    EXPECT_EQ(iOn + 1, iOff) << "two repetitions of a constant force play as one";
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    const double dOnMs = PipeController::Milliseconds(reports[iOn].llTime, reports[iOff].llTime);
    EXPECT_GE(dOnMs, 300 - MARGIN_MS);
    EXPECT_LE(dOnMs, 300 + MARGIN_MS);
    EXPECT_TRUE(SilentFor(bound.controller, iOff + 1, 150));
    DWORD dwStatus = 0;
    EXPECT_EQ(S_OK, bound.pDriver->GetEffectStatus(0, dwHandle, &dwStatus));
    EXPECT_EQ(0u, dwStatus) << "the play is over";
}

TEST(RumbleThread, PlayedOutEffectSoundsAgainWhenADownloadLengthensIt)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DWORD dwHandle = DownloadConstant(bound.pDriver, 5000, DIEP_START, 100000); // 100 ms, once
    size_t iOn = 0, iOff = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS, &iOn));
    ASSERT_TRUE(bound.controller.WaitForStrength(0, iOn + 1, WAIT_MS, &iOff));
    EXPECT_TRUE(SilentFor(bound.controller, iOff + 1, 150));
    // Still playing, and now without end: the same play sounds again.
    DIEFFECT eff = {sizeof(eff)};
    eff.dwDuration = INFINITE;
    ASSERT_EQ(S_OK, bound.pDriver->DownloadEffect(0, 0, &dwHandle, &eff, DIEP_DURATION));
    EXPECT_TRUE(bound.controller.WaitForStrength(127, iOff + 1, WAIT_MS));
}

TEST(RumbleThread, EnvelopeRisesHoldsAndFalls)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DIENVELOPE env = {sizeof(env)};
    env.dwAttackTime = 300000;
    env.dwFadeTime = 300000;
    const DWORD dwHandle = DownloadConstant(bound.pDriver, 10000, 0, 1000000, 0, &env);
    ASSERT_EQ(S_OK, bound.pDriver->StartEffect(0, dwHandle, 0, 1));
    size_t iFull = 0, iEnd = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(255, 1, WAIT_MS, &iFull));
    ASSERT_TRUE(bound.controller.WaitForStrength(0, iFull + 1, WAIT_MS, &iEnd));
    const std::vector<MotorRecord> reports = bound.controller.Reports();

    // Rise: upward from the first report of the effect to 255, through
    // several levels.
    const std::vector<BYTE> strengths = StrengthsOf(reports);
    for (size_t i = 2; i <= iFull; ++i)
        EXPECT_GE(strengths[i], strengths[i - 1]) << "report " << i;
    EXPECT_GE(iFull, 6u);
    // The plateau is one steady sum, so one report; then the fall to 0.
    const size_t iLastFull = iFull;
    EXPECT_LT(strengths[iFull + 1], 255);
    for (size_t i = iLastFull + 1; i <= iEnd; ++i)
        EXPECT_LE(strengths[i], strengths[i - 1]) << "report " << i;
    EXPECT_GE(iEnd - iLastFull, 6u);

    const LONGLONG llFirst = reports[1].llTime;
    EXPECT_NEAR(300, PipeController::Milliseconds(llFirst, reports[iFull].llTime), MARGIN_MS);
    EXPECT_NEAR(700, PipeController::Milliseconds(llFirst, reports[iLastFull + 1].llTime), MARGIN_MS);
    EXPECT_NEAR(1000, PipeController::Milliseconds(llFirst, reports[iEnd].llTime), MARGIN_MS);
}

TEST(RumbleThread, LastReportAfterTheFinalReleaseIsZero)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 10000, DIEP_START);
    size_t iFull = 0;
    ASSERT_TRUE(bound.controller.WaitForStrength(255, 1, WAIT_MS, &iFull));
    EXPECT_EQ(0u, bound.Release());
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    ASSERT_EQ(iFull + 2, reports.size());
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports.back()));
    EXPECT_EQ(0u, bound.controller.OpenConnections());
}

TEST(RumbleThread, LastReportIsZeroAlsoWhenTheOneBeforeWasZero)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(0u, bound.Release());
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports[0]));
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports[1]));
}

TEST(RumbleThread, FailedWritesAreIgnoredAndReleaseStillReturns)
{
    BoundDriver bound;
    ASSERT_EQ(S_OK, bound.Bind());
    // The controller goes away: every write fails from now on.
    bound.controller.Stop();
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    Sleep(50);
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    Sleep(50);
    EXPECT_EQ(0u, bound.pDriver->Release());
    bound.pDriver = nullptr;
}

TEST(RumbleThread, EffectsOfOneDriverNeverReachAnothersController)
{
    BoundDriver first, second;
    ASSERT_EQ(S_OK, first.Bind());
    ASSERT_EQ(S_OK, second.Bind());
    DownloadConstant(first.pDriver, 5000, DIEP_START);
    DownloadConstant(second.pDriver, 10000, DIEP_START);
    EXPECT_TRUE(first.controller.WaitForStrength(127, 1, WAIT_MS));
    EXPECT_TRUE(second.controller.WaitForStrength(255, 1, WAIT_MS));
    first.Release();
    second.Release();
    EXPECT_EQ((std::vector<BYTE>{0, 127, 0}), StrengthsOf(first.controller.Reports()));
    EXPECT_EQ((std::vector<BYTE>{0, 255, 0}), StrengthsOf(second.controller.Reports()));
}

} // namespace
