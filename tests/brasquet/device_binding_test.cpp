// DeviceID: binding an Effect Driver to its controller, ending the binding
// and binding anew, without ever leaving a Rumble Thread or a device handle
// behind.
#include "driver_harness.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD WAIT_MS = 5000;
const ReportBytes ZERO_REPORT = {0, 0, 0, 0};

std::vector<MotorRecord> ReportsOfBinding(const std::vector<MotorRecord>& reports, DWORD iConnection)
{
    std::vector<MotorRecord> result;
    for (const MotorRecord& report : reports) {
        if (report.iConnection == iConnection) result.push_back(report);
    }
    return result;
}

TEST(DeviceBinding, BindingStartsOneThreadAndTheFinalReleaseEndsIt)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(cThreads + 1, ThreadCount());
    EXPECT_EQ(1u, bound.controller.OpenConnections());
    EXPECT_EQ(0u, bound.Release());
    EXPECT_EQ(cThreads, ThreadCount());
    EXPECT_EQ(0u, bound.controller.OpenConnections());
}

TEST(DeviceBinding, EndingTheBindingWritesZeroClosesTheDeviceAndEndsTheThread)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    const DWORD dwHandle = DownloadConstant(bound.pDriver, 5000, DIEP_START);
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS));
    EXPECT_EQ(S_OK, Unbind(bound.pDriver));
    EXPECT_EQ(cThreads, ThreadCount());
    EXPECT_TRUE(bound.controller.WaitForNoConnection(WAIT_MS));
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports.back()));
    // The effects stay with the driver; only the device is gone.
    DWORD dwStatus = 0;
    EXPECT_EQ(S_OK, bound.pDriver->GetEffectStatus(0, dwHandle, &dwStatus));
    EXPECT_EQ(static_cast<DWORD>(DIEGES_PLAYING), dwStatus);
    Sleep(100);
    EXPECT_EQ(reports.size(), bound.controller.ReportCount());
    // Ending again, or the final Release, has nothing left to end.
    EXPECT_EQ(S_OK, Unbind(bound.pDriver));
    EXPECT_EQ(0u, bound.Release());
    EXPECT_EQ(reports.size(), bound.controller.ReportCount());
}

TEST(DeviceBinding, EndingWithoutABindingSucceeds)
{
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    EXPECT_EQ(S_OK, Unbind(pDriver));
    EXPECT_EQ(0u, pDriver->Release());
}

TEST(DeviceBinding, BindingAgainEndsTheEarlierBindingFirst)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS));
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(cThreads + 1, ThreadCount());
    // The first binding's last report was written before DeviceID returned,
    // but the controller may read it after the new binding's first one.
    ASSERT_TRUE(bound.controller.WaitForStrength(0, 2, WAIT_MS));
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    const std::vector<MotorRecord> first = ReportsOfBinding(reports, 1);
    const std::vector<MotorRecord> second = ReportsOfBinding(reports, 2);
    EXPECT_EQ((std::vector<BYTE>{0, 127, 0}), StrengthsOf(first));
    // The new thread starts afresh: its first report carries what plays.
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(127, second.front().Strength());
    EXPECT_LT(first.back().llTime, second.front().llTime);
    EXPECT_EQ(1u, bound.controller.OpenConnections());
    EXPECT_EQ(0u, bound.Release());
    EXPECT_EQ(cThreads, ThreadCount());
}

TEST(DeviceBinding, RebindingToAPathThatDoesNotOpenEndsTheOldBindingAndFails)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(E_FAIL, BindTo(bound.pDriver, L"\\\\.\\pipe\\ffhost-no-such-controller"));
    EXPECT_EQ(cThreads, ThreadCount());
    EXPECT_TRUE(bound.controller.WaitForNoConnection(WAIT_MS));
    EXPECT_EQ(ZERO_REPORT, BytesOf(bound.controller.Reports().back()));
}

TEST(DeviceBinding, PathThatDoesNotOpenFailsWithoutAThread)
{
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    const DWORD cThreads = ThreadCount();
    EXPECT_EQ(E_FAIL, BindTo(pDriver, L"\\\\.\\pipe\\ffhost-no-such-controller"));
    EXPECT_EQ(E_FAIL, BindTo(pDriver, L"C:\\no\\such\\device"));
    EXPECT_EQ(cThreads, ThreadCount());
    EXPECT_EQ(0u, pDriver->Release());
}

TEST(DeviceBinding, MissingInitInfoOrPathIsInvalidAndOpensNothing)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    DIHIDFFINITINFO init = {};
    init.dwSize = sizeof(init);
    init.pwszDeviceInterface = nullptr;
    EXPECT_EQ(E_INVALIDARG, bound.pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, bound.pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init));
    EXPECT_EQ(cThreads, ThreadCount());
    Sleep(50);
    EXPECT_TRUE(bound.controller.Connections().empty());

    // A bad call while bound leaves the binding as it was.
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(E_INVALIDARG, bound.pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, nullptr));
    EXPECT_EQ(1u, bound.controller.OpenConnections());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    EXPECT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS));
    EXPECT_EQ(cThreads + 1, ThreadCount());
}

TEST(DeviceBinding, ReleaseWithoutDeviceIdHasNoThreadToWaitFor)
{
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    const DWORD cThreads = ThreadCount();
    DownloadConstant(pDriver, 5000, DIEP_START);
    EXPECT_EQ(cThreads, ThreadCount());
    EXPECT_EQ(0u, pDriver->Release());
}

} // namespace
