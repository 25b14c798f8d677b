// RunDeviceOperation over a HID world the test makes up: what Wine's devices
// cannot show (two controllers, devices that refuse to open or to answer).
#include "tray/device_list.h"

#include "tests/tray/fake_controllers.h"
#include "tests/tray/registry_sandbox.h"
#include "tray/reload_request.h"
#include "tray/tray_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

namespace {

class DeviceOperationTest : public RegistrySandbox {
protected:
    void SetUp() override
    {
        RegistrySandbox::SetUp();
        saved_ = g_platform;
        InstallFakeControllers();
    }
    void TearDown() override
    {
        // The blocks of the requests still pending go back, as they would
        // once the controller took them at last.
        EndStalledRequests();
        ReleaseEndedReloadRequests();
        ExpectEveryControllerClosed();
        g_platform = saved_;
        RegistrySandbox::TearDown();
    }

    // Runs the operation with the list given; every device opened must be
    // closed again and the device set released.
    LONG Run(const std::vector<DWORD>& entries, DeviceOperation op)
    {
        g_cDeviceSetsDestroyed = 0;
        SetDword(L"Supported Device Count", static_cast<DWORD>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            SetDword((L"Supported Device Attribute " + std::to_wstring(i)).c_str(), entries[i]);
        }
        SupportedDeviceList list;
        const LONG result = list.RunDeviceOperation(op);
        ExpectEveryControllerClosed();
        EXPECT_EQ(g_fNoDeviceSet ? 0 : 1, g_cDeviceSetsDestroyed);
        return result;
    }
    // One count per device, in the order of the enumeration.
    static std::vector<int> Tally(int FakeController::*pCount)
    {
        std::vector<int> counts;
        for (const FakeController& controller : g_fakeControllers) {
            counts.push_back(controller.*pCount);
        }
        return counts;
    }

private:
    TrayPlatform saved_;
};

using Counts = std::vector<int>;

TEST_F(DeviceOperationTest, EveryMatchingControllerReceivesOneAllZero32ByteReloadRequest)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x1234, 0x5678}, {0x845E, 0x0002}, {0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001, 0x845E0002}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0, 1, 1}), Tally(&FakeController::cRequests));
    // Every device opened with access 0 for its ids, the stranger too, and
    // closed again; only a controller opened again to write.
    EXPECT_EQ((Counts{2, 1, 2, 2}), Tally(&FakeController::cOpens));
    EXPECT_EQ((Counts{1, 0, 1, 1}), Tally(&FakeController::cReadWriteOpens));
}

// The class driver takes a feature report at the collection's length: the
// request is padded with zeros to it, and is 32 bytes where the caps cannot
// be read or name no length.
TEST_F(DeviceOperationTest, ReloadRequestHasTheLengthOfTheCollectionsFeatureReport)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}, {0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[0].cbFeatureReport = 64;
    g_fakeControllers[1].cbFeatureReport = 33;
    g_fakeControllers[2].fCaps = false;
    g_fakeControllers[3].cbFeatureReport = 0;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD)); // the fakes check each length and every byte
    EXPECT_EQ((Counts{1, 1, 1, 1}), Tally(&FakeController::cRequests));
    EXPECT_EQ((Counts{1, 1, 0, 1}), Tally(&FakeController::cPreparsed)); // and freed again
}

// A remapper or a game that opened the controller without sharing refuses
// every open for reading or writing, but not one of access 0: the controller
// is still present, and only the Reload Request cannot reach it.
TEST_F(DeviceOperationTest, ControllerHeldWithoutSharingIsPresentAndGetsNoRequest)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[0].fShared = false;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_PRESENCE));
    EXPECT_EQ((Counts{0, 0}), Tally(&FakeController::cReadWriteOpens));
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{0, 1}), Tally(&FakeController::cRequests));

    g_fakeControllers.pop_back();
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_PRESENCE));
}

// The UI thread waits for each request a bounded time, whatever the
// controller does with it, and every other controller gets its own. A
// request that not even its cancellation ended keeps its block and handle
// until the controller completes it; the next round gives them back.
TEST_F(DeviceOperationTest, ControllerThatStallsOrRefusesKeepsNoOtherFromItsRequest)
{
    const struct {
        RequestAnswer answer;
        size_t cWaits;
        int cCancels;
        int cStalled;
    } cases[] = {
        {REQUEST_TAKEN, 1, 0, 0},
        {REQUEST_REFUSED, 0, 0, 0}, // costs no wait at all
        {REQUEST_CANCELLED, 2, 1, 0},
        {REQUEST_STALLS, 2, 1, 1},
    };
    double msLongest = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}, {0x845E, 0x0001}};
        g_fakeControllers[0].answer = c.answer;
        g_fakeControllers[1].answer = c.answer;

        LARGE_INTEGER qpcStart, qpcEnd, qpcFrequency;
        QueryPerformanceCounter(&qpcStart);
        EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
        QueryPerformanceCounter(&qpcEnd);
        QueryPerformanceFrequency(&qpcFrequency);
        msLongest =
            std::max(msLongest, (qpcEnd.QuadPart - qpcStart.QuadPart) * 1000.0 / qpcFrequency.QuadPart);

        EXPECT_EQ((Counts{1, 1, 1}), Tally(&FakeController::cRequests));
        EXPECT_EQ((Counts{c.cCancels, c.cCancels, 0}), Tally(&FakeController::cCancels));
        EXPECT_EQ((Counts{c.cStalled, c.cStalled, 0}), Tally(&FakeController::cStalled));
        for (size_t i = 0; i < g_fakeControllers.size(); i++) {
            const std::vector<DWORD>& waits = g_fakeControllers[i].rgdwWaitsMs;
            EXPECT_EQ(i < 2 ? c.cWaits : 1, waits.size()) << i;
            EXPECT_LE(std::accumulate(waits.begin(), waits.end(), 0ull), 250u)
                << testing::PrintToString(waits);
        }

        // The pending blocks are not used again by the next round, and go
        // back once the controller took their requests.
        EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
        EXPECT_EQ((Counts{2, 2, 2}), Tally(&FakeController::cRequests));
        EXPECT_EQ((Counts{2 * c.cStalled, 2 * c.cStalled, 0}), Tally(&FakeController::cStalled));
        EndStalledRequests();
        g_fakeControllers[0].answer = g_fakeControllers[1].answer = REQUEST_TAKEN;
        EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD)); // and every handle is closed
        EXPECT_EQ((Counts{3, 3, 3}), Tally(&FakeController::cRequests));
    }
    // A figure, not a verdict: the system's own waits, under this system's
    // timer, for two controllers that stall or refuse and one that does not.
    printf("longest round of Reload Requests: %.1f ms\n", msLongest);
}

// A controller that takes none of its requests holds a few blocks at most:
// it gets no more requests until one ends, the others get every one.
TEST_F(DeviceOperationTest, StalledControllerHoldsAFewRequestsAtMost)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[0].answer = REQUEST_STALLS;
    for (int i = 0; i < MAX_HELD_REQUESTS_PER_CONTROLLER + 2; i++)
        EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{MAX_HELD_REQUESTS_PER_CONTROLLER, MAX_HELD_REQUESTS_PER_CONTROLLER + 2}),
              Tally(&FakeController::cRequests));
    EXPECT_EQ((Counts{MAX_HELD_REQUESTS_PER_CONTROLLER, 0}), Tally(&FakeController::cStalled));

    // Once they end, the controller is sent requests again.
    EndStalledRequests();
    g_fakeControllers[0].answer = REQUEST_TAKEN;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{MAX_HELD_REQUESTS_PER_CONTROLLER + 1, MAX_HELD_REQUESTS_PER_CONTROLLER + 3}),
              Tally(&FakeController::cRequests));

    // However many controllers stall, the blocks held stay bounded: past the
    // bound no request goes out.
    g_fakeControllers.assign(MAX_HELD_REQUESTS + 1, {0x845E, 0x0001});
    for (FakeController& controller : g_fakeControllers)
        controller.answer = REQUEST_STALLS;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    Counts cExpected(MAX_HELD_REQUESTS + 1, 1);
    cExpected.back() = 0;
    EXPECT_EQ(cExpected, Tally(&FakeController::cStalled));
}

TEST_F(DeviceOperationTest, PresenceSendsNothing)
{
    g_fakeControllers = {{0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_PRESENCE));
    EXPECT_EQ(0, Run({0x845E0002}, DEVOP_PRESENCE));
    EXPECT_EQ((Counts{0}), Tally(&FakeController::cRequests));
}

TEST_F(DeviceOperationTest, DeviceMatchingSeveralEntriesIsHandledOnce)
{
    g_fakeControllers = {{0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001, 0x845E0001, 0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1}), Tally(&FakeController::cRequests));
}

TEST_F(DeviceOperationTest, DeviceThatCannotBeOpenedCountsForNothing)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[0].fOpens = false;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{0, 1}), Tally(&FakeController::cRequests));

    g_fakeControllers.pop_back();
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, FailingDetailQueryEndsTheWalkWithTheResultSoFar)
{
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[1].fDetail = false;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0, 0}), Tally(&FakeController::cRequests));
    EXPECT_EQ((Counts{2, 0, 0}), Tally(&FakeController::cOpens));

    g_fakeControllers[0].fDetail = false;
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, DeviceWhoseAttributesCannotBeReadCountsForNothing)
{
    // Neither a zero entry (a missing attribute) nor the ids of the device
    // before it may match a device that gives no ids.
    g_fakeControllers = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    g_fakeControllers[1].fAttributes = false;
    EXPECT_EQ(1, Run({0x00000000, 0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0}), Tally(&FakeController::cRequests));

    g_fakeControllers.erase(g_fakeControllers.begin());
    EXPECT_EQ(0, Run({0x00000000, 0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, NoDeviceSetMeansNoDevice)
{
    g_fakeControllers = {{0x845E, 0x0001}};
    g_fNoDeviceSet = true;
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{0}), Tally(&FakeController::cOpens));
}

} // namespace
