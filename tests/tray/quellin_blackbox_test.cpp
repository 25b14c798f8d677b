// quellin.exe itself, from the outside: started (under Wine in a desktop of
// its own with a notification area of its own), driven by window messages,
// watched through the Parameters key, its exit code and the icon the shell
// holds for its window.
#include "controller_link.h"

#include "common/device_contract.h"
#include "tests/tray/quellin_outside.h"
#include "tests/tray/registry_sandbox.h"
#include "tray/resource.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kDesktop[] = L"quellin tests";
// The reload message, the window's class and title and the mutex names are
// written out here rather than taken from common/tray_contract.h: a program
// that changed them would fail these tests, as it would fail the processes
// that look for them.
constexpr UINT WM_TRAYICON = WM_USER + 1;
constexpr DWORD kWait = OUTSIDE_WAIT_MS;
constexpr DWORD kNothingHappens = 2500; // more than two ticks of automatic switching

std::wstring ThisProgramsFileName()
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(nullptr, szPath, ARRAYSIZE(szPath));
    std::wstring path = szPath;
    return path.substr(path.rfind(L'\\') + 1);
}

// The program's controller: a virtual one, plugged for each test's process
// and pulled after it; the other id is never plugged.
constexpr VC_CONTROLLER_ID kController = {0x7C4A, 0x01F8};
constexpr DWORD kControllerAttribute = 0x7C4A01F8;
constexpr DWORD kAbsentAttribute = 0x7C4A01E0;

class QuellinTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const VC_PLUG plug = {kController, VC_DEFAULT_OUTPUT_LENGTH, VC_DEFAULT_FEATURE_LENGTH};
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), vcontroller::Plug(plug));
        ASSERT_TRUE(vcontroller::WaitForController(kController, true, kWait));
    }

    static void TearDownTestSuite()
    {
        if (vcontroller::Unplug(kController) == ERROR_SUCCESS)
            vcontroller::WaitForController(kController, false, kWait);
    }

    void SetUp() override
    {
        EnterTestDesktop(kDesktop);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
        SetSupportedDevices({kControllerAttribute});
    }

    void TearDown() override
    {
        if (hSheetMutex_) CloseHandle(hSheetMutex_);
        if (hwndForeground_) DestroyWindow(hwndForeground_);
        for (HANDLE hProcess : processes_) {
            if (WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(hProcess, 99);
                WaitForSingleObject(hProcess, kWait);
            }
            CloseHandle(hProcess);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
    }

    static void SetBinary(LPCWSTR pszName, const std::vector<BYTE>& data)
    {
        SetValue(pszName, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
    }
    static DWORD CurrentIndex()
    {
        const std::vector<BYTE> data = GetValue(L"Current Setting Index");
        return data.size() == 4 ? *reinterpret_cast<const DWORD*>(data.data()) : 0xFFFFFFFF;
    }

    static void SetSupportedDevices(std::initializer_list<DWORD> devices)
    {
        SetDword(L"Supported Device Count", static_cast<DWORD>(devices.size()));
        DWORD i = 0;
        for (DWORD device : devices)
            SetDword((L"Supported Device Attribute " + std::to_wstring(i++)).c_str(), device);
    }

    // Profiles 1 to n named as given, profile i's block filled with i.
    static void StoreProfiles(std::initializer_list<std::wstring> names, BYTE fAutoChange)
    {
        DWORD i = 1;
        for (const std::wstring& name : names) {
            SetBinary((L"Setting " + std::to_wstring(i)).c_str(), Block(static_cast<BYTE>(i)));
            SetValue((L"Setting Name " + std::to_wstring(i)).c_str(), REG_SZ, name.c_str(),
                     static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
            i++;
        }
        SetDword(L"Setting Count", i);
        SetDword(L"Current Setting Index", 0);
        SetBinary(L"Current Setting", Block(0xEE));
        SetBinary(L"Modified Flag", {0});
        SetBinary(L"Auto Setting Change", {fAutoChange});
    }

    // Starts quellin.exe in the test desktop; the process handle, or null.
    HANDLE Start()
    {
        std::wstring commandLine = L"\"" + BesideThisProgram(L"quellin.exe") + L"\"";
        STARTUPINFOW si = {sizeof(si)};
        si.lpDesktop = StartupDesktop(kDesktop);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &pi))
            return nullptr;
        CloseHandle(pi.hThread);
        processes_.push_back(pi.hProcess);
        return pi.hProcess;
    }

    // Starts the program and waits for its hidden window.
    HWND StartAndFindWindow()
    {
        HANDLE hProcess = Start();
        EXPECT_NE(nullptr, hProcess);
        HWND hwnd = nullptr;
        EXPECT_TRUE(WaitFor([&] {
            hwnd = FindWindowW(L"quellin class", L"quellin window");
            return hwnd != nullptr || WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0;
        }));
        if (hwnd) WaitForInputIdle(hProcess, kWait);
        return hwnd;
    }

    // Sent, not posted: the command has been carried out when this returns.
    static void Command(HWND hwnd, UINT id)
    {
        DWORD_PTR dwResult;
        SendMessageTimeoutW(hwnd, WM_COMMAND, id, 0, SMTO_NORMAL, kWait, &dwResult);
    }

    // A window of this test program in the foreground: the profile named like
    // this program's file applies.
    void ComeToForeground()
    {
        hwndForeground_ =
            CreateWindowExW(0, L"STATIC", L"foreground program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100,
                            300, 200, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, hwndForeground_);
        SetForegroundWindow(hwndForeground_);
        ASSERT_TRUE(WaitFor([&] { return GetForegroundWindow() == hwndForeground_; }));
    }

    // The restart notice that quellin.exe shows on its way to a profile whose
    // Restart bytes differ, once it is up; closing it lets the apply go on.
    static bool CloseRestartNotice()
    {
        HWND hwndNotice = nullptr;
        if (!WaitFor([&] {
                hwndNotice = FindWindowW(L"#32770", L"Corvane Wireless Controller \"Restart\"");
                return hwndNotice != nullptr;
            }))
            return false;
        PostMessageW(hwndNotice, WM_COMMAND, IDOK, 0);
        return WaitFor([&] { return !IsWindow(hwndNotice); });
    }

    // Returns once the program has finished what it was doing: a sent
    // message is handled only when its window procedure is free again.
    static bool Idle(HWND hwnd)
    {
        DWORD_PTR dwResult;
        return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, kWait, &dwResult) != 0;
    }

    void HoldSheetMutex()
    {
        hSheetMutex_ = CreateMutexW(nullptr, TRUE, L"tovarin mutex");
        ASSERT_NE(nullptr, hSheetMutex_);
    }
    void ReleaseSheetMutex()
    {
        ReleaseMutex(hSheetMutex_);
        CloseHandle(hSheetMutex_);
        hSheetMutex_ = nullptr;
    }

    static DWORD ExitCodeAfterExit(HANDLE hProcess)
    {
        if (WaitForSingleObject(hProcess, kWait) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD dwExitCode = STILL_ACTIVE;
        GetExitCodeProcess(hProcess, &dwExitCode);
        return dwExitCode;
    }

    std::vector<HANDLE> processes_;
    HWND hwndForeground_ = nullptr;
    HANDLE hSheetMutex_ = nullptr;
};

TEST_F(QuellinTest, SecondInstanceExitsWith183AndLeavesTheFirstRunning)
{
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);

    HANDLE hSecond = Start();
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(183u, ExitCodeAfterExit(hSecond));

    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(processes_[0], 0));
    EXPECT_EQ(hwnd, FindWindowW(L"quellin class", L"quellin window"));
    EXPECT_FALSE(IsWindowVisible(hwnd));
}

// An instance started from an elevated prompt holds a mutex that grants the
// user's unelevated token nothing: a later ordinary start is refused it.
TEST_F(QuellinTest, MutexThatCannotBeOpenedMeansAnotherInstanceAndExitsWith183)
{
    PSECURITY_DESCRIPTOR psd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                     &psd, nullptr));
    SECURITY_ATTRIBUTES sa = {sizeof(sa), psd, FALSE};
    HANDLE hMutex = CreateMutexW(&sa, TRUE, L"quellin mutex");
    LocalFree(psd);
    ASSERT_NE(nullptr, hMutex);
    ASSERT_EQ(nullptr, CreateMutexW(nullptr, TRUE, L"quellin mutex"));
    ASSERT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());

    HANDLE hProcess = Start();
    ASSERT_NE(nullptr, hProcess);
    EXPECT_EQ(183u, ExitCodeAfterExit(hProcess));
    EXPECT_EQ(nullptr, FindWindowW(L"quellin class", L"quellin window"));
    CloseHandle(hMutex);
}

// quellin.exe as a standard user: the key is read whether or not the user may
// write it, and a choice of profile, from the menu or by switching, is saved
// exactly when the grant allows it. The restart notice on the way to the
// chosen profile shows that the program found it and went for it.
TEST_F(QuellinTest, StandardUserFindsTheControllerAndProfilesAndSavesOnlyWithTheGrant)
{
    for (const StandardUserKey& c : StandardUserKeys()) {
        SCOPED_TRACE(testing::PrintToString(c.sddl));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
        SetSupportedDevices({kControllerAttribute});
        StoreProfiles({L"one.exe", ThisProgramsFileName()}, 0);
        std::vector<BYTE> block1 = Block(1);
        block1[123] = 1; // a restart notice from the start block to profile 1, and from there to profile 2
        SetBinary(L"Setting 1", block1);
        ParametersKeySecurity security(c.sddl);

        HWND hwnd = StartAndFindWindow();
        ASSERT_NE(nullptr, hwnd);
        EXPECT_TRUE(IconShown(hwnd));

        PostMessageW(hwnd, WM_COMMAND, IDM_PROFILE_BASE + 1, 0);
        ASSERT_TRUE(CloseRestartNotice());
        ASSERT_TRUE(Idle(hwnd));
        EXPECT_EQ(c.fGranted ? 1u : 0u, CurrentIndex());
        EXPECT_EQ(c.fGranted ? block1 : Block(0xEE), GetValue(L"Current Setting"));

        // Automatic switching tells of the restart in a notification of
        // the icon, not in a message box that would stop the game.
        ComeToForeground();
        PostMessageW(hwnd, WM_COMMAND, IDM_AUTOCHANGE, 0);
        ASSERT_TRUE(Idle(hwnd));
        for (int i = 0; i < 100 && CurrentIndex() != (c.fGranted ? 2u : 0u); ++i)
            Sleep(50);
        EXPECT_EQ(c.fGranted ? 2u : 0u, CurrentIndex());
        EXPECT_EQ(std::vector<BYTE>{BYTE(c.fGranted ? 1 : 0)}, GetValue(L"Auto Setting Change"));

        // Nothing failed that the program noticed: it runs on, and ends as usual.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(processes_.back(), 0));
        EXPECT_TRUE(IconShown(hwnd));
        PostMessageW(hwnd, WM_COMMAND, IDM_EXIT, 0);
        EXPECT_EQ(0u, ExitCodeAfterExit(processes_.back()));
        DestroyWindow(hwndForeground_);
        hwndForeground_ = nullptr;
    }
}

TEST_F(QuellinTest, ProfileCommandAppliesTheProfileAndWritesTheKey)
{
    StoreProfiles({L"one.exe", L"two.exe"}, 0);
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);

    Command(hwnd, IDM_PROFILE_BASE + 2);

    EXPECT_EQ(2u, CurrentIndex());
    EXPECT_EQ(Block(2), GetValue(L"Current Setting"));
    EXPECT_EQ(std::vector<BYTE>{0}, GetValue(L"Modified Flag"));
}

TEST_F(QuellinTest, AutomaticSwitchingAppliesTheProfileNamedLikeTheForegroundProgram)
{
    std::wstring name = ThisProgramsFileName();
    for (wchar_t& ch : name)
        ch = towupper(ch);
    StoreProfiles({L"one.exe", name}, 1);
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);

    ComeToForeground();

    ASSERT_TRUE(WaitFor([] { return CurrentIndex() == 2; }));
    EXPECT_EQ(Block(2), GetValue(L"Current Setting"));
}

TEST_F(QuellinTest, ReloadMessageReadsTheKeyButStartsNoSwitching)
{
    StoreProfiles({L"one.exe"}, 0);
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);
    ComeToForeground();

    // Another program adds a profile named like the foreground program and
    // turns switching on, then asks for a reload.
    StoreProfiles({L"one.exe", ThisProgramsFileName()}, 1);
    DWORD_PTR dwResult;
    ASSERT_NE(0, SendMessageTimeoutW(hwnd, WM_TRAYICON, 1, 0, SMTO_NORMAL, kWait, &dwResult));
    EXPECT_EQ(0u, dwResult);

    Sleep(kNothingHappens);
    EXPECT_EQ(0u, CurrentIndex()); // no timer runs

    // The reloaded flag is on: the command turns switching off, then on.
    Command(hwnd, IDM_AUTOCHANGE);
    EXPECT_EQ(std::vector<BYTE>{0}, GetValue(L"Auto Setting Change"));
    Command(hwnd, IDM_AUTOCHANGE);
    ASSERT_TRUE(WaitFor([] { return CurrentIndex() == 2; })); // a profile only the reload knew
}

TEST_F(QuellinTest, ExitEndsTheProgramWithZeroAndRemovesTheIcon)
{
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);
    ASSERT_TRUE(IconShown(hwnd));

    PostMessageW(hwnd, WM_COMMAND, IDM_EXIT, 0);

    EXPECT_EQ(0u, ExitCodeAfterExit(processes_[0]));
    EXPECT_FALSE(IconShown(hwnd));
    EXPECT_EQ(nullptr, FindWindowW(L"quellin class", L"quellin window"));
}

// Windows Installer's Restart Manager closes the program for an upgrade as a
// logoff would, but only it: the program agrees and ends as Exit ends it,
// and a new instance may start at once.
TEST_F(QuellinTest, RestartManagersCloseEndsTheProgramWithZeroAndRemovesTheIcon)
{
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);
    ASSERT_TRUE(IconShown(hwnd));

    DWORD_PTR dwResult = 0;
    ASSERT_NE(0, SendMessageTimeoutW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL, kWait,
                                     &dwResult));
    EXPECT_EQ(TRUE, dwResult);
    SendMessageTimeoutW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_NORMAL, kWait, &dwResult);

    EXPECT_EQ(0u, ExitCodeAfterExit(processes_[0]));
    EXPECT_FALSE(IconShown(hwnd));
    HWND hwndNew = StartAndFindWindow();
    EXPECT_NE(nullptr, hwndNew) << "the instance mutex was not released";
    EXPECT_TRUE(IconShown(hwndNew));
}

// A device change (a USB stick, a headset) while the controller is present
// brings the icon up to date and leaves the foreground, a game's, alone.
TEST_F(QuellinTest, DeviceChangeLeavesTheForegroundWhereItIs)
{
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);
    ComeToForeground();

    DWORD_PTR dwResult;
    SendMessageTimeoutW(hwnd, WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0, SMTO_NORMAL, kWait,
                        &dwResult);
    ASSERT_TRUE(Idle(hwnd));
    WaitFor([] { return false; }, 200); // lets a foreground change arrive

    EXPECT_TRUE(IconShown(hwnd));
    EXPECT_EQ(hwndForeground_, GetForegroundWindow());
}

// The program never writes a profile, a name or the count: what another
// writer (the sheet, or the program of another session) added after this
// one read the key survives every save of this one.
TEST_F(QuellinTest, SaveLeavesTheProfilesOfAnotherWriterAlone)
{
    StoreProfiles({L"one.exe", L"two.exe"}, 0);
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);

    SetDword(L"Setting Count", 5);
    for (int i : {3, 4}) {
        SetBinary((L"Setting " + std::to_wstring(i)).c_str(), Block(static_cast<BYTE>(i)));
        SetValue((L"Setting Name " + std::to_wstring(i)).c_str(), REG_SZ, L"new.exe", sizeof(L"new.exe"));
    }
    Command(hwnd, IDM_AUTOCHANGE);
    Command(hwnd, IDM_PROFILE_BASE + 1);

    EXPECT_EQ(std::vector<BYTE>{1}, GetValue(L"Auto Setting Change"));
    EXPECT_EQ(1u, CurrentIndex());
    EXPECT_EQ((std::vector<BYTE>{5, 0, 0, 0}), GetValue(L"Setting Count"));
    for (int i : {3, 4}) {
        EXPECT_EQ(Block(static_cast<BYTE>(i)), GetValue((L"Setting " + std::to_wstring(i)).c_str())) << i;
        EXPECT_FALSE(GetValue((L"Setting Name " + std::to_wstring(i)).c_str()).empty()) << i;
    }
}

TEST_F(QuellinTest, OpenSheetElsewhereStopsProfileCommandsSwitchingAndExit)
{
    StoreProfiles({L"one.exe", ThisProgramsFileName()}, 1);
    HoldSheetMutex();
    HWND hwnd = StartAndFindWindow();
    ASSERT_NE(nullptr, hwnd);
    ComeToForeground();
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, L"Modified Flag"); // Save would write it

    Command(hwnd, IDM_PROFILE_BASE + 1);
    PostMessageW(hwnd, WM_COMMAND, IDM_EXIT, 0);
    Sleep(kNothingHappens);

    EXPECT_EQ(0u, CurrentIndex());
    EXPECT_TRUE(GetValue(L"Modified Flag").empty());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(processes_[0], 0));

    ReleaseSheetMutex();
    ASSERT_TRUE(WaitFor([] { return CurrentIndex() == 2; }));
    PostMessageW(hwnd, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(0u, ExitCodeAfterExit(processes_[0]));
}

TEST_F(QuellinTest, IconIsShownOnlyWhileAListedControllerIsPresent)
{
    const struct {
        std::vector<DWORD> devices;
        bool fIcon;
    } cases[] = {
        {{kControllerAttribute}, true},
        {{0x12340001, kControllerAttribute}, true},
        {{}, false},
        {{kAbsentAttribute}, false},
        {{0x01F87C4A}, false}, // vendor and product the wrong way round
    };
    for (const auto& c : cases) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH);
        DWORD i = 0;
        SetDword(L"Supported Device Count", static_cast<DWORD>(c.devices.size()));
        for (DWORD device : c.devices)
            SetDword((L"Supported Device Attribute " + std::to_wstring(i++)).c_str(), device);
        HWND hwnd = StartAndFindWindow();
        ASSERT_NE(nullptr, hwnd);

        EXPECT_EQ(c.fIcon, IconShown(hwnd)) << c.devices.size();

        PostMessageW(hwnd, WM_COMMAND, IDM_EXIT, 0);
        EXPECT_EQ(0u, ExitCodeAfterExit(processes_.back()));
    }
}

} // namespace
