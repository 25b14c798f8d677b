#include "machine_facts.h"

#include "common/class_ids.h"
#include "common/device_contract.h"
#include "common/reg_key.h"
#include "job_run.h"
#include "manifest.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);
using WineGetVersionProc = const char*(CDECL*)();
using IsWow64Process2Proc = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

// An export that older systems (or Windows itself, for Wine's) do not have.
template <class Proc> Proc Export(LPCWSTR pszModule, LPCSTR pszName)
{
    return reinterpret_cast<Proc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(pszModule), pszName)));
}

std::wstring WindowsVersion()
{
    OSVERSIONINFOW osvi = {sizeof(osvi)};
    auto pfnRtlGetVersion = Export<RtlGetVersionProc>(L"ntdll.dll", "RtlGetVersion");
    if (pfnRtlGetVersion) pfnRtlGetVersion(&osvi);
    return L"Windows " + std::to_wstring(osvi.dwMajorVersion) + L"." + std::to_wstring(osvi.dwMinorVersion) +
           L"." + std::to_wstring(osvi.dwBuildNumber);
}

bool IsElevated()
{
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD cb = 0;
    const BOOL fOk = GetTokenInformation(hToken, TokenElevation, &elevation, sizeof(elevation), &cb);
    CloseHandle(hToken);
    return fOk && elevation.TokenIsElevated;
}

// A window station that is WinSta0 and visible, where a top-level window can
// be made: what the tests with windows need. A service or a session without a
// desktop has none; Wine without a display cannot make the window.
bool HasInteractiveDesktop(std::wstring& detail)
{
    WCHAR szName[64] = L"";
    USEROBJECTFLAGS flags = {};
    HWINSTA hwinsta = GetProcessWindowStation();
    GetUserObjectInformationW(hwinsta, UOI_NAME, szName, sizeof(szName), nullptr);
    GetUserObjectInformationW(hwinsta, UOI_FLAGS, &flags, sizeof(flags), nullptr);
    if (_wcsicmp(szName, L"WinSta0") || !(flags.dwFlags & WSF_VISIBLE)) {
        detail = std::wstring(L"the window station is ") + szName + L", not the visible WinSta0";
        return false;
    }
    HWND hwnd =
        CreateWindowExW(0, L"STATIC", L"check", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!hwnd) {
        detail = L"no top-level window can be made (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    DestroyWindow(hwnd);
    detail = FindWindowW(L"Shell_TrayWnd", nullptr) ? L"WinSta0, with a notification area"
                                                    : L"WinSta0, no notification area (Shell_TrayWnd) found";
    return true;
}

bool KeyExists(LPCWSTR pszPath, REGSAM samView)
{
    RegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_READ | samView, key.put()) == ERROR_SUCCESS;
}

// The product's entry in Apps & features, or its effect driver's class, in
// either registry view.
bool ProductInstalled(std::wstring& detail)
{
    for (REGSAM samView : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        if (KeyExists(L"SOFTWARE\\Classes\\CLSID\\" CLSID_EFFECT_DRIVER_STRING, samView)) {
            detail = L"the effect driver's class " CLSID_EFFECT_DRIVER_STRING L" is registered";
            return true;
        }
        RegKey uninstall;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                          KEY_READ | samView, uninstall.put()) != ERROR_SUCCESS)
            continue;
        WCHAR szSubkey[256];
        for (DWORD i = 0;; ++i) {
            DWORD cch = ARRAYSIZE(szSubkey);
            if (RegEnumKeyExW(uninstall.get(), i, szSubkey, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            WCHAR szName[256] = L"";
            DWORD cb = sizeof(szName);
            if (RegGetValueW(uninstall.get(), szSubkey, L"DisplayName", RRF_RT_REG_SZ, nullptr, szName,
                             &cb) == ERROR_SUCCESS &&
                !wcscmp(szName, L"Corvane Wireless Controller")) {
                detail = L"Apps & features lists Corvane Wireless Controller";
                return true;
            }
        }
    }
    detail = L"no Uninstall entry, no class registration";
    return false;
}

// The controller's service, whose image is the kit's bus driver when the
// virtual controller is installed and anything else for a real driver.
void ControllerService(MachineFacts& facts, std::wstring& detail)
{
    SC_HANDLE hScm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hScm ? OpenServiceW(hScm, CONTROLLER_SERVICE_NAME, SERVICE_QUERY_CONFIG) : nullptr;
    if (!hService) {
        detail = L"no service " CONTROLLER_SERVICE_NAME;
    } else {
        BYTE buffer[8192];
        auto pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        DWORD cb = 0;
        std::wstring image =
            QueryServiceConfigW(hService, pConfig, sizeof(buffer), &cb) && pConfig->lpBinaryPathName
                ? pConfig->lpBinaryPathName
                : L"";
        const bool fKits = image.size() >= 9 && !_wcsicmp(image.c_str() + image.size() - 9, L"vcbus.sys");
        facts.fVirtualController = fKits;
        facts.fRealDriver = !fKits;
        detail = L"service " CONTROLLER_SERVICE_NAME L" runs " +
                 (image.empty() ? L"an unknown image" : image) +
                 (fKits ? L" (the kit's virtual controller)" : L" (not the kit's: a real controller driver)");
        CloseServiceHandle(hService);
    }
    if (hScm) CloseServiceHandle(hScm);
}

// Windows started with test signing on (bcdedit /set testsigning on): the
// loader then takes the kit's drivers, signed with its own test certificate.
bool TestSigning(bool fWine, std::wstring& detail)
{
    if (fWine) {
        detail = L"not needed: Wine loads drivers without signatures";
        return true;
    }
    WCHAR sz[512] = L"";
    DWORD cb = sizeof(sz);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control", L"SystemStartOptions",
                 RRF_RT_REG_SZ, nullptr, sz, &cb);
    const bool fOn = wcsstr(_wcsupr(sz), L"TESTSIGNING") != nullptr;
    detail = fOn ? L"on (the start options hold TESTSIGNING)"
                 : L"off: the kit's drivers will not load (bcdedit /set testsigning on, then restart)";
    return fOn;
}

bool X86Starts(const std::wstring& program, const std::wstring& workDirectory, std::wstring& detail)
{
    if (program.empty()) {
        detail = L"no x86 program to try: the kit holds none (the build makes them when the windows-x86 "
                 L"preset was built first), or --programs chose none";
        return false;
    }
    const JobRun run = RunInJob(L"\"" + program + L"\" --gtest_list_tests", workDirectory,
                                workDirectory + L"\\x86-start.txt", 300);
    if (!run.fStarted) {
        detail = L"an x86 program does not start (error " + std::to_wstring(run.dwStartError) + L")";
        return false;
    }
    if (run.fTimedOut || run.dwExitCode != 0) {
        detail = L"an x86 program started but did not list its tests (exit code " +
                 std::to_wstring(run.dwExitCode) + L")";
        return false;
    }
    detail = L"an x86 program listed its tests";
    return true;
}

} // namespace

MachineFacts GatherFacts(const std::wstring& x86Program, const std::wstring& workDirectory)
{
    MachineFacts facts;
    // Wine shows itself through an export of its ntdll that Windows' lacks.
    auto pfnWineGetVersion = Export<WineGetVersionProc>(L"ntdll.dll", "wine_get_version");
    facts.fWine = pfnWineGetVersion != nullptr;
    facts.platform = facts.fWine ? L"Wine " +
                                       std::wstring(pfnWineGetVersion(),
                                                    pfnWineGetVersion() + strlen(pfnWineGetVersion())) +
                                       L" (as " + WindowsVersion() + L")"
                                 : WindowsVersion();
    facts.facts.push_back({L"platform", true, facts.platform});

    USHORT processMachine = 0, nativeMachine = IMAGE_FILE_MACHINE_AMD64;
    auto pfnIsWow64Process2 = Export<IsWow64Process2Proc>(L"kernel32.dll", "IsWow64Process2");
    if (pfnIsWow64Process2) pfnIsWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine);
    facts.fNativeX64 = nativeMachine == IMAGE_FILE_MACHINE_AMD64;
    facts.facts.push_back(
        {L"native x64", facts.fNativeX64,
         facts.fNativeX64 ? L"the machine runs x64 code natively"
                          : L"x64 code is emulated here (machine " + std::to_wstring(nativeMachine) + L")"});

    std::wstring detail;
    facts.fX86Starts = X86Starts(x86Program, workDirectory, detail);
    facts.facts.push_back({L"x86 programs", facts.fX86Starts, detail});

    facts.fElevated = IsElevated();
    facts.facts.push_back({L"elevation", facts.fElevated,
                           facts.fElevated ? L"this process is elevated" : L"this process is not elevated"});

    facts.fDesktop = HasInteractiveDesktop(detail);
    facts.facts.push_back({L"interactive desktop", facts.fDesktop, detail});

    facts.fProduct = ProductInstalled(detail);
    facts.facts.push_back({L"product installed", facts.fProduct, detail});

    facts.fTestSigning = TestSigning(facts.fWine, detail);
    facts.facts.push_back({L"test signing", facts.fTestSigning, detail});

    ControllerService(facts, detail);
    facts.facts.push_back({L"controller driver", facts.fRealDriver || facts.fVirtualController, detail});
    return facts;
}

void InstallVirtualController(MachineFacts& facts, const std::wstring& kit, const std::wstring& workDirectory)
{
    std::wstring detail;
    if (facts.fVirtualController) {
        detail = L"installed already";
    } else if (facts.fRealDriver) {
        detail = L"refused: a real controller driver holds the "
                 L"service " CONTROLLER_SERVICE_NAME L", which the kit never replaces";
    } else if (!facts.fElevated) {
        detail = L"not installed: installing a driver needs elevation";
    } else {
        const JobRun run = RunInJob(L"\"" + kit + L"\\x64\\vcontroller.exe\" install", kit + L"\\x64",
                                    workDirectory + L"\\vcontroller-install.txt", 180);
        facts.fVirtualController = run.fStarted && !run.fTimedOut && run.dwExitCode == 0;
        std::wstring output = Widen(run.output);
        while (!output.empty() && (output.back() == L'\n' || output.back() == L'\r'))
            output.pop_back();
        detail = (facts.fVirtualController ? L"installed by check.exe: "
                                           : L"x64\\vcontroller.exe install failed: ") +
                 (output.empty() ? L"exit code " + std::to_wstring(run.dwExitCode) : output);
    }
    facts.facts.push_back({L"virtual controller", facts.fVirtualController, detail});
}

bool NeedMet(const MachineFacts& facts, const std::wstring& need, std::wstring& reason, std::wstring& remedy)
{
    static const LPCWSTR known[] = {L"elevation", L"desktop", L"x86", L"no-product", L"vcontroller"};
    if (std::none_of(std::begin(known), std::end(known), [&](LPCWSTR psz) { return need == psz; })) {
        reason = L"needs " + need + L", which this check.exe does not know";
        remedy = L"use the check.exe of the same kit as the manifest";
    } else if (need == L"elevation" && !facts.fElevated) {
        reason = L"needs elevation (it writes under HKEY_LOCAL_MACHINE or drives the virtual controller)";
        remedy = L"run check.exe from an elevated prompt (Run as administrator)";
    } else if (need == L"desktop" && !facts.fDesktop) {
        reason = L"needs an interactive desktop";
        remedy = L"run check.exe in the session of a logged-on user (under Wine: with a display)";
    } else if (need == L"x86" && !facts.fX86Starts) {
        reason = L"needs x86 programs to start";
        remedy = facts.fWine ? L"install 32-bit Wine, or run the kit on 64-bit Windows (WOW64)"
                             : L"turn WOW64 on (it is part of 64-bit Windows unless removed)";
    } else if (need == L"no-product" && (facts.fProduct || facts.fRealDriver)) {
        reason =
            facts.fRealDriver
                ? L"refused: a real controller driver's "
                  L"service"
                  L" " CONTROLLER_SERVICE_NAME L" is installed, whose registrations these tests would change"
                : L"refused: the product is installed, whose registrations these tests would change";
        remedy = L"run the kit on a machine (or a virtual machine) without the product and the controller's "
                 L"driver";
    } else if (need == L"vcontroller" && !facts.fVirtualController) {
        reason = facts.fRealDriver
                     ? L"needs the virtual controller, and a real controller driver holds its service"
                     : L"needs the virtual controller, whose drivers are not installed";
        remedy = facts.fRealDriver
                     ? L"run the kit on a machine without the controller's driver"
                     : L"from an elevated prompt: x64\\vcontroller.exe install (on Windows with test "
                       L"signing on, see README.txt), then check.exe again";
    } else {
        return true;
    }
    return false;
}
