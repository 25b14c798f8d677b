// The thread routine called directly on an Effect Driver whose fields the
// test sets up: what it writes when told to end, and whether it cycles or
// waits for a call.
// Linked with the driver's objects instead of loading the DLL, so the
// process-wide lock is made here, as the library's entry point would.
#include "driver_harness.h"

#include "ffdriver/effect_driver_object.h"

#include <gtest/gtest.h>

#include <new>

namespace {

class RumbleThreadProcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateProcessLock();
        ASSERT_TRUE(controller_.Start());
        pDriver_ = new (std::nothrow) EffectDriverObject;
        ASSERT_NE(nullptr, pDriver_);
        pDriver_->hDevice =
            CreateFileW(controller_.Path(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, pDriver_->hDevice);
    }
    void TearDown() override
    {
        // The handle is the test's: the driver has no binding to end.
        if (pDriver_) {
            CloseHandle(pDriver_->hDevice);
            pDriver_->hDevice = nullptr;
            pDriver_->Release();
        }
        controller_.Stop();
        DeleteProcessLock();
    }

    PipeController controller_;
    EffectDriverObject* pDriver_ = nullptr;
};

TEST_F(RumbleThreadProcTest, ShutdownBeforeTheFirstCycleWritesOnlyTheZeroReport)
{
    // A playing effect would make the first cycle report 127.
    DownloadConstant(pDriver_, 5000, DIEP_START);
    pDriver_->fShutdown.store(1);
    EXPECT_EQ(0u, RumbleThreadProc(pDriver_));
    // Done with the driver: the end of a binding may free it now.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pDriver_->hThreadDone, 0));
    ASSERT_TRUE(controller_.WaitForReports(1, 5000));
    Sleep(50);
    const std::vector<MotorRecord> reports = controller_.Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ((ReportBytes{0, 0, 0, 0}), BytesOf(reports[0]));
    EXPECT_EQ(4u, reports[0].cb);
}

TEST_F(RumbleThreadProcTest, RunsUntilShutdownAndEndsWithZero)
{
    DownloadConstant(pDriver_, 5000, DIEP_START);
    HANDLE hThread = CreateThread(nullptr, 0, RumbleThreadProc, pDriver_, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    EXPECT_TRUE(controller_.WaitForStrength(127, 0, 5000));
    pDriver_->fShutdown.store(1);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 5000));
    DWORD dwExitCode = STILL_ACTIVE;
    GetExitCodeThread(hThread, &dwExitCode);
    CloseHandle(hThread);
    EXPECT_EQ(0u, dwExitCode);
    ASSERT_TRUE(controller_.WaitForReports(2, 5000));
    EXPECT_EQ((std::vector<BYTE>{127, 0}), StrengthsOf(controller_.Reports()));
}

TEST_F(RumbleThreadProcTest, IdleThreadWaitsForItsEventBeforeItSeesShutdown)
{
    HANDLE hThread = CreateThread(nullptr, 0, RumbleThreadProc, pDriver_, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    ASSERT_TRUE(controller_.WaitForReports(1, 5000));
    // Nothing plays: the thread sleeps on hWake, not in 2 ms cycles, so the
    // flag alone goes unnoticed.
    pDriver_->fShutdown.store(1);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hThread, 200));
    SetEvent(pDriver_->hWake);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 5000));
    CloseHandle(hThread);
    ASSERT_TRUE(controller_.WaitForReports(2, 5000));
    EXPECT_EQ((std::vector<BYTE>{0, 0}), StrengthsOf(controller_.Reports()));
}

TEST_F(RumbleThreadProcTest, DelayedEffectKeepsTheThreadCycling)
{
    // Silent during its delay, yet due to sound without another call.
    DownloadConstant(pDriver_, 5000, DIEP_START, INFINITE, 60000000);
    HANDLE hThread = CreateThread(nullptr, 0, RumbleThreadProc, pDriver_, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    ASSERT_TRUE(controller_.WaitForReports(1, 5000));
    pDriver_->fShutdown.store(1);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 5000));
    CloseHandle(hThread);
    ASSERT_TRUE(controller_.WaitForReports(2, 5000));
    EXPECT_EQ((std::vector<BYTE>{0, 0}), StrengthsOf(controller_.Reports()));
}

// Process exit ends every other thread before the libraries'
// DLL_PROCESS_DETACH, from which a host may release the driver: its thread
// will never report again, and the motors must still stop.
TEST_F(RumbleThreadProcTest, BindingEndsAfterItsThreadWasEndedFromOutside)
{
    // A binding of its own, on a controller of its own.
    CloseHandle(pDriver_->hDevice);
    pDriver_->hDevice = nullptr;
    PipeController controller;
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(S_OK, BindTo(pDriver_, controller.Path()));
    // After its first report nothing plays, so the thread never takes the
    // process-wide lock again: ending it leaves the lock free.
    ASSERT_TRUE(controller.WaitForReports(1, 5000));
    ASSERT_TRUE(TerminateThread(pDriver_->hThread, 1));
    EXPECT_EQ(S_OK, Unbind(pDriver_));
    EXPECT_EQ(nullptr, pDriver_->hThread);
    ASSERT_TRUE(controller.WaitForNoConnection(5000));
    EXPECT_EQ((std::vector<BYTE>{0, 0}), StrengthsOf(controller.Reports()));
}

} // namespace
