// The Property Sheet Launcher against the stand-in component, activated
// through the registry by real COM, and the sheet test against a mutex held
// by another process.
#include "tests/tray/tray_window_fixture.h"

#include "common/class_ids.h"
#include "tools/tovarin_standin/standin_behaviour.h"
#include "tray/game_cntrl_prop_sheet.h"
#include "tray/property_sheet_launcher.h"
#include "tray/resource.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// GetProcAddress hands out a generic pointer; the export's own type is known.
template <typename Function> Function Export(HMODULE hModule, const char* pszName)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(hModule, pszName)));
}

std::wstring BesideThisProgram(const wchar_t* pszFile)
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(nullptr, szPath, ARRAYSIZE(szPath));
    std::wstring path = szPath;
    return path.substr(0, path.rfind(L'\\') + 1) + pszFile;
}

// The stand-in, registered under HKEY_LOCAL_MACHINE as regsvr32 would, and
// kept loaded by the test so that its state can be asked after COM let go.
class StandIn {
public:
    StandIn()
    {
        hModule_ = LoadLibraryW(BesideThisProgram(L"tovarin_standin.dll").c_str());
        if (!hModule_) return;
        pfnRegister_ = Export<HRESULT(WINAPI*)()>(hModule_, "DllRegisterServer");
        pfnUnregister_ = Export<HRESULT(WINAPI*)()>(hModule_, "DllUnregisterServer");
        pfnCanUnloadNow_ = Export<HRESULT(WINAPI*)()>(hModule_, "DllCanUnloadNow");
        pfnSetBehaviour_ = Export<PFN_STANDIN_SET_BEHAVIOUR>(hModule_, "StandInSetBehaviour");
    }
    ~StandIn()
    {
        if (hModule_) {
            SetBehaviour(STANDIN_NORMAL);
            Register();
            FreeLibrary(hModule_);
        }
    }
    bool Loaded() const
    {
        return hModule_ && pfnRegister_ && pfnUnregister_ && pfnCanUnloadNow_ && pfnSetBehaviour_;
    }
    HRESULT Register() const { return pfnRegister_(); }
    HRESULT Unregister() const { return pfnUnregister_(); }
    // S_OK once every object of the component has been released.
    HRESULT CanUnloadNow() const { return pfnCanUnloadNow_(); }
    void SetBehaviour(DWORD dwBehaviour) const { pfnSetBehaviour_(dwBehaviour); }

private:
    HMODULE hModule_ = nullptr;
    HRESULT(WINAPI* pfnRegister_)() = nullptr;
    HRESULT(WINAPI* pfnUnregister_)() = nullptr;
    HRESULT(WINAPI* pfnCanUnloadNow_)() = nullptr;
    PFN_STANDIN_SET_BEHAVIOUR pfnSetBehaviour_ = nullptr;
};

// What a look at the screen finds while the launch runs. A thread timer,
// dispatched by the sheet's own modal loop, looks for the sheet, lets the
// test act while it is open, then cancels it.
struct SheetSeen {
    int cSheets = 0;
    HWND hwndOwner = nullptr;
    std::wstring caption;
    std::wstring tabText;
    int cTabs = 0;
    BOOL fOpenAccordingToMutex = FALSE;
    BOOL fOwnerEnabled = TRUE;
};

HWND g_hwndOwner;
SheetSeen g_seen;
std::function<void()> g_whileOpen;
int g_cTicks;

BOOL CALLBACK CountSheet(HWND hwnd, LPARAM lParam)
{
    WCHAR szClass[32];
    GetClassNameW(hwnd, szClass, ARRAYSIZE(szClass));
    if (wcscmp(szClass, L"#32770") == 0 && GetWindow(hwnd, GW_OWNER) == g_hwndOwner &&
        IsWindowVisible(hwnd)) {
        g_seen.cSheets++;
        *reinterpret_cast<HWND*>(lParam) = hwnd;
    }
    return TRUE;
}

void CALLBACK LookAtSheet(HWND, UINT, UINT_PTR idTimer, DWORD)
{
    if (++g_cTicks > 200) {
        KillTimer(nullptr, idTimer);
        return;
    }
    HWND hwndSheet = nullptr;
    g_seen.cSheets = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountSheet, reinterpret_cast<LPARAM>(&hwndSheet));
    if (!hwndSheet) return;
    KillTimer(nullptr, idTimer);
    g_seen.hwndOwner = GetWindow(hwndSheet, GW_OWNER);
    WCHAR szText[128] = L"";
    GetWindowTextW(hwndSheet, szText, ARRAYSIZE(szText));
    g_seen.caption = szText;
    HWND hwndTab = PropSheet_GetTabControl(hwndSheet);
    g_seen.cTabs = TabCtrl_GetItemCount(hwndTab);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = szText;
    item.cchTextMax = ARRAYSIZE(szText);
    szText[0] = L'\0';
    TabCtrl_GetItem(hwndTab, 0, &item);
    g_seen.tabText = szText;
    g_seen.fOpenAccordingToMutex = PropertySheetLauncher::IsSheetOpen();
    g_seen.fOwnerEnabled = IsWindowEnabled(g_hwndOwner);
    if (g_whileOpen) g_whileOpen();
    PostMessageW(hwndSheet, WM_COMMAND, IDCANCEL, 0);
}

// Runs launch with the sheet watcher armed; returns what it saw.
SheetSeen WatchSheet(HWND hwndOwner, const std::function<void()>& launch)
{
    g_hwndOwner = hwndOwner;
    g_seen = {};
    g_cTicks = 0;
    const UINT_PTR idTimer = SetTimer(nullptr, 0, 30, LookAtSheet);
    launch();
    KillTimer(nullptr, idTimer);
    g_whileOpen = nullptr;
    return g_seen;
}

// Whether the thread's COM apartment was left uninitialised: a fresh
// CoInitialize then starts one of its own.
bool ComUninitialised()
{
    const HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr == S_OK;
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(standIn_.Loaded());
        ASSERT_EQ(S_OK, standIn_.Register());
        hwnd_ = CreateWindowExW(0, L"STATIC", L"launcher owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, hwnd_);
    }
    void TearDown() override { DestroyWindow(hwnd_); }

    SheetSeen Launch()
    {
        PropertySheetLauncher launcher(GetModuleHandleW(nullptr), hwnd_);
        return WatchSheet(hwnd_, [&] { launcher.Launch(); });
    }

    StandIn standIn_;
    HWND hwnd_ = nullptr;
};

TEST_F(LauncherTest, LaunchShowsTheComponentsSheetModallyAndReleasesIt)
{
    const SheetSeen seen = Launch();

    EXPECT_EQ(1, seen.cSheets);
    EXPECT_EQ(hwnd_, seen.hwndOwner);
    EXPECT_EQ(L"Corvane Wireless Controller Properties", seen.caption);
    EXPECT_EQ(1, seen.cTabs);
    EXPECT_EQ(L"Controller", seen.tabText); // the page's template names it
    EXPECT_TRUE(seen.fOpenAccordingToMutex);
    EXPECT_FALSE(seen.fOwnerEnabled);

    EXPECT_FALSE(PropertySheetLauncher::IsSheetOpen());
    EXPECT_TRUE(IsWindowEnabled(hwnd_));
    EXPECT_EQ(S_OK, standIn_.CanUnloadNow());
    EXPECT_TRUE(ComUninitialised());
}

TEST_F(LauncherTest, FailingComponentShowsNothingAndIsReleasedEveryTime)
{
    for (DWORD dwBehaviour : {STANDIN_REFUSE_INTERFACE, STANDIN_FAIL_SHEET_INFO, STANDIN_FAIL_PAGE_INFO}) {
        standIn_.SetBehaviour(dwBehaviour);

        const SheetSeen seen = Launch();

        EXPECT_EQ(0, seen.cSheets) << dwBehaviour;
        EXPECT_EQ(S_OK, standIn_.CanUnloadNow()) << dwBehaviour;
        EXPECT_TRUE(ComUninitialised()) << dwBehaviour;
    }
    // And the next launch starts clean.
    standIn_.SetBehaviour(STANDIN_NORMAL);
    EXPECT_EQ(1, Launch().cSheets);
}

TEST_F(LauncherTest, UnregisteredComponentShowsNothingAndLaterLaunchesTryAgain)
{
    ASSERT_EQ(S_OK, standIn_.Unregister());
    EXPECT_EQ(0, Launch().cSheets);
    EXPECT_TRUE(ComUninitialised());

    ASSERT_EQ(S_OK, standIn_.Register());
    EXPECT_EQ(1, Launch().cSheets);
}

TEST_F(LauncherTest, LaunchLeavesAnApartmentItDidNotMakeAlone)
{
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));

    Launch();

    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); // still the caller's apartment
    CoUninitialize();
    CoUninitialize();
}

TEST_F(LauncherTest, InterfaceIdAndMethodOrderAreThePublishedOnes)
{
    WCHAR szIid[40];
    StringFromGUID2(IID_IDIGameCntrlPropSheet, szIid, ARRAYSIZE(szIid));
    EXPECT_STREQ(L"{7854FB22-8EE3-11D0-A1AC-0000F8026977}", szIid);

    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_PropertySheetComponent, nullptr, CLSCTX_SERVER,
                                     IID_IDIGameCntrlPropSheet, reinterpret_cast<void**>(&pUnknown)));
    // The table as a C host sees it: IUnknown, then GetSheetInfo,
    // GetPageInfo, SetID and GetID.
    struct Vtbl {
        void* rgpfnUnknown[3];
        HRESULT(STDMETHODCALLTYPE* GetSheetInfo)(void*, LPDIGCSHEETINFO*);
        HRESULT(STDMETHODCALLTYPE* GetPageInfo)(void*, LPDIGCPAGEINFO*);
        HRESULT(STDMETHODCALLTYPE* SetID)(void*, USHORT);
        USHORT(STDMETHODCALLTYPE* GetID)(void*);
    };
    const Vtbl* pVtbl = *reinterpret_cast<Vtbl**>(pUnknown);
    LPDIGCSHEETINFO pSheet = nullptr;
    LPDIGCPAGEINFO pPage = nullptr;
    EXPECT_EQ(S_OK, pVtbl->GetSheetInfo(pUnknown, &pSheet));
    EXPECT_EQ(S_OK, pVtbl->GetPageInfo(pUnknown, &pPage));
    ASSERT_NE(nullptr, pSheet);
    ASSERT_NE(nullptr, pPage);
    EXPECT_EQ(sizeof(DIGCSHEETINFO), pSheet->dwSize);
    EXPECT_EQ(1, pSheet->nNumPages);
    EXPECT_EQ(sizeof(DIGCPAGEINFO), pPage->dwSize);
    EXPECT_EQ(S_OK, pVtbl->SetID(pUnknown, 7));
    EXPECT_EQ(7, pVtbl->GetID(pUnknown));
    pUnknown->Release();
    CoUninitialize();
}

// "tovarin mutex" held by another process, as by a sheet that another
// program of the same logon opened.
TEST(IsSheetOpenTest, FollowsTheMutexOfAnotherProcessAndLeavesNoneBehind)
{
    EXPECT_FALSE(PropertySheetLauncher::IsSheetOpen());
    HANDLE hLeft = OpenMutexW(SYNCHRONIZE, FALSE, L"tovarin mutex");
    EXPECT_EQ(nullptr, hLeft);
    if (hLeft) CloseHandle(hLeft);

    const std::wstring readyName = L"hold_mutex ready " + std::to_wstring(GetCurrentProcessId());
    HANDLE hReady = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    std::wstring commandLine =
        L"\"" + BesideThisProgram(L"hold_mutex.exe") + L"\" \"tovarin mutex\" \"" + readyName + L"\"";
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hReady, 10000));

    EXPECT_TRUE(PropertySheetLauncher::IsSheetOpen());
    EXPECT_TRUE(PropertySheetLauncher::IsSheetOpen()); // asking does not disturb the holder

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    EXPECT_FALSE(PropertySheetLauncher::IsSheetOpen());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(hReady);
}

// The sheet opened from the tray window's icon and menu.
class SheetFromTrayTest : public TrayWindowTest {
protected:
    void SetUp() override
    {
        // Registered before the test's Parameters key takes the place of
        // HKEY_LOCAL_MACHINE in this process.
        ASSERT_TRUE(standIn_.Loaded());
        ASSERT_EQ(S_OK, standIn_.Register());
        TrayWindowTest::SetUp();
        StoreProfiles({L"one.exe", L"two.exe"});
        ASSERT_NE(nullptr, MakeTrayWindow());
    }

    StandIn standIn_;
};

TEST_F(SheetFromTrayTest, DoubleClickOpensOneSheetWhileWhichTheTrayRefusesChanges)
{
    g_whileOpen = [&] {
        SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_NOTIFY, WM_LBUTTONDBLCLK); // a second double click
        SendMessageW(hwnd_, WM_COMMAND, IDM_PROFILE_BASE + 2, 0);
        SendMessageW(hwnd_, WM_COMMAND, IDM_EXIT, 0);
        SendMessageW(hwnd_, WM_TIMER, IDT_CLICK, 0); // the profile menu, grayed
    };

    const SheetSeen seen =
        WatchSheet(hwnd_, [&] { SendMessageW(hwnd_, WM_TRAYICON, TRAYICON_NOTIFY, WM_LBUTTONDBLCLK); });

    EXPECT_EQ(1, seen.cSheets);
    EXPECT_EQ(hwnd_, seen.hwndOwner);
    EXPECT_EQ(0, App()->pSettings->iCurrent);
    EXPECT_EQ(0, Controller().cRequests);
    ASSERT_EQ(1u, s_menus.size());
    EXPECT_EQ(UINT(MFS_GRAYED), s_menus[0][2].fState);
    Pump();
    EXPECT_TRUE(IsWindow(hwnd_)); // Exit was refused
    EXPECT_FALSE(PropertySheetLauncher::IsSheetOpen());
}

TEST_F(SheetFromTrayTest, PropertiesCommandOpensTheSheet)
{
    const SheetSeen seen = WatchSheet(hwnd_, [&] { SendMessageW(hwnd_, WM_COMMAND, IDM_PROPERTIES, 0); });

    EXPECT_EQ(1, seen.cSheets);
    EXPECT_TRUE(seen.fOpenAccordingToMutex);
}

} // namespace
