// The thread routine called directly on an Effect Driver whose fields the
// test sets up: what it writes when told to end, whether it cycles or waits
// for a call, the due times it asks of its timer on a fake clock, and the
// report length it takes from the device.
// Linked with the driver's objects instead of loading the DLL, so the
// process-wide lock is made here, as the library's entry point would.
#include "driver_harness.h"

#include "ffdriver/effect_driver_object.h"
#include "ffdriver/motor_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

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
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
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
    // A steady mix waits on hWake, which the end of a binding sets with the flag.
    pDriver_->fShutdown.store(1);
    SetEvent(pDriver_->hWake);
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

TEST_F(RumbleThreadProcTest, DelayedEffectIsWaitedOutOnTheTimerAndOnCalls)
{
    // Silent during its delay, yet due to sound without another call: the
    // thread waits for the end of the delay on its timer, and for a call
    // on hWake, which the end of a binding sets.
    DownloadConstant(pDriver_, 5000, DIEP_START, INFINITE, 60000000);
    HANDLE hThread = CreateThread(nullptr, 0, RumbleThreadProc, pDriver_, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    ASSERT_TRUE(controller_.WaitForReports(1, 5000));
    Sleep(50);
    pDriver_->fShutdown.store(1);
    SetEvent(pDriver_->hWake);
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

// The device's output report length, as HidP_GetCaps gives it.
USHORT g_cbFakeOutputReport = 0;

BOOLEAN WINAPI FakeGetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA* ppData)
{
    *ppData = reinterpret_cast<PHIDP_PREPARSED_DATA>(&g_cbFakeOutputReport);
    return TRUE;
}

NTSTATUS WINAPI FakeGetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS pCaps)
{
    *pCaps = HIDP_CAPS{};
    pCaps->OutputReportByteLength = g_cbFakeOutputReport;
    pCaps->FeatureReportByteLength = 32;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI FakeFreePreparsedData(PHIDP_PREPARSED_DATA)
{
    return TRUE;
}

// The length and strength of every report written, before it goes to the
// pipe, which records only a message's first bytes.
std::vector<std::pair<DWORD, BYTE>> g_rgWritten;

BOOL WINAPI RecordingWriteFile(HANDLE hFile, LPCVOID pv, DWORD cb, LPDWORD pcb, LPOVERLAPPED pov)
{
    g_rgWritten.push_back({cb, static_cast<const BYTE*>(pv)[2]});
    return WriteFile(hFile, pv, cb < 64 ? cb : 64, pcb, pov);
}

// The HID class driver takes an output report only at its collection's
// length: one too short for the Motor Report fails the binding, a longer
// one carries it padded with zeros.
TEST_F(RumbleThreadProcTest, MotorReportTakesTheOutputReportLengthOfTheCollection)
{
    CloseHandle(pDriver_->hDevice);
    pDriver_->hDevice = nullptr;
    DriverPlatform platform;
    platform.HidD_GetPreparsedData = FakeGetPreparsedData;
    platform.HidP_GetCaps = FakeGetCaps;
    platform.HidD_FreePreparsedData = FakeFreePreparsedData;
    platform.WriteFile = RecordingWriteFile;
    pDriver_->pPlatform = &platform;
    const struct {
        USHORT cbOutput;
        HRESULT hr;
        DWORD cbWritten;
    } rows[] = {{3, E_FAIL, 0}, {0, S_OK, 4},       {4, S_OK, 4},      {8, S_OK, 8},
                {64, S_OK, 64}, {4096, S_OK, 4096}, {4097, E_FAIL, 0}, {65535, E_FAIL, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cbOutput);
        g_cbFakeOutputReport = row.cbOutput;
        g_rgWritten.clear();
        PipeController controller;
        ASSERT_TRUE(controller.Start());
        ASSERT_EQ(row.hr, BindTo(pDriver_, controller.Path()));
        if (FAILED(row.hr)) {
            EXPECT_EQ(nullptr, pDriver_->hThread);
            EXPECT_TRUE(controller.WaitForNoConnection(5000)); // the device is not kept open
            continue;
        }
        const DWORD dwHandle = DownloadConstant(pDriver_, 5000, DIEP_START);
        ASSERT_TRUE(controller.WaitForStrength(127, 0, 5000));
        pDriver_->DestroyEffect(0, dwHandle);
        ASSERT_EQ(S_OK, Unbind(pDriver_));
        ASSERT_FALSE(g_rgWritten.empty());
        for (const auto& written : g_rgWritten)
            EXPECT_EQ(row.cbWritten, written.first);
        EXPECT_EQ(0, g_rgWritten.back().second);
        for (const MotorRecord& report : controller.Reports()) {
            EXPECT_EQ(row.cbWritten < 64 ? row.cbWritten : 64, report.cb);
            for (DWORD i = 4; i < sizeof(report.rgb) && i < report.cb; ++i)
                EXPECT_EQ(0, report.rgb[i]) << i;
        }
    }
    pDriver_->pPlatform = &SystemPlatform();
}

// Process exit stops the controllers that the drivers of the process still
// have bound, and only those: a binding that ended has left the table, and
// its handle is closed.
TEST_F(RumbleThreadProcTest, ProcessExitStopsOnlyTheControllersStillBound)
{
    CloseHandle(pDriver_->hDevice);
    pDriver_->hDevice = nullptr;
    DriverPlatform platform;
    platform.WriteFile = RecordingWriteFile;
    pDriver_->pPlatform = &platform;
    PipeController controller;
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(S_OK, BindTo(pDriver_, controller.Path()));
    ASSERT_TRUE(controller.WaitForReports(1, 5000));
    g_rgWritten.clear();
    StopBoundDevices();
    ASSERT_TRUE(controller.WaitForReports(2, 5000));
    EXPECT_EQ((std::vector<std::pair<DWORD, BYTE>>{{4, 0}}), g_rgWritten);
    ASSERT_EQ(S_OK, Unbind(pDriver_));
    g_rgWritten.clear();
    StopBoundDevices();
    EXPECT_TRUE(g_rgWritten.empty());
    pDriver_->pPlatform = &SystemPlatform();
}

// A controller that takes no write at all and ignores every cancellation,
// on the real clock: the last report and the stop at process exit are still
// written, each in a block of its own. Prints how long they take.
LONG volatile g_cStalled = 0;
LONG volatile g_bLastStalled = -1;

BOOL WINAPI StallingWriteFile(HANDLE, LPCVOID pv, DWORD, LPDWORD, LPOVERLAPPED pov)
{
    pov->Internal = STATUS_PENDING;
    ResetEvent(pov->hEvent);
    InterlockedExchange(&g_bLastStalled, static_cast<const BYTE*>(pv)[2]);
    InterlockedIncrement(&g_cStalled);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI IgnoredCancelIoEx(HANDLE, LPOVERLAPPED)
{
    return TRUE;
}

TEST_F(RumbleThreadProcTest, StalledControllerStillGetsTheLastReportAndTheStopAtExit)
{
    CloseHandle(pDriver_->hDevice);
    pDriver_->hDevice = nullptr;
    DriverPlatform platform;
    platform.WriteFile = StallingWriteFile;
    platform.CancelIoEx = IgnoredCancelIoEx;
    pDriver_->pPlatform = &platform;
    PipeController controller;
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(S_OK, BindTo(pDriver_, controller.Path()));
    DownloadConstant(pDriver_, 5000, DIEP_START);
    // The strength is written again in a fresh block each time the last is
    // left to the system, until eight are; then the thread writes no more.
    for (int i = 0; i < 1000 && g_cStalled < static_cast<LONG>(MOTOR_STRANDED_MAX); ++i)
        Sleep(10);
    ASSERT_EQ(static_cast<LONG>(MOTOR_STRANDED_MAX), g_cStalled);
    Sleep(300);
    EXPECT_EQ(static_cast<LONG>(MOTOR_STRANDED_MAX), g_cStalled);
    EXPECT_EQ(127, g_bLastStalled);

    LARGE_INTEGER liFrequency, liStart, liStopped, liReleased;
    QueryPerformanceFrequency(&liFrequency);
    const LONG cBefore = g_cStalled;
    QueryPerformanceCounter(&liStart);
    StopBoundDevices();
    QueryPerformanceCounter(&liStopped);
    EXPECT_EQ(cBefore + 1, g_cStalled);
    EXPECT_EQ(0, g_bLastStalled);

    g_bLastStalled = -1;
    EXPECT_EQ(0u, pDriver_->Release());
    pDriver_ = nullptr;
    QueryPerformanceCounter(&liReleased);
    EXPECT_EQ(0, g_bLastStalled) << "the last report is attempted";
    EXPECT_TRUE(controller.WaitForNoConnection(5000));
    std::printf(
        "controller that completes no write: stop at exit %.1f ms, final Release %.1f ms, %ld writes\n",
        (liStopped.QuadPart - liStart.QuadPart) * 1000.0 / liFrequency.QuadPart,
        (liReleased.QuadPart - liStopped.QuadPart) * 1000.0 / liFrequency.QuadPart, g_cStalled);
}

// The Rumble Thread on a fake clock: the performance counter runs at 10 MHz
// and moves only while the thread waits, each wait ending when its timer is
// due (plus a lateness the test sets) or when a call that the test
// scheduled sets hWake. The tick count is the counter in milliseconds.
constexpr LONGLONG FREQUENCY = 10000000;
constexpr ULONG_PTR STATUS_CANCELLED_IO = 0xC0000120; // STATUS_CANCELLED
constexpr LONGLONG COUNTS_PER_MS = FREQUENCY / 1000;

struct MotorWrite {
    DWORD tick;
    BYTE bStrength;
    bool operator==(const MotorWrite& other) const
    {
        return tick == other.tick && bStrength == other.bStrength;
    }
};

// What the controller does with a Motor Report, as the fake world's device.
enum FakeFault : DWORD {
    FAULT_NONE,  // takes it at once
    FAULT_STALL, // keeps it pending until the fault changes
    FAULT_DELAY, // takes it llDelay counts after it arrived
    FAULT_FAIL,  // refuses it at once
};

// One write the device was handed, and what became of it.
struct DeviceWrite {
    DWORD tick;
    BYTE bStrength;
    LPOVERLAPPED pov;
    LONGLONG llDue; // when the device takes it; LLONG_MAX while stalled
    bool fEnded;
    bool fTaken;
    DWORD tickEnded;
};

// A call the game makes at a tick of its own.
struct GameCall {
    LONGLONG llAt;
    void (*pfnCall)(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD dwArg);
    DWORD dwArg;
};

struct FakeWorld {
    LONGLONG llNow = 0;
    LONGLONG llEnd = 0;
    LONGLONG llLate = 0; // every timer fires this late
    HANDLE hTimer = nullptr;
    LONGLONG llTimerDue = 0;
    DWORD dwTimerFlags = 0;
    std::vector<LONGLONG> rgllDueAsked; // as handed to SetWaitableTimer
    std::vector<DWORD> rgcWaitedOn;     // handles per wait
    std::vector<DWORD> rgdwWaitMs;      // the timeout of each wait for a write, or a timed wait for a call
    std::vector<MotorWrite> writes;     // as the device received them
    bool fNoTimer = false;              // the system lacks high-resolution timers
    DWORD dwFault = FAULT_NONE;
    LONGLONG llDelay = 0;
    DWORD cStallFirst = 0;   // so many writes stall whatever the fault
    bool fCancelEnds = true; // the driver honours a cancellation
    std::vector<DeviceWrite> device;
    std::vector<MotorWrite> cancels;
    size_t cMostInFlight = 0;    // writes pending at once, stalled ones left aside
    std::vector<GameCall> calls; // by time
    size_t iCall = 0;
    std::vector<DWORD> handles;
    EffectDriverObject* pDriver = nullptr;
};
FakeWorld* g_pWorld = nullptr;

DWORD FakeTickCount()
{
    return static_cast<DWORD>(g_pWorld->llNow / COUNTS_PER_MS);
}

// Ends the write: taken, or with the status of a cancellation.
void EndWrite(DeviceWrite* pWrite, bool fTaken)
{
    pWrite->fEnded = true;
    pWrite->fTaken = fTaken;
    pWrite->tickEnded = FakeTickCount();
    pWrite->pov->InternalHigh = fTaken ? 4 : 0;
    pWrite->pov->Internal = fTaken ? 0 : STATUS_CANCELLED_IO;
    SetEvent(pWrite->pov->hEvent);
}

// The device takes every write that is due by now.
void TakeDueWrites(FakeWorld* pWorld)
{
    for (DeviceWrite& write : pWorld->device) {
        if (!write.fEnded && write.llDue <= pWorld->llNow) EndWrite(&write, true);
    }
}

// The controller's fault from now on; what it stalled is taken at once.
void CallSetFault(IDirectInputEffectDriver*, std::vector<DWORD>*, DWORD dwFault)
{
    g_pWorld->dwFault = dwFault;
    for (DeviceWrite& write : g_pWorld->device) {
        if (!write.fEnded && write.llDue == LLONG_MAX) write.llDue = g_pWorld->llNow;
    }
    TakeDueWrites(g_pWorld);
}

BOOL WINAPI FakeQueryPerformanceCounter(LARGE_INTEGER* pli)
{
    pli->QuadPart = g_pWorld->llNow;
    return TRUE;
}

BOOL WINAPI FakeQueryPerformanceFrequency(LARGE_INTEGER* pli)
{
    pli->QuadPart = FREQUENCY;
    return TRUE;
}

HANDLE WINAPI FakeCreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD dwFlags, DWORD)
{
    g_pWorld->dwTimerFlags = dwFlags;
    if (g_pWorld->fNoTimer) return nullptr;
    // An event stands in, so that the thread's CloseHandle closes something.
    g_pWorld->hTimer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return g_pWorld->hTimer;
}

BOOL WINAPI FakeSetWaitableTimer(HANDLE, const LARGE_INTEGER* pliDue, LONG, PTIMERAPCROUTINE, LPVOID, BOOL)
{
    g_pWorld->rgllDueAsked.push_back(pliDue->QuadPart);
    // Relative when negative, in 100 ns units: the counter's own here. An
    // absolute time is long past.
    EXPECT_LT(pliDue->QuadPart, 0);
    g_pWorld->llTimerDue = g_pWorld->llNow - std::min<LONGLONG>(pliDue->QuadPart, 0);
    return TRUE;
}

// Runs every call due at llAt, on the clock of its own tick.
void RunCallsAt(FakeWorld* pWorld, LONGLONG llAt)
{
    while (pWorld->iCall < pWorld->calls.size() && pWorld->calls[pWorld->iCall].llAt == llAt) {
        const GameCall& call = pWorld->calls[pWorld->iCall++];
        pWorld->llNow = llAt;
        call.pfnCall(pWorld->pDriver, &pWorld->handles, call.dwArg);
    }
}

DWORD WINAPI FakeWaitForMultipleObjectsUntil(DWORD cHandles, const HANDLE* rgh, DWORD dwMs);

DWORD WINAPI FakeWaitForMultipleObjects(DWORD cHandles, const HANDLE* rgh, BOOL, DWORD dwMs)
{
    const DWORD dwWait = FakeWaitForMultipleObjectsUntil(cHandles, rgh, dwMs);
    TakeDueWrites(g_pWorld);
    return dwWait;
}

DWORD WINAPI FakeWaitForMultipleObjectsUntil(DWORD cHandles, const HANDLE* rgh, DWORD dwMs)
{
    FakeWorld* pWorld = g_pWorld;
    pWorld->rgcWaitedOn.push_back(cHandles);
    DWORD iTimer = MAXDWORD, iWake = MAXDWORD;
    for (DWORD i = 0; i < cHandles; ++i) {
        if (rgh[i] == pWorld->hTimer) iTimer = i;
        if (rgh[i] == pWorld->pDriver->hWake) iWake = i;
    }
    // Without a timer, a wait that is given a timeout ends with it.
    const bool fTimeout = iTimer == MAXDWORD && dwMs != INFINITE;
    if (fTimeout) pWorld->rgdwWaitMs.push_back(dwMs);
    const LONGLONG llWake = iTimer != MAXDWORD ? pWorld->llTimerDue + pWorld->llLate
                            : fTimeout         ? pWorld->llNow + dwMs * COUNTS_PER_MS
                                               : LLONG_MAX;
    while (pWorld->iCall < pWorld->calls.size()) {
        const LONGLONG llAt = pWorld->calls[pWorld->iCall].llAt;
        // A call at the very tick the timer fires loses to the timer, which
        // the thread lists first.
        if (llAt > llWake || llAt > pWorld->llEnd || (llAt == llWake && (iTimer != MAXDWORD || fTimeout)))
            break;
        RunCallsAt(pWorld, llAt);
        if (iWake != MAXDWORD && WaitForSingleObject(pWorld->pDriver->hWake, 0) == WAIT_OBJECT_0)
            return WAIT_OBJECT_0 + iWake;
    }
    if (llWake > pWorld->llEnd) {
        pWorld->pDriver->fShutdown.store(1);
        pWorld->llNow = std::max(pWorld->llNow, std::min(llWake, pWorld->llEnd + 1));
        return WAIT_OBJECT_0 + (iTimer != MAXDWORD ? iTimer : iWake);
    }
    pWorld->llNow = llWake;
    RunCallsAt(pWorld, llWake);
    return fTimeout ? WAIT_TIMEOUT : WAIT_OBJECT_0 + iTimer;
}

VOID WINAPI FakeSleep(DWORD dwMs)
{
    FakeWorld* pWorld = g_pWorld;
    const LONGLONG llWake = pWorld->llNow + dwMs * COUNTS_PER_MS;
    while (pWorld->iCall < pWorld->calls.size() && pWorld->calls[pWorld->iCall].llAt <= llWake)
        RunCallsAt(pWorld, pWorld->calls[pWorld->iCall].llAt);
    pWorld->llNow = llWake;
    if (llWake > pWorld->llEnd) pWorld->pDriver->fShutdown.store(1);
    TakeDueWrites(pWorld);
}

// A device that takes, delays, stalls or refuses each write, as the world's
// fault says. Like the system, WriteFile marks the OVERLAPPED pending before
// anything else, and a write refused at once never touches it again.
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID pv, DWORD cb, LPDWORD, LPOVERLAPPED pov)
{
    FakeWorld* pWorld = g_pWorld;
    EXPECT_EQ(4u, cb);
    pWorld->writes.push_back({FakeTickCount(), static_cast<const BYTE*>(pv)[2]});
    // A thread that writes without end is ended here rather than hang the test.
    if (pWorld->writes.size() > 100000) pWorld->pDriver->fShutdown.store(1);
    pov->Internal = STATUS_PENDING;
    const bool fStall = pWorld->cStallFirst > 0;
    if (fStall) --pWorld->cStallFirst;
    if (!fStall && pWorld->dwFault == FAULT_FAIL) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    size_t cInFlight = 1;
    for (const DeviceWrite& write : pWorld->device)
        cInFlight += !write.fEnded && write.llDue != LLONG_MAX;
    pWorld->cMostInFlight = std::max(pWorld->cMostInFlight, cInFlight);
    ResetEvent(pov->hEvent);
    const LONGLONG llDue = fStall || pWorld->dwFault == FAULT_STALL ? LLONG_MAX
                           : pWorld->dwFault == FAULT_DELAY         ? pWorld->llNow + pWorld->llDelay
                                                                    : pWorld->llNow;
    pWorld->device.push_back({FakeTickCount(), static_cast<const BYTE*>(pv)[2], pov, llDue, false, false, 0});
    if (llDue == pWorld->llNow) {
        EndWrite(&pWorld->device.back(), true);
        return TRUE;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI FakeCancelIoEx(HANDLE, LPOVERLAPPED pov)
{
    FakeWorld* pWorld = g_pWorld;
    for (DeviceWrite& write : pWorld->device) {
        if (write.pov != pov || write.fEnded) continue;
        pWorld->cancels.push_back({FakeTickCount(), write.bStrength});
        if (pWorld->fCancelEnds) EndWrite(&write, false);
        return TRUE;
    }
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

// A wait for a write: it ends when the device takes the write, or when the
// timeout runs out; the clock moves on to whichever comes first.
DWORD WINAPI FakeWaitForSingleObject(HANDLE h, DWORD dwMs)
{
    FakeWorld* pWorld = g_pWorld;
    if (dwMs != 0) pWorld->rgdwWaitMs.push_back(dwMs);
    LONGLONG llDue = LLONG_MAX;
    for (const DeviceWrite& write : pWorld->device) {
        if (!write.fEnded && write.pov->hEvent == h) llDue = write.llDue;
    }
    const LONGLONG llTimeout = dwMs == INFINITE ? LLONG_MAX : pWorld->llNow + dwMs * COUNTS_PER_MS;
    if (llDue != LLONG_MAX && llDue <= llTimeout) {
        pWorld->llNow = std::max(pWorld->llNow, llDue);
    } else if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) {
        EXPECT_NE(INFINITE, dwMs) << "a wait without end";
        if (dwMs == INFINITE) return WAIT_FAILED;
        pWorld->llNow = llTimeout;
        TakeDueWrites(pWorld);
        return WAIT_TIMEOUT;
    }
    TakeDueWrites(pWorld);
    return WaitForSingleObject(h, 0);
}

DriverPlatform FakePlatform()
{
    DriverPlatform platform;
    platform.QueryPerformanceCounter = FakeQueryPerformanceCounter;
    platform.QueryPerformanceFrequency = FakeQueryPerformanceFrequency;
    platform.CreateWaitableTimerExW = FakeCreateWaitableTimerExW;
    platform.SetWaitableTimer = FakeSetWaitableTimer;
    platform.WaitForMultipleObjects = FakeWaitForMultipleObjects;
    platform.Sleep = FakeSleep;
    platform.WriteFile = FakeWriteFile;
    platform.CancelIoEx = FakeCancelIoEx;
    platform.WaitForSingleObject = FakeWaitForSingleObject;
    return platform;
}

constexpr LONGLONG T0 = 1000000 * COUNTS_PER_MS; // tick 1000000

class FakeClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateProcessLock();
        g_pWorld = &world_;
        world_.llNow = T0;
        world_.llEnd = T0 + 1000 * COUNTS_PER_MS;
        pDriver_ = NewFakeDriver();
        ASSERT_NE(nullptr, pDriver_);
    }
    void TearDown() override
    {
        if (pDriver_) pDriver_->Release();
        g_pWorld = nullptr;
        DeleteProcessLock();
    }
    EffectDriverObject* NewFakeDriver()
    {
        auto* pDriver = new (std::nothrow) EffectDriverObject;
        if (!pDriver) return nullptr;
        pDriver->core.pfnTick = FakeTickCount;
        pDriver->pPlatform = &platform_;
        world_.pDriver = pDriver;
        return pDriver;
    }
    // Runs the thread routine on this thread until the fake clock passes
    // the end; the writes are the reports in between and the last one.
    void Run()
    {
        std::stable_sort(world_.calls.begin(), world_.calls.end(),
                         [](const GameCall& a, const GameCall& b) { return a.llAt < b.llAt; });
        RunCallsAt(&world_, world_.llNow);
        EXPECT_EQ(0u, RumbleThreadProc(pDriver_));
    }
    std::vector<LONGLONG> DuesAsked(size_t cFirst) const
    {
        std::vector<LONGLONG> dues = world_.rgllDueAsked;
        if (dues.size() > cFirst) dues.resize(cFirst);
        return dues;
    }

    FakeWorld world_;
    const DriverPlatform platform_ = FakePlatform();
    EffectDriverObject* pDriver_ = nullptr;
};

void CallStartSine(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD)
{
    pHandles->push_back(DownloadPeriodic(pDriver, 3, 250000, DIEP_START));
}

void CallStopAll(IDirectInputEffectDriver* pDriver, std::vector<DWORD>*, DWORD)
{
    pDriver->SendForceFeedbackCommand(0, DISFFC_STOPALL);
}

TEST_F(FakeClockTest, AsksForItsTimerAtHighResolution)
{
    world_.llEnd = T0;
    Run();
    EXPECT_TRUE(world_.dwTimerFlags & CREATE_WAITABLE_TIMER_HIGH_RESOLUTION);
}

// While the mix changes every cycle, every wait is 2 ms before the next
// point of the grid, relative (negative), in 100 ns units; a timer that
// fires a little late shortens the next wait, one that fires past the next
// point starts the grid afresh.
TEST_F(FakeClockTest, CyclesOnATwoMillisecondGridThatLateWakesDoNotShift)
{
    const struct {
        LONGLONG llLate;
        LONGLONG llSecondDue;
    } rows[] = {{0, -20000}, {5000, -15000}, {19999, -1}, {20000, -20000}, {25000, -20000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.llLate);
        world_ = FakeWorld{};
        world_.llNow = T0;
        world_.llEnd = T0 + 40 * COUNTS_PER_MS;
        world_.llLate = row.llLate;
        world_.pDriver = pDriver_;
        pDriver_->fShutdown.store(0);
        world_.calls.push_back({T0, CallStartSine, 0});
        Run();
        ASSERT_GE(world_.rgllDueAsked.size(), 3u);
        EXPECT_EQ(-20000, world_.rgllDueAsked[0]);
        EXPECT_EQ(row.llSecondDue, world_.rgllDueAsked[1]);
        EXPECT_EQ(row.llSecondDue, world_.rgllDueAsked[2]);
        pDriver_->SendForceFeedbackCommand(0, DISFFC_RESET);
    }
}

// An idle wait is on hWake alone, without end; the first cycle after it
// starts a grid of its own, whatever the grid before it.
TEST_F(FakeClockTest, IdleWaitEndsWithTheCallAndStartsTheGridAfresh)
{
    world_.llEnd = T0 + 30 * COUNTS_PER_MS;
    world_.calls.push_back({T0 + 7 * COUNTS_PER_MS + 3000, CallStartSine, 0});
    Run();
    ASSERT_GE(world_.rgcWaitedOn.size(), 2u);
    EXPECT_EQ(1u, world_.rgcWaitedOn[0]);
    EXPECT_EQ((std::vector<LONGLONG>{-20000, -20000}), DuesAsked(2));
    // The sine starts at 0, so the first pass after the call, at its own
    // tick, changes nothing; the next comes 2 ms after it.
    ASSERT_GE(world_.writes.size(), 2u);
    EXPECT_EQ((MotorWrite{1000000, 0}), world_.writes[0]);
    EXPECT_EQ(1000009u, world_.writes[1].tick);

    // An idle wait shorter than a cycle: the sine stopped at 9.5 ms, the
    // pass at 10 finds the mix idle, and the sine starts again at 11. The
    // next cycle is 2 ms after 11, not on the grid of 10.
    world_ = FakeWorld{};
    world_.llNow = T0;
    world_.llEnd = T0 + 20 * COUNTS_PER_MS;
    world_.pDriver = pDriver_;
    pDriver_->fShutdown.store(0);
    pDriver_->SendForceFeedbackCommand(0, DISFFC_RESET);
    world_.calls.push_back({T0, CallStartSine, 0});
    world_.calls.push_back({T0 + 9 * COUNTS_PER_MS + 5000, CallStopAll, 0});
    world_.calls.push_back({T0 + 11 * COUNTS_PER_MS, CallStartSine, 0});
    Run();
    ASSERT_GE(world_.rgllDueAsked.size(), 6u);
    EXPECT_EQ((std::vector<LONGLONG>{-20000, -20000, -20000, -20000, -20000, -20000}), DuesAsked(6));
    const auto itStopped = std::find(world_.writes.begin(), world_.writes.end(), MotorWrite{1000010, 0});
    ASSERT_NE(world_.writes.end(), itStopped);
    ASSERT_NE(world_.writes.end(), itStopped + 1);
    EXPECT_EQ(1000013u, itStopped[1].tick);
}

// Without a high-resolution timer the thread cycles on Sleep, and a steady
// mix waits on hWake for its hold, not without end.
TEST_F(FakeClockTest, WithoutATimerASteadyMixWaitsOnItsEventForTheHold)
{
    world_.fNoTimer = true;
    DownloadConstant(pDriver_, 5000, DIEP_START, 100000);
    Run();
    EXPECT_EQ((std::vector<DWORD>{101}), world_.rgdwWaitMs);
    EXPECT_EQ((std::vector<MotorWrite>{{1000000, 127}, {1000101, 0}, {1001000, 0}}), world_.writes);
}

// A constant force holds its sum from its start to the tick after its
// window: the thread waits that long at once, on the grid, and on hWake
// too; a start delay is waited out the same way.
TEST_F(FakeClockTest, SteadyMixWaitsUntilItsNextChange)
{
    const struct {
        DWORD dwDurationMs;
        DWORD dwDelayMs;
        std::vector<LONGLONG> dues;
        std::vector<MotorWrite> writes; // before the last report
    } rows[] = {
        // The window of 1000 ms ends after tick 1000. From a fresh grid the
        // pass's tick may trail the clock by up to a millisecond, so the
        // wait stops at 1000, one cycle short, and 1002 sees the end.
        {1000, 0, {-10000000, -20000}, {{1000000, 127}, {1001002, 0}}},
        // The end after tick 101 falls on the grid at 102.
        {101, 0, {-1020000}, {{1000000, 127}, {1000102, 0}}},
        {1, 0, {-20000}, {{1000000, 127}, {1000002, 0}}},
        // The delay, then on the grid from 300: the end after 1300 at 1302.
        {1000, 300, {-3000000, -10020000}, {{1000000, 0}, {1000300, 127}, {1001302, 0}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dwDurationMs);
        SCOPED_TRACE(row.dwDelayMs);
        world_ = FakeWorld{};
        world_.llNow = T0;
        world_.llEnd = T0 + 2000 * COUNTS_PER_MS;
        world_.pDriver = pDriver_;
        pDriver_->fShutdown.store(0);
        pDriver_->SendForceFeedbackCommand(0, DISFFC_RESET);
        DownloadConstant(pDriver_, 5000, DIEP_START, row.dwDurationMs * 1000, row.dwDelayMs * 1000);
        Run();
        EXPECT_EQ(row.dues, world_.rgllDueAsked);
        ASSERT_FALSE(world_.writes.empty());
        EXPECT_EQ(0, world_.writes.back().bStrength);
        world_.writes.pop_back();
        EXPECT_EQ(row.writes, world_.writes);
        // Steady waits listen for calls as well; the last wait is idle.
        ASSERT_FALSE(world_.rgcWaitedOn.empty());
        EXPECT_EQ(1u, world_.rgcWaitedOn.back());
    }
}

// A constant force of dwArg in place of the ones before.
void CallConstant(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD dwArg)
{
    for (DWORD dwHandle : *pHandles)
        pDriver->DestroyEffect(0, dwHandle);
    pHandles->clear();
    pHandles->push_back(DownloadConstant(pDriver, static_cast<LONG>(dwArg), DIEP_START));
}

std::vector<BYTE> StrengthsTaken(const FakeWorld& world)
{
    std::vector<BYTE> taken;
    for (const DeviceWrite& write : world.device) {
        if (write.fTaken) taken.push_back(write.bStrength);
    }
    return taken;
}

size_t BlocksUsed(const FakeWorld& world)
{
    std::vector<LPOVERLAPPED> blocks;
    for (const DeviceWrite& write : world.device) {
        if (std::find(blocks.begin(), blocks.end(), write.pov) == blocks.end()) blocks.push_back(write.pov);
    }
    return blocks.size();
}

// A controller that stalls, lags or refuses writes still gets every change
// of the mix that it can take and, always, the last report; the thread
// keeps its pace throughout. The game plays 204, then 102 from 200 ms, 51
// from 400 ms, and ends at 600 ms (1 s for a controller that stalls all).
TEST_F(FakeClockTest, ControllerThatStallsLagsOrFailsGetsTheLatestStrengthAndTheLastReport)
{
    const struct {
        const char* pszCase;
        DWORD dwFault;
        DWORD cStallFirst;
        bool fCancelEnds;
        DWORD dwRecoverMs;         // the fault ends then; 0: never
        std::vector<BYTE> taken;   // by the device, in order
        size_t cBlocks;            // OVERLAPPEDs handed to the device
        size_t cMostWaits;         // the thread's wake-ups, bounded: no spin
        DWORD dwFirstCancel;       // tick of the first cancellation, 0: none
        std::vector<DWORD> waitMs; // the waits for a write, all at the end
        DWORD dwEndMs;             // the last report done
    } rows[] = {
        // Cancelled at 50 ms and left to the system at 76, the first block
        // stays the system's; the next write takes a fresh one and the
        // strength is written again at once.
        {"first write stalls", FAULT_NONE, 1, false, 0, {204, 102, 51, 0}, 2, 60, 50, {}, 600},
        // Refused at once, the strength is written again 50 ms on, and at
        // each change, in the same block; after the recovery it arrives.
        {"refuses until 300 ms", FAULT_FAIL, 0, true, 300, {102, 51, 0}, 1, 20, 0, {}, 600},
        // Every write cancelled after 50 ms ends with its cancellation: the
        // same block serves them all. At the end the write in flight is
        // cancelled at once, and the last report waits its 50 ms.
        {"stalls, cancellation honoured", FAULT_STALL, 0, true, 0, {}, 1, 350, 50, {25, 50, 25}, 650},
        // Eight blocks left to the system, then no more writes but the
        // last report, in a block of its own: 100 ms after the end.
        {"stalls, cancellation ignored", FAULT_STALL, 0, false, 0, {}, 9, 350, 50, {25, 50, 25}, 700},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszCase);
        pDriver_->Release();
        world_ = FakeWorld{};
        world_.llNow = T0;
        world_.llEnd = T0 + 600 * COUNTS_PER_MS;
        world_.dwFault = row.dwFault;
        world_.cStallFirst = row.cStallFirst;
        world_.fCancelEnds = row.fCancelEnds;
        pDriver_ = NewFakeDriver();
        ASSERT_NE(nullptr, pDriver_);
        world_.calls.push_back({T0, CallConstant, 8000});
        world_.calls.push_back({T0 + 200 * COUNTS_PER_MS, CallConstant, 4000});
        world_.calls.push_back({T0 + 400 * COUNTS_PER_MS, CallConstant, 2000});
        if (row.dwRecoverMs)
            world_.calls.push_back({T0 + row.dwRecoverMs * COUNTS_PER_MS, CallSetFault, FAULT_NONE});
        Run();
        EXPECT_EQ(row.taken, StrengthsTaken(world_));
        EXPECT_EQ(row.cBlocks, BlocksUsed(world_));
        EXPECT_LE(world_.rgcWaitedOn.size(), row.cMostWaits);
        EXPECT_EQ(row.dwFirstCancel, world_.cancels.empty() ? 0 : world_.cancels[0].tick - 1000000);
        EXPECT_EQ(row.waitMs, world_.rgdwWaitMs);
        EXPECT_EQ(row.dwEndMs, (world_.llNow - T0) / COUNTS_PER_MS);
        ASSERT_FALSE(world_.writes.empty());
        EXPECT_EQ(0, world_.writes.back().bStrength) << "the last report is always attempted";
    }
}

// A controller that takes each write 20 ms after it arrived: the thread
// goes on mixing every 2 ms, keeps one write in flight, and the strength
// after the last change follows as soon as the device is free.
TEST_F(FakeClockTest, SlowControllerKeepsTheCyclesAndGetsTheStrengthAfterTheLastChange)
{
    world_.llEnd = T0 + 100 * COUNTS_PER_MS;
    world_.dwFault = FAULT_DELAY;
    world_.llDelay = 20 * COUNTS_PER_MS;
    world_.calls.push_back({T0, CallConstant, 8000});
    world_.calls.push_back({T0 + 5 * COUNTS_PER_MS, CallConstant, 4000});
    world_.calls.push_back({T0 + 10 * COUNTS_PER_MS, CallConstant, 2000});
    Run();
    // 102 was overtaken while 204 was on its way; 51 left as 204 arrived.
    ASSERT_EQ(3u, world_.device.size());
    EXPECT_EQ((std::vector<BYTE>{204, 51, 0}), StrengthsTaken(world_));
    EXPECT_EQ(1000020u, world_.device[1].tick);
    EXPECT_EQ(1000040u, world_.device[1].tickEnded);
    EXPECT_EQ(1u, world_.cMostInFlight);
    // A pass every 2 ms while a write is in flight, then the hold.
    ASSERT_EQ(21u, world_.rgllDueAsked.size());
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(-20000, world_.rgllDueAsked[i]) << i;
}

// What a game does in the model: downloads at the start, then starts,
// stops, gain and device commands at random ticks.
struct ModelEffect {
    DWORD dwType; // 0 constant, 1 ramp, 2 to 6 waveforms, 8 a kept type without force
    LONG lMagnitude;
    DWORD dwDurationUs;
    DWORD dwDelayUs;
    bool fEnvelope;
    DIENVELOPE env;
    DWORD dwPeriodUs;
};
std::vector<ModelEffect> g_modelEffects;

void CallDownload(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD iEffect)
{
    const ModelEffect& m = g_modelEffects[iEffect];
    DICONSTANTFORCE cf = {m.lMagnitude};
    DIRAMPFORCE ramp = {m.lMagnitude, -m.lMagnitude / 3};
    DIPERIODIC periodic = {static_cast<DWORD>(m.lMagnitude), 0, 0, m.dwPeriodUs};
    DIENVELOPE env = m.env;
    DIEFFECT eff = {sizeof(eff)};
    eff.dwDuration = m.dwDurationUs;
    eff.dwGain = DI_FFNOMINALMAX;
    eff.dwTriggerButton = DIEB_NOTRIGGER;
    eff.dwStartDelay = m.dwDelayUs;
    eff.lpEnvelope = m.fEnvelope ? &env : nullptr;
    if (m.dwType == 0) {
        eff.cbTypeSpecificParams = sizeof(cf);
        eff.lpvTypeSpecificParams = &cf;
    } else if (m.dwType == 1) {
        eff.cbTypeSpecificParams = sizeof(ramp);
        eff.lpvTypeSpecificParams = &ramp;
    } else if (m.dwType <= 6) {
        eff.cbTypeSpecificParams = sizeof(periodic);
        eff.lpvTypeSpecificParams = &periodic;
    }
    DWORD dwHandle = 0;
    pDriver->DownloadEffect(0, m.dwType, &dwHandle, &eff, DIEP_ALLPARAMS);
    pHandles->push_back(dwHandle);
}

// dwArg: the effect's index in the low byte, the play count above it.
void CallStart(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD dwArg)
{
    const DWORD dwCount = dwArg >> 8 == 0xFF ? INFINITE : dwArg >> 8;
    pDriver->StartEffect(0, (*pHandles)[dwArg & 0xFF], 0, dwCount);
}

void CallStop(IDirectInputEffectDriver* pDriver, std::vector<DWORD>* pHandles, DWORD iEffect)
{
    pDriver->StopEffect(0, (*pHandles)[iEffect]);
}

void CallSetGain(IDirectInputEffectDriver* pDriver, std::vector<DWORD>*, DWORD dwGain)
{
    pDriver->SetGain(0, dwGain);
}

void CallCommand(IDirectInputEffectDriver* pDriver, std::vector<DWORD>*, DWORD dwCommand)
{
    pDriver->SendForceFeedbackCommand(0, dwCommand);
}

// The schedule of a pass in every 2 ms cycle while anything can sound, and
// a wait for the next call while nothing can: the reports a binding has
// always written, which skipping the steady cycles must not change.
std::vector<MotorWrite> ReportsOfEveryCycle(FakeWorld* pWorld, EffectDriverObject* pDriver)
{
    std::vector<MotorWrite> writes;
    std::uint64_t ullPrevious = UINT64_MAX;
    LONGLONG llPass = pWorld->llNow;
    for (;;) {
        while (pWorld->iCall < pWorld->calls.size() && pWorld->calls[pWorld->iCall].llAt <= llPass)
            RunCallsAt(pWorld, pWorld->calls[pWorld->iCall].llAt);
        pWorld->llNow = llPass;
        const MixResult mix = pDriver->core.MixingPass();
        if (mix.ullSum != ullPrevious)
            writes.push_back({FakeTickCount(), StrengthFromSum(mix.dwGain, mix.ullSum)});
        ullPrevious = mix.ullSum;
        if (mix.fIdle) {
            if (pWorld->iCall == pWorld->calls.size()) break;
            llPass = pWorld->calls[pWorld->iCall].llAt;
        } else {
            llPass += 2 * COUNTS_PER_MS;
        }
        if (llPass > pWorld->llEnd) break;
    }
    return writes;
}

TEST_F(FakeClockTest, SkippingSteadyCyclesWritesTheReportsOfEveryCycle)
{
    std::mt19937 random(20261209);
    auto Pick = [&](DWORD dwLow, DWORD dwHigh) {
        return std::uniform_int_distribution<DWORD>(dwLow, dwHigh)(random);
    };
    size_t cPassesSkipped = 0, cReports = 0;
    for (int iTrial = 0; iTrial < 300; ++iTrial) {
        SCOPED_TRACE(iTrial);
        g_modelEffects.clear();
        std::vector<GameCall> calls;
        const DWORD cEffects = Pick(1, 4);
        for (DWORD i = 0; i < cEffects; ++i) {
            ModelEffect m = {};
            const DWORD dwKind = Pick(0, 9);
            m.dwType = dwKind < 6 ? 0 : dwKind == 6 ? 1 : dwKind == 7 ? Pick(2, 6) : dwKind == 8 ? 8 : 0;
            m.lMagnitude = static_cast<LONG>(Pick(0, 10000));
            m.dwDurationUs = Pick(0, 3) == 0 ? INFINITE : Pick(0, 700) * 1000 + Pick(0, 999);
            m.dwDelayUs = Pick(0, 2) == 0 ? Pick(0, 400) * 1000 : 0;
            m.fEnvelope = Pick(0, 1) == 1;
            m.env = {sizeof(DIENVELOPE), Pick(0, 10000), Pick(0, 300) * 1000, Pick(0, 10000),
                     Pick(0, 300) * 1000};
            m.dwPeriodUs = Pick(1, 200) * 1000;
            g_modelEffects.push_back(m);
            calls.push_back({T0, CallDownload, i});
            const DWORD dwCount = Pick(0, 4) == 0 ? 0xFF : Pick(0, 3);
            calls.push_back(
                {T0 + Pick(0, 1500) * COUNTS_PER_MS + Pick(0, 9999), CallStart, i | dwCount << 8});
            if (Pick(0, 2) == 0) calls.push_back({T0 + Pick(0, 2500) * COUNTS_PER_MS, CallStop, i});
            if (Pick(0, 3) == 0)
                calls.push_back({T0 + Pick(1500, 2500) * COUNTS_PER_MS, CallStart, i | 1 << 8});
        }
        if (Pick(0, 2) == 0)
            calls.push_back({T0 + Pick(0, 3000) * COUNTS_PER_MS, CallSetGain, Pick(0, 10000)});
        static const DWORD rgdwCommands[] = {DISFFC_PAUSE, DISFFC_CONTINUE, DISFFC_SETACTUATORSOFF,
                                             DISFFC_SETACTUATORSON, DISFFC_STOPALL};
        for (DWORD c = Pick(0, 3); c > 0; --c)
            calls.push_back(
                {T0 + Pick(0, 3000) * COUNTS_PER_MS + Pick(0, 9999), CallCommand, rgdwCommands[Pick(0, 4)]});
        std::stable_sort(calls.begin(), calls.end(),
                         [](const GameCall& a, const GameCall& b) { return a.llAt < b.llAt; });

        // Every cycle, on a driver of its own.
        pDriver_->Release();
        pDriver_ = nullptr;
        world_ = FakeWorld{};
        world_.llNow = T0;
        world_.llEnd = T0 + 3500 * COUNTS_PER_MS;
        world_.calls = calls;
        EffectDriverObject* pEvery = NewFakeDriver();
        ASSERT_NE(nullptr, pEvery);
        const std::vector<MotorWrite> expected = ReportsOfEveryCycle(&world_, pEvery);
        pEvery->Release();

        // The thread routine, skipping.
        world_ = FakeWorld{};
        world_.llNow = T0;
        world_.llEnd = T0 + 3500 * COUNTS_PER_MS;
        world_.calls = calls;
        pDriver_ = NewFakeDriver();
        ASSERT_NE(nullptr, pDriver_);
        Run();
        ASSERT_FALSE(world_.writes.empty());
        world_.writes.pop_back(); // the last report, at the end
        if (expected != world_.writes) {
            size_t i = 0;
            while (i < expected.size() && i < world_.writes.size() && expected[i] == world_.writes[i])
                ++i;
            std::string effects;
            for (const ModelEffect& m : g_modelEffects)
                effects += " {type " + std::to_string(m.dwType) + " duration " +
                           std::to_string(m.dwDurationUs) + " delay " + std::to_string(m.dwDelayUs) +
                           (m.fEnvelope ? " envelope " : " ") + std::to_string(m.env.dwAttackTime) + "/" +
                           std::to_string(m.env.dwFadeTime) + "}";
            for (const GameCall& call : calls)
                effects +=
                    " call@" + std::to_string(call.llAt / COUNTS_PER_MS) + ":" + std::to_string(call.dwArg);
            for (size_t k = i > 3 ? i - 3 : 0; k < world_.writes.size(); ++k)
                effects += " w" + std::to_string(world_.writes[k].tick) + "=" +
                           std::to_string(world_.writes[k].bStrength);
            for (size_t k = world_.rgllDueAsked.size() > 6 ? world_.rgllDueAsked.size() - 6 : 0;
                 k < world_.rgllDueAsked.size(); ++k)
                effects += " d" + std::to_string(world_.rgllDueAsked[k]);
            effects += " end " + std::to_string(world_.llNow);
            FAIL() << "report " << i << " of " << expected.size() << "/" << world_.writes.size()
                   << ": every cycle " << (i < expected.size() ? expected[i].tick : 0) << "="
                   << int(i < expected.size() ? expected[i].bStrength : 0) << ", skipping "
                   << (i < world_.writes.size() ? world_.writes[i].tick : 0) << "="
                   << int(i < world_.writes.size() ? world_.writes[i].bStrength : 0) << ";" << effects;
        }
        cReports += expected.size();
        cPassesSkipped += world_.rgllDueAsked.size();
    }
    // The model must have had something to compare.
    EXPECT_GT(cReports, 3000u);
    std::printf("%zu reports compared, %zu timed waits\n", cReports, cPassesSkipped);
}

} // namespace
