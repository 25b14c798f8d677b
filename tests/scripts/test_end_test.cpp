// The ways a test program under Wine can end, for the check that only a run
// that reached its end passes (scripts/wine-test). Not a ctest test of its
// own: wine_test_test.sh runs each case and expects the verdict of its row.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void WriteThroughNull()
{
    *static_cast<int volatile*>(nullptr) = 1;
}

DWORD WINAPI CrashProc(LPVOID)
{
    WriteThroughNull();
    return 0;
}

} // namespace

TEST(TestEnd, Passes)
{
    SUCCEED();
}

TEST(TestEnd, FailsAnExpectation)
{
    EXPECT_EQ(1, 2);
}

TEST(TestEnd, CrashesInsideATest)
{
    WriteThroughNull();
}

TEST(TestEnd, CrashesOnAnotherThread)
{
    HANDLE hThread = CreateThread(nullptr, 0, CrashProc, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    WaitForSingleObject(hThread, 10000);
    CloseHandle(hThread);
}

TEST(TestEnd, CrashesAfterItsSummary)
{
    std::atexit(WriteThroughNull);
}

TEST(TestEnd, EndsWithoutItsSummary)
{
    fflush(stdout);
    ExitProcess(0);
}

// A crash in a program that the test starts, which the test itself never
// sees: the test passes, the run must not.
TEST(TestEnd, StartsAProgramThatCrashes)
{
    WCHAR szExe[MAX_PATH];
    GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    std::wstring commandLine = std::wstring(L"\"") + szExe + L"\" --gtest_filter=TestEnd.CrashesInsideATest";
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// For a runner with a time limit shorter than this test: it must be ended and
// named as timed out.
TEST(TestEnd, OutlastsItsTimeLimit)
{
    Sleep(60000);
}
