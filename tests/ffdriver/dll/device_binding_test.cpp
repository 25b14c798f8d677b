// DeviceID: binding an Effect Driver to its controller, ending the binding
// and binding anew, without ever leaving a Rumble Thread or a device handle
// behind.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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
    EXPECT_TRUE(WaitForThreadCount(cThreads, WAIT_MS));
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
    EXPECT_TRUE(WaitForThreadCount(cThreads, WAIT_MS));
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
    EXPECT_TRUE(WaitForThreadCount(cThreads + 1, WAIT_MS));
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
    EXPECT_TRUE(WaitForThreadCount(cThreads, WAIT_MS));
}

TEST(DeviceBinding, RebindingToAPathThatDoesNotOpenEndsTheOldBindingAndFails)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    EXPECT_EQ(E_FAIL, BindTo(bound.pDriver, L"\\\\.\\pipe\\ffhost-no-such-controller"));
    EXPECT_TRUE(WaitForThreadCount(cThreads, WAIT_MS));
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
    DIHIDFFINITINFO init = {sizeof(init)};
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

DWORD WINAPI FreeLibraryThreadProc(LPVOID pvModule)
{
    FreeLibrary(static_cast<HMODULE>(pvModule));
    return 0;
}

// The thread's exit runs DLL_THREAD_DETACH under the loader lock, which the
// releasing host holds here: the end of the binding must not wait for it.
TEST(DeviceBinding, ReleaseFromAnotherLibrarysDetachReturnsAndEndsWithZero)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    DownloadConstant(bound.pDriver, 5000, DIEP_START);
    ASSERT_TRUE(bound.controller.WaitForStrength(127, 1, WAIT_MS));
    HMODULE hHelper = LoadLibraryW(L"release_on_detach.dll");
    ASSERT_NE(nullptr, hHelper);
    auto pfnReleaseOnDetach = reinterpret_cast<void (*)(IUnknown*, HMODULE)>(
        reinterpret_cast<void*>(GetProcAddress(hHelper, "ReleaseOnDetach")));
    ASSERT_NE(nullptr, pfnReleaseOnDetach);
    pfnReleaseOnDetach(bound.pDriver, nullptr);
    bound.pDriver = nullptr;

    // On a thread of its own, so that a hang fails the test. The thread's
    // handle is signalled only after its own exit, which needs the loader
    // lock too: FreeLibrary returned once the thread has gone.
    HANDLE hThread = CreateThread(nullptr, 0, FreeLibraryThreadProc, hHelper, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    if (WaitForSingleObject(hThread, WAIT_MS) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "FreeLibrary did not return";
        // The loader lock stays held for good: not even an orderly exit
        // could take it.
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    CloseHandle(hThread);
    EXPECT_TRUE(bound.controller.WaitForNoConnection(WAIT_MS));
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    EXPECT_EQ(ZERO_REPORT, BytesOf(reports.back()));
    EXPECT_EQ((std::vector<BYTE>{0, 127, 0}), StrengthsOf(reports));
    EXPECT_TRUE(WaitForThreadCount(cThreads, WAIT_MS));
}

// Many games end their process without releasing DirectInput: the process's
// other threads, the Rumble Thread among them, end before the libraries'
// detach, and the motors must still stop. A plugin may also give up the
// driver and the library's last reference from its own DLL_PROCESS_DETACH:
// the library goes only once its Rumble Thread has left its code, and the
// game plays on.
TEST(DeviceBinding, ProcessExitWithoutReleaseStopsTheMotors)
{
    for (LPCWSTR pszMode : {L"", L" unload"}) {
        SCOPED_TRACE(pszMode);
        PipeController controller;
        ASSERT_TRUE(controller.Start());
        WCHAR szEvent[64];
        wsprintfW(szEvent, L"Local\\brasquet-exit-while-playing-%lu", GetCurrentProcessId());
        HANDLE hPlaying = CreateEventW(nullptr, TRUE, FALSE, szEvent);
        ASSERT_NE(nullptr, hPlaying);
        WCHAR szExe[MAX_PATH];
        GetModuleFileNameW(nullptr, szExe, MAX_PATH);
        *wcsrchr(szExe, L'\\') = 0;
        std::wstring commandLine = std::wstring(L"\"") + szExe + L"\\exit_while_playing.exe\" " +
                                   controller.Path() + L" " + szEvent + pszMode;
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &si, &pi));
        CloseHandle(pi.hThread);
        const bool fFull = controller.WaitForStrength(255, 0, 4 * WAIT_MS);
        SetEvent(hPlaying);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 4 * WAIT_MS));
        DWORD dwExitCode = STILL_ACTIVE;
        GetExitCodeProcess(pi.hProcess, &dwExitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(hPlaying);
        ASSERT_TRUE(fFull) << "the game never played";
        EXPECT_EQ(0u, dwExitCode);
        EXPECT_TRUE(controller.WaitForNoConnection(WAIT_MS));
        const std::vector<MotorRecord> reports = controller.Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(ZERO_REPORT, BytesOf(reports.back()));
    }
}

DWORD WINAPI ReleaseThreadProc(LPVOID pvDriver)
{
    static_cast<IDirectInputEffectDriver*>(pvDriver)->Release();
    return 0;
}

DWORD WINAPI UnbindThreadProc(LPVOID pvDriver)
{
    Unbind(static_cast<IDirectInputEffectDriver*>(pvDriver));
    return 0;
}

// A controller out of range stops taking writes: every way a binding ends
// must still return, or the game freezes on exit or on unacquire.
TEST(DeviceBinding, EveryEndOfTheBindingReturnsWhenTheControllerStopsReading)
{
    const struct {
        const char* pszEnd;
        LPTHREAD_START_ROUTINE pfnEnd;
    } rows[] = {
        {"final Release", ReleaseThreadProc}, {"DeviceID(fBegin 0)", UnbindThreadProc}, {"rebind", nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszEnd);
        BoundDriver bound;
        ASSERT_EQ(S_OK, bound.Bind());
        DownloadPeriodic(bound.pDriver, 3, 250000, DIEP_START); // a sine: a report nearly every cycle
        ASSERT_TRUE(bound.controller.WaitForReports(3, WAIT_MS));
        bound.controller.StopReading();
        // The pipe's buffer takes a few reports, then every write waits.
        Sleep(200);
        PipeController other;
        ASSERT_TRUE(other.Start());
        HANDLE hThread = nullptr;
        if (row.pfnEnd) {
            hThread = CreateThread(nullptr, 0, row.pfnEnd, bound.pDriver, 0, nullptr);
        } else {
            struct Rebind {
                static DWORD WINAPI Proc(LPVOID pv)
                {
                    auto* pArgs = static_cast<std::pair<IDirectInputEffectDriver*, LPCWSTR>*>(pv);
                    return static_cast<DWORD>(BindTo(pArgs->first, pArgs->second));
                }
            };
            static std::pair<IDirectInputEffectDriver*, LPCWSTR> s_args;
            s_args = {bound.pDriver, other.Path()};
            hThread = CreateThread(nullptr, 0, Rebind::Proc, &s_args, 0, nullptr);
        }
        ASSERT_NE(nullptr, hThread);
        // A limit that only tells a return from a hang.
        const DWORD dwWait = WaitForSingleObject(hThread, 4 * WAIT_MS);
        CloseHandle(hThread);
        if (dwWait != WAIT_OBJECT_0) {
            ADD_FAILURE() << "did not return";
            fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 1);
        }
        if (!row.pfnEnd) {
            // The new binding plays what the old one did.
            EXPECT_TRUE(other.WaitForReports(1, WAIT_MS));
            EXPECT_NE(0, other.Reports()[0].Strength());
        }
        // The stalled controller never sees its handle close.
        if (row.pfnEnd != ReleaseThreadProc) bound.pDriver->Release();
        bound.pDriver = nullptr;
    }
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
