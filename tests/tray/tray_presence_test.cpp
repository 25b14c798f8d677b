// The real quellin.exe with virtual controllers: its icon follows a
// controller that is plugged in and pulled out, with no message sent by hand,
// and a profile chosen from its menu reaches each connected controller's
// driver as one Reload Request, after which the driver holds the profile.
#include "controller_link.h"

#include "common/device_contract.h"
#include "tests/tools/virtual_controller/controller_reports.h"
#include "tests/tray/quellin_outside.h"
#include "tray/resource.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kDesktop[] = L"virtual controller tests";
constexpr DWORD kWait = OUTSIDE_WAIT_MS;
constexpr VC_CONTROLLER_ID CONTROLLER_A = {0x7C4A, 0x01F6};
constexpr VC_CONTROLLER_ID CONTROLLER_B = {0x7C4A, 0x01F7};

DWORD AttributeOf(VC_CONTROLLER_ID id)
{
    return (DWORD(id.wVendorID) << 16) | id.wProductID;
}

class TrayWithControllers : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnterTestDesktop(kDesktop);
        for (VC_CONTROLLER_ID id : {CONTROLLER_A, CONTROLLER_B})
            if (vcontroller::Unplug(id) == ERROR_SUCCESS) vcontroller::WaitForController(id, false, kWait);
        // The driver's service key holds its image path: only the values go.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
        SetDword(L"Supported Device Count", 2);
        SetDword(L"Supported Device Attribute 0", AttributeOf(CONTROLLER_A));
        SetDword(L"Supported Device Attribute 1", AttributeOf(CONTROLLER_B));
    }

    void TearDown() override
    {
        if (hProcess_) {
            if (hwnd_) PostMessageW(hwnd_, WM_COMMAND, IDM_EXIT, 0);
            if (WaitForSingleObject(hProcess_, kWait) == WAIT_TIMEOUT) TerminateProcess(hProcess_, 99);
            CloseHandle(hProcess_);
        }
        for (VC_CONTROLLER_ID id : {CONTROLLER_A, CONTROLLER_B})
            if (vcontroller::Unplug(id) == ERROR_SUCCESS) vcontroller::WaitForController(id, false, kWait);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
    }

    static void Plug(VC_CONTROLLER_ID id, USHORT cbFeature = VC_DEFAULT_FEATURE_LENGTH)
    {
        const VC_PLUG plug = {id, VC_DEFAULT_OUTPUT_LENGTH, cbFeature};
        ASSERT_EQ(vcontroller::Plug(plug), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_TRUE(vcontroller::WaitForController(id, true, kWait));
    }

    void StartQuellin()
    {
        std::wstring commandLine = L"\"" + BesideThisProgram(L"quellin.exe") + L"\"";
        STARTUPINFOW si = {sizeof(si)};
        si.lpDesktop = StartupDesktop(kDesktop);
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &si, &pi));
        CloseHandle(pi.hThread);
        hProcess_ = pi.hProcess;
        ASSERT_TRUE(
            WaitFor([&] { return (hwnd_ = FindWindowW(L"quellin class", L"quellin window")) != nullptr; }));
        WaitForInputIdle(hProcess_, kWait);
    }

    // Sends a profile command and returns once it was carried out, Reload
    // Requests and all. On a loaded machine Wine's HID stack has been seen to
    // take 10 s for one open: the wait is long, and a failure says how long.
    bool Choose(UINT id) const
    {
        const ULONGLONG ullStart = GetTickCount64();
        DWORD_PTR dwResult;
        const bool fDone =
            SendMessageTimeoutW(hwnd_, WM_COMMAND, id, 0, SMTO_NORMAL, 6 * kWait, &dwResult) != 0;
        const ULONGLONG ullMs = GetTickCount64() - ullStart;
        if (ullMs > kWait) printf("the profile command took %llu ms\n", ullMs);
        return fDone;
    }

    static std::vector<VC_REPORT_ENTRY> FeatureReports(VC_CONTROLLER_ID id)
    {
        return ReportsOfKind(id, VC_REPORT_FEATURE);
    }

    static std::vector<BYTE> DriversSetting(VC_CONTROLLER_ID id)
    {
        VC_SETTING setting = {};
        EXPECT_EQ(vcontroller::GetSetting(id, &setting), static_cast<DWORD>(ERROR_SUCCESS));
        return std::vector<BYTE>(setting.rgbSetting, setting.rgbSetting + setting.cbSetting);
    }

    HANDLE hProcess_ = nullptr;
    HWND hwnd_ = nullptr;
};

TEST_F(TrayWithControllers, IconAppearsWhenAControllerIsPluggedInAndGoesWhenItIsPulledOut)
{
    StartQuellin();
    ASSERT_NE(nullptr, hwnd_);
    EXPECT_FALSE(IconShown(hwnd_)) << "an icon with no controller connected";

    Plug(CONTROLLER_A);
    EXPECT_TRUE(WaitFor([&] { return IconShown(hwnd_); })) << "no icon after the controller arrived";

    // A second controller arriving and going leaves the icon: one is still there.
    Plug(CONTROLLER_B);
    ASSERT_EQ(vcontroller::Unplug(CONTROLLER_B), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(vcontroller::WaitForController(CONTROLLER_B, false, kWait));
    Sleep(500);
    EXPECT_TRUE(IconShown(hwnd_));

    ASSERT_EQ(vcontroller::Unplug(CONTROLLER_A), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(WaitFor([&] { return !IconShown(hwnd_); })) << "the icon stayed after the controller went";
}

void StoreTwoProfiles()
{
    SetValue(L"Setting 1", REG_BINARY, Block(0x11).data(), 126);
    SetValue(L"Setting Name 1", REG_SZ, L"Racing", sizeof(L"Racing"));
    SetValue(L"Setting 2", REG_BINARY, Block(0x22).data(), 126);
    SetValue(L"Setting Name 2", REG_SZ, L"Touring", sizeof(L"Touring"));
    SetDword(L"Setting Count", 3);
    SetDword(L"Current Setting Index", 0);
    SetValue(L"Current Setting", REG_BINARY, Block(0xEE).data(), 126);
    BYTE zero = 0;
    SetValue(L"Modified Flag", REG_BINARY, &zero, 1);
    SetValue(L"Auto Setting Change", REG_BINARY, &zero, 1);
}

// The Reload Request is the controller's whole feature report: a controller
// whose feature report is 64 bytes gets 64 zero bytes, and its driver
// takes the profile up.
TEST_F(TrayWithControllers, ReloadRequestTakesTheControllersFeatureReportLength)
{
    StoreTwoProfiles();
    Plug(CONTROLLER_A, 64);
    StartQuellin();
    ASSERT_NE(nullptr, hwnd_);
    ASSERT_TRUE(Choose(IDM_PROFILE_BASE + 1));
    const std::vector<VC_REPORT_ENTRY> reports = FeatureReports(CONTROLLER_A);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(std::vector<BYTE>(reports[0].rgbReport, reports[0].rgbReport + reports[0].cbReport),
              std::vector<BYTE>(64, 0));
    EXPECT_EQ(DriversSetting(CONTROLLER_A), GetValue(L"Current Setting"));
}

TEST_F(TrayWithControllers, ChosenProfileReachesEachControllersDriverAsOneReloadRequest)
{
    StoreTwoProfiles();
    Plug(CONTROLLER_A);
    Plug(CONTROLLER_B);
    StartQuellin();
    ASSERT_NE(nullptr, hwnd_);
    ASSERT_TRUE(FeatureReports(CONTROLLER_A).empty()) << "a Reload Request before any choice";

    ASSERT_TRUE(Choose(IDM_PROFILE_BASE + 2));

    const std::vector<BYTE> current = GetValue(L"Current Setting");
    ASSERT_EQ(current.size(), 126u);
    for (VC_CONTROLLER_ID id : {CONTROLLER_A, CONTROLLER_B}) {
        const std::vector<VC_REPORT_ENTRY> reports = FeatureReports(id);
        ASSERT_EQ(reports.size(), 1u) << "controller " << std::hex << id.wProductID;
        EXPECT_EQ(std::vector<BYTE>(reports[0].rgbReport, reports[0].rgbReport + reports[0].cbReport),
                  std::vector<BYTE>(32, 0));
        EXPECT_EQ(DriversSetting(id), current) << "controller " << std::hex << id.wProductID;
    }
    EXPECT_EQ(current[0], 0x22) << "the chosen profile is not the current setting";
}

// A controller that holds its Reload Request for good costs the program a
// bounded wait: the command returns, the next controller still gets its
// request, the window answers and Exit ends the program with 0.
TEST_F(TrayWithControllers, StalledReloadRequestHoldsNeitherTheProgramNorTheOtherController)
{
    StoreTwoProfiles();
    Plug(CONTROLLER_A);
    Plug(CONTROLLER_B);
    VC_FAULT stall = {};
    stall.id = CONTROLLER_A;
    stall.kind = VC_REPORT_FEATURE;
    stall.mode = VC_FAULT_STALL;
    ASSERT_EQ(vcontroller::SetFault(stall), static_cast<DWORD>(ERROR_SUCCESS));
    StartQuellin();
    ASSERT_NE(nullptr, hwnd_);

    const ULONGLONG ullStart = GetTickCount64();
    ASSERT_TRUE(Choose(IDM_PROFILE_BASE + 1)) << "the program hangs on the stalled controller";
    printf("the profile command took %llu ms with one controller stalled\n", GetTickCount64() - ullStart);
    EXPECT_EQ(FeatureReports(CONTROLLER_A).size(), 1u);
    EXPECT_EQ(FeatureReports(CONTROLLER_B).size(), 1u) << "the other controller got no request";
    DWORD_PTR dwResult;
    EXPECT_NE(0, SendMessageTimeoutW(hwnd_, WM_NULL, 0, 0, SMTO_NORMAL, kWait, &dwResult));

    PostMessageW(hwnd_, WM_COMMAND, IDM_EXIT, 0);
    ASSERT_EQ(WaitForSingleObject(hProcess_, kWait), WAIT_OBJECT_0) << "Exit did not end the program";
    DWORD dwExit = 1;
    GetExitCodeProcess(hProcess_, &dwExit);
    EXPECT_EQ(dwExit, 0u);
}

// What ffhost.exe printed, and its exit code.
std::string RunBesideThisProgram(std::wstring commandLine, DWORD* pdwExit)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&hRead, &hWrite, &sa, 0));
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hWrite;
    si.hStdError = hWrite;
    PROCESS_INFORMATION pi = {};
    const BOOL fStarted =
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(hWrite);
    std::string output;
    char rgch[4096];
    DWORD cb;
    while (fStarted && ReadFile(hRead, rgch, sizeof(rgch), &cb, nullptr) && cb > 0)
        output.append(rgch, cb);
    CloseHandle(hRead);
    *pdwExit = 255;
    if (fStarted) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, pdwExit);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return output;
}

// The counts of one line of the soak's figures: handles, USER and GDI objects.
std::vector<unsigned long> SoakCounts(const std::string& output, const char* pszWhen, const char* pszWho)
{
    const std::string prefix = std::string(pszWhen) + " " + pszWho + ": handles ";
    const size_t i = output.find(prefix);
    unsigned long rgul[3] = {};
    if (i == std::string::npos ||
        sscanf(output.c_str() + i + prefix.size(), "%lu, USER objects %lu, GDI objects %lu", &rgul[0],
               &rgul[1], &rgul[2]) != 3)
        return {};
    return {rgul[0], rgul[1], rgul[2]};
}

// Plugs and pulls, each binding playing a sine, with the program switching
// automatically: neither the game's host nor quellin.exe keeps more handles
// or objects than a few, and every binding that ended stopped the motors.
// SOAK_CYCLES sets the number of cycles (a long run: 200).
TEST_F(TrayWithControllers, SoakOfPlugsAndPullsLeavesNothingBehind)
{
    BYTE one = 1;
    SetValue(L"Auto Setting Change", REG_BINARY, &one, 1);
    StartQuellin();
    ASSERT_NE(nullptr, hwnd_);
    char szCycles[16] = "6";
    GetEnvironmentVariableA("SOAK_CYCLES", szCycles, sizeof(szCycles));
    std::wstring commandLine =
        L"\"" + BesideThisProgram(L"ffhost.exe") + L"\" soak --device 7C4A:01F6 --cycles ";
    for (const char* p = szCycles; *p; ++p)
        commandLine += static_cast<wchar_t>(*p);

    DWORD dwExit;
    const std::string output = RunBesideThisProgram(commandLine, &dwExit);
    printf("%s", output.c_str());

    EXPECT_EQ(dwExit, 0u) << "a binding ended without its all-zero report, or the soak could not run";
    for (const char* pszWho : {"host", "quellin.exe"}) {
        const std::vector<unsigned long> before = SoakCounts(output, "before", pszWho);
        const std::vector<unsigned long> after = SoakCounts(output, "after", pszWho);
        ASSERT_EQ(before.size(), 3u) << pszWho;
        ASSERT_EQ(after.size(), 3u) << pszWho;
        EXPECT_GT(before[0], 0u) << pszWho << ": its handles were not counted";
        for (size_t i = 0; i < 3; ++i)
            EXPECT_LE(after[i], before[i] + 3) << pszWho << ", count " << i;
    }
    EXPECT_NE(output.find("quellin.exe still runs"), std::string::npos);
}

} // namespace
