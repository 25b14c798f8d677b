// dicheck: the system's own DirectInput as the effect driver's client, step
// by step, with a virtual controller that carries the package's entries (or,
// with --interactive, a real controller and a person to feel it).
#define DIRECTINPUT_VERSION 0x0800
#include "class_registration.h"
#include "controller_link.h"
#include "dicheck_result.h"
#include "oem_registration.h"

#include "common/class_ids.h"
#include "common/reg_key.h"
#include "tools/running_on_wine.h"

#include <dinput.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char USAGE[] = R"(dicheck: DirectInput drives the force feedback effect driver, step by step.

Usage:
  dicheck [--device VVVV:PPPP] [--control VVVV:PPPP]
        plugs a virtual controller DEVICE (by default 7C4A:01FB) with the
        package's DirectInput entries and a CONTROL without them (7C4A:01FC),
        and checks each step against the reports the controller receives
  dicheck --interactive [VVVV:PPPP]
        a real controller (by default 7C4A:0102) with the installed package:
        plays a force and asks whether it rumbled
  dicheck --help

Exit codes: 0 every step held; 1 a step failed; 2 a bad command line;
3 this DirectInput provides no force feedback from the entries (Wine's);
4 it cannot check here (the virtual controller's drivers or elevation missing).
)";

constexpr DWORD ARRIVAL_TIMEOUT_MS = 20000;
constexpr DWORD REPORT_TIMEOUT_MS = 2000;
constexpr LONG MAGNITUDE = 5000;

template <class T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put()
    {
        Reset();
        return &p_;
    }
    void Reset()
    {
        if (p_) p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

std::string Hex(HRESULT hr)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(hr));
    return sz;
}

std::string Id(VC_CONTROLLER_ID id)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%04X:%04X", id.wVendorID, id.wProductID);
    return sz;
}

// Prints each step with its result and what it confirms; the first step that
// does not hold ends the run.
class Steps {
public:
    bool Check(bool fHeld, const char* pszStep, const std::string& result, const char* pszConfirms)
    {
        ++n_;
        printf("step %d %s: %s - %s\n", n_, pszStep, fHeld ? "ok" : "FAILED", result.c_str());
        if (fHeld) printf("  confirms: %s\n", pszConfirms);
        fflush(stdout);
        if (!fHeld && !failed_) failed_ = n_;
        return fHeld;
    }
    bool Hr(HRESULT hr, const char* pszStep, const char* pszConfirms)
    {
        return Check(SUCCEEDED(hr), pszStep, "hr " + Hex(hr), pszConfirms);
    }
    int Failed() const { return failed_; }

private:
    int n_ = 0;
    int failed_ = 0;
};

// What dicheck set up, taken away again on every path: the controllers it
// plugged, the entries it wrote and the class it registered.
struct Setup {
    bool fVirtual = true;
    VC_CONTROLLER_ID device = {0x7C4A, 0x01FB};
    VC_CONTROLLER_ID control = {0x7C4A, 0x01FC};
    bool fDevicePlugged = false, fControlPlugged = false, fEntries = false, fClassRegistered = false;
    std::wstring dllPath;

    ~Setup()
    {
        if (fDevicePlugged) vcontroller::Unplug(device);
        if (fControlPlugged) vcontroller::Unplug(control);
        if (fEntries) RemoveOemEntries(device);
        if (fClassRegistered) UnregisterEffectDriver(dllPath.c_str());
    }
};

bool ClassRegistered()
{
    const REGSAM samView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    RegKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\" CLSID_EFFECT_DRIVER_STRING L"\\InprocServer32", 0,
                         KEY_READ | samView, key.put()) == ERROR_SUCCESS;
}

int CannotCheck(const char* pszWhy)
{
    printf("dicheck: cannot check here: %s\n", pszWhy);
    return DICHECK_CANNOT_CHECK;
}

bool PlugFresh(VC_CONTROLLER_ID id, bool* pfPlugged)
{
    vcontroller::Unplug(id); // one left plugged by an earlier run that ended early
    vcontroller::WaitForController(id, false, ARRIVAL_TIMEOUT_MS);
    const VC_PLUG plug = {id, VC_DEFAULT_OUTPUT_LENGTH, VC_DEFAULT_FEATURE_LENGTH};
    *pfPlugged = vcontroller::Plug(plug) == ERROR_SUCCESS;
    return *pfPlugged && vcontroller::WaitForController(id, true, ARRIVAL_TIMEOUT_MS);
}

// The virtual controllers plugged, the package's entries written for the one
// under test, and the effect driver's class registered where it is not yet.
int Prepare(Setup& setup)
{
    HANDLE hBus = vcontroller::OpenBus();
    if (hBus == INVALID_HANDLE_VALUE)
        return CannotCheck(
            "the virtual controller's drivers are not running (vcontroller install, elevated)");
    CloseHandle(hBus);
    const LSTATUS status = WriteOemEntries(setup.device);
    setup.fEntries = true;
    if (status == ERROR_ACCESS_DENIED)
        return CannotCheck("writing the controller's OEM entries under HKEY_LOCAL_MACHINE needs elevation");
    if (status != ERROR_SUCCESS) {
        printf("dicheck: cannot write the OEM entries of %s (error %ld)\n", Id(setup.device).c_str(), status);
        return DICHECK_FAILED;
    }
    printf("setup: the package's entries written under HKEY_LOCAL_MACHINE\\%ls\n",
           OemKeyPath(setup.device).c_str());
    if (!ClassRegistered()) {
        WCHAR sz[MAX_PATH];
        GetModuleFileNameW(nullptr, sz, ARRAYSIZE(sz));
        setup.dllPath = sz;
        setup.dllPath = setup.dllPath.substr(0, setup.dllPath.find_last_of(L'\\') + 1) + L"brasquet.dll";
        if (RegisterEffectDriver(setup.dllPath.c_str()) != ERROR_SUCCESS) {
            printf("dicheck: cannot register %ls as the effect driver's class\n", setup.dllPath.c_str());
            return DICHECK_FAILED;
        }
        setup.fClassRegistered = true;
        printf("setup: the effect driver's class registered for %ls\n", setup.dllPath.c_str());
    } else {
        printf("setup: the effect driver's class is registered already (the product's or an earlier one)\n");
    }
    if (!PlugFresh(setup.device, &setup.fDevicePlugged) ||
        !PlugFresh(setup.control, &setup.fControlPlugged)) {
        printf("dicheck: cannot plug the virtual controllers %s and %s\n", Id(setup.device).c_str(),
               Id(setup.control).c_str());
        return DICHECK_FAILED;
    }
    printf("setup: plugged %s (with the entries) and %s (the control, without)\n", Id(setup.device).c_str(),
           Id(setup.control).c_str());
    return DICHECK_PASSED;
}

struct Listed {
    VC_CONTROLLER_ID device, control;
    bool fDevice = false, fControl = false;
    GUID guidInstance = {};
};

BOOL CALLBACK OnDevice(LPCDIDEVICEINSTANCEW pdidi, void* pv)
{
    auto* pListed = static_cast<Listed*>(pv);
    const DWORD dwProduct = pdidi->guidProduct.Data1;
    if (dwProduct == static_cast<DWORD>(MAKELONG(pListed->device.wVendorID, pListed->device.wProductID))) {
        pListed->fDevice = true;
        pListed->guidInstance = pdidi->guidInstance;
    } else if (dwProduct ==
               static_cast<DWORD>(MAKELONG(pListed->control.wVendorID, pListed->control.wProductID))) {
        pListed->fControl = true;
    }
    return DIENUM_CONTINUE;
}

BOOL CALLBACK OnEffect(LPCDIEFFECTINFOW pdei, void* pv)
{
    static_cast<std::vector<DIEFFECTINFOW>*>(pv)->push_back(*pdei);
    return DIENUM_CONTINUE;
}

BOOL CALLBACK OnObject(LPCDIDEVICEOBJECTINSTANCEW pdidoi, void* pv)
{
    static_cast<std::vector<DIDEVICEOBJECTINSTANCEW>*>(pv)->push_back(*pdidoi);
    return DIENUM_CONTINUE;
}

bool IsMotorReport(const VC_REPORT_ENTRY& entry, BYTE bStrength)
{
    return entry.kind == VC_REPORT_OUTPUT && entry.cbReport == 4 && entry.rgbReport[0] == 0 &&
           entry.rgbReport[1] == 0 && entry.rgbReport[2] == bStrength && entry.rgbReport[3] == bStrength;
}

// Waits for a Motor Report of that strength from report number iFirst on;
// its arrival time (performance counter) in *pllTime.
bool WaitForMotorReport(VC_CONTROLLER_ID id, ULONG iFirst, BYTE bStrength, LONGLONG* pllTime)
{
    const ULONGLONG ullEnd = GetTickCount64() + REPORT_TIMEOUT_MS;
    do {
        vcontroller::ReportLog log;
        if (vcontroller::GetReports(id, &log, iFirst) == ERROR_SUCCESS)
            for (const VC_REPORT_ENTRY& entry : log.entries)
                if (IsMotorReport(entry, bStrength)) {
                    if (pllTime) *pllTime = entry.llTime;
                    return true;
                }
        Sleep(10);
    } while (GetTickCount64() < ullEnd);
    return false;
}

ULONG ReportCount(VC_CONTROLLER_ID id)
{
    vcontroller::ReportLog log;
    vcontroller::GetReports(id, &log, 0, 0);
    return log.cReports;
}

// The last report the controller received, as text.
std::string LastReport(VC_CONTROLLER_ID id, bool* pfZero)
{
    vcontroller::ReportLog log;
    const ULONG cReports = ReportCount(id);
    *pfZero = false;
    if (!cReports || vcontroller::GetReports(id, &log, cReports - 1) != ERROR_SUCCESS || log.entries.empty())
        return "no report";
    const VC_REPORT_ENTRY& entry = log.entries.back();
    *pfZero = IsMotorReport(entry, 0);
    std::string text;
    for (UCHAR b = 0; b < entry.cbReport; ++b) {
        char sz[4];
        snprintf(sz, sizeof(sz), b ? " %02X" : "%02X", entry.rgbReport[b]);
        text += sz;
    }
    return text;
}

bool AskRumbled()
{
    printf("Did the controller rumble for about two seconds? [y/n] ");
    fflush(stdout);
    char sz[16] = "";
    return fgets(sz, sizeof(sz), stdin) && (sz[0] == 'y' || sz[0] == 'Y');
}

std::string EffectsText(const std::vector<DIEFFECTINFOW>& effects, std::string* pMismatch)
{
    const std::vector<std::wstring> keys = PackageEffectKeys();
    for (const std::wstring& key : keys) {
        GUID guid = {};
        const std::wstring text = key.substr(key.find_last_of(L'\\') + 1);
        IIDFromString(text.c_str(), &guid);
        const DIEFFECTINFOW* pFound = nullptr;
        for (const DIEFFECTINFOW& effect : effects)
            if (effect.guid == guid) pFound = &effect;
        const DWORD dwType = PackageDword(key.c_str(), L"Attributes", 4);
        const DWORD dwStatic = PackageDword(key.c_str(), L"Attributes", 8);
        const DWORD dwDynamic = PackageDword(key.c_str(), L"Attributes", 12);
        char sz[160];
        if (!pFound)
            snprintf(sz, sizeof(sz), "%ls missing; ", text.c_str());
        else if (pFound->dwEffType != dwType || pFound->dwStaticParams != dwStatic ||
                 pFound->dwDynamicParams != dwDynamic)
            snprintf(sz, sizeof(sz), "%ls type 0x%lX params 0x%lX/0x%lX (package: 0x%lX 0x%lX/0x%lX); ",
                     text.c_str(), pFound->dwEffType, pFound->dwStaticParams, pFound->dwDynamicParams, dwType,
                     dwStatic, dwDynamic);
        else
            continue;
        *pMismatch += sz;
    }
    return std::to_string(effects.size()) + " effects (the package registers " + std::to_string(keys.size()) +
           ")";
}

// The steps from DirectInput8Create on; the interfaces are released before
// the setup is taken away.
int RunSteps(const Setup& setup, Steps& steps)
{
    const bool fWine = RunningOnWine();
    const char* pszBits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    ComRef<IDirectInput8W> di;
    HRESULT hr = DirectInput8Create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION, IID_IDirectInput8W,
                                    reinterpret_cast<void**>(di.put()), nullptr);
    if (!steps.Check(SUCCEEDED(hr), "DirectInput8Create", std::string(pszBits) + ", hr " + Hex(hr),
                     "DirectInput 8 is there for programs of this bitness"))
        return DICHECK_FAILED;

    Listed listed = {setup.device, setup.control};
    hr = di->EnumDevices(DI8DEVCLASS_GAMECTRL, OnDevice, &listed, DIEDFL_ATTACHEDONLY);
    if (!steps.Check(SUCCEEDED(hr) && listed.fDevice && (!setup.fVirtual || listed.fControl),
                     "EnumDevices(DI8DEVCLASS_GAMECTRL, DIEDFL_ATTACHEDONLY)",
                     Id(setup.device) + (listed.fDevice ? " listed" : " NOT listed") +
                         (setup.fVirtual
                              ? ", " + Id(setup.control) + (listed.fControl ? " listed" : " NOT listed")
                              : std::string()) +
                         ", hr " + Hex(hr),
                     "DirectInput takes the HID collection for a game controller"))
        return DICHECK_FAILED;

    Listed ff = {setup.device, setup.control};
    hr = di->EnumDevices(DI8DEVCLASS_GAMECTRL, OnDevice, &ff, DIEDFL_ATTACHEDONLY | DIEDFL_FORCEFEEDBACK);
    const std::string ffResult =
        Id(setup.device) + (ff.fDevice ? " listed" : " not listed") +
        (setup.fVirtual ? ", the control " + Id(setup.control) + (ff.fControl ? " listed" : " not listed")
                        : std::string());
    if (SUCCEEDED(hr) && !ff.fDevice && fWine) {
        printf("step 3 EnumDevices(DI8DEVCLASS_GAMECTRL, DIEDFL_ATTACHEDONLY | DIEDFL_FORCEFEEDBACK): not "
               "provided - %s\n",
               ffResult.c_str());
        printf("dicheck: force feedback not provided by this DirectInput: Wine's DirectInput gives force "
               "feedback only to HID devices with the PID usages and never reads OEMForceFeedback, so it "
               "never loads a third-party effect driver\n");
        return DICHECK_NOT_PROVIDED;
    }
    if (!steps.Check(
            SUCCEEDED(hr) && ff.fDevice && !ff.fControl,
            "EnumDevices(DI8DEVCLASS_GAMECTRL, DIEDFL_ATTACHEDONLY | DIEDFL_FORCEFEEDBACK)",
            ffResult + ", hr " + Hex(hr),
            "DirectInput reads the package's OEMForceFeedback entries: only the id that has them is a "
            "force feedback device"))
        return DICHECK_FAILED;

    ComRef<IDirectInputDevice8W> device;
    if (!steps.Hr(di->CreateDevice(ff.guidInstance, device.put(), nullptr), "CreateDevice",
                  "the controller opens as a DirectInput device"))
        return DICHECK_FAILED;
    if (!steps.Hr(device->SetDataFormat(&c_dfDIJoystick2), "SetDataFormat(&c_dfDIJoystick2)",
                  "the controller's axes and buttons map onto the joystick data format"))
        return DICHECK_FAILED;
    // Exclusive access is what force feedback needs; background access lets
    // a window that is never shown have it.
    HWND hwnd =
        CreateWindowExW(0, L"STATIC", L"dicheck", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!steps.Hr(device->SetCooperativeLevel(hwnd, DISCL_EXCLUSIVE | DISCL_BACKGROUND),
                  "SetCooperativeLevel(DISCL_EXCLUSIVE | DISCL_BACKGROUND)",
                  "a program may take the controller's force feedback for itself"))
        return DICHECK_FAILED;

    DIDEVCAPS caps = {sizeof(caps)};
    hr = device->GetCapabilities(&caps);
    const DWORD dwSamplePeriod = PackageDword(L"OEMForceFeedback", L"Attributes", 4);
    const DWORD dwResolution = PackageDword(L"OEMForceFeedback", L"Attributes", 8);
    char sz[200];
    snprintf(sz, sizeof(sz), "flags 0x%lX, sample period %lu us, time resolution %lu us (package: %lu, %lu)",
             caps.dwFlags, caps.dwFFSamplePeriod, caps.dwFFMinTimeResolution, dwSamplePeriod, dwResolution);
    if (!steps.Check(SUCCEEDED(hr) && (caps.dwFlags & DIDC_FORCEFEEDBACK) &&
                         caps.dwFFSamplePeriod == dwSamplePeriod &&
                         caps.dwFFMinTimeResolution == dwResolution,
                     "GetCapabilities", sz,
                     "DIDC_FORCEFEEDBACK, and the device attributes come from the package's entries"))
        return DICHECK_FAILED;

    const ULONG cBeforeAcquire = setup.fVirtual ? ReportCount(setup.device) : 0;
    hr = device->Acquire();
    const bool fZero =
        SUCCEEDED(hr) && (!setup.fVirtual || WaitForMotorReport(setup.device, cBeforeAcquire, 0, nullptr));
    if (!steps.Check(fZero, "Acquire",
                     "hr " + Hex(hr) +
                         (setup.fVirtual ? (fZero ? ", 00 00 00 00 arrived at the controller"
                                                  : ", no 00 00 00 00 at the controller")
                                         : std::string()),
                     "DirectInput loaded the effect driver and bound it to this collection"))
        return DICHECK_FAILED;

    std::vector<DIEFFECTINFOW> effects;
    hr = device->EnumEffects(OnEffect, &effects, DIEFT_ALL);
    std::string mismatch;
    const std::string effectsText = EffectsText(effects, &mismatch);
    if (!steps.Check(SUCCEEDED(hr) && mismatch.empty() && effects.size() == PackageEffectKeys().size(),
                     "EnumEffects(DIEFT_ALL)", effectsText + (mismatch.empty() ? "" : ": " + mismatch),
                     "every registered effect with the package's type and parameters"))
        return DICHECK_FAILED;

    std::vector<DIDEVICEOBJECTINSTANCEW> actuators;
    hr = device->EnumObjects(OnObject, &actuators, DIDFT_AXIS | DIDFT_FFACTUATOR);
    const DWORD dwMaxForce = PackageDword(L"Axes\\0", L"FFAttributes", 0);
    const DWORD dwForceResolution = PackageDword(L"Axes\\0", L"FFAttributes", 4);
    bool fX = false, fY = false;
    std::string objects;
    for (const DIDEVICEOBJECTINSTANCEW& object : actuators) {
        const bool fRight =
            object.dwFFMaxForce == dwMaxForce && object.dwFFForceResolution == dwForceResolution;
        if (object.guidType == GUID_XAxis) fX = fRight;
        if (object.guidType == GUID_YAxis) fY = fRight;
        snprintf(sz, sizeof(sz), "%s%ls (max force %lu, resolution %lu)", objects.empty() ? "" : ", ",
                 object.tszName, object.dwFFMaxForce, object.dwFFForceResolution);
        objects += sz;
    }
    snprintf(sz, sizeof(sz), "; the package: max force %lu, resolution %lu", dwMaxForce, dwForceResolution);
    if (!steps.Check(SUCCEEDED(hr) && fX && fY, "EnumObjects(DIDFT_AXIS | DIDFT_FFACTUATOR)",
                     (objects.empty() ? "no actuator" : objects) + sz,
                     "X and Y are the actuators, with the package's force and resolution"))
        return DICHECK_FAILED;

    DWORD rgdwAxes[2] = {DIJOFS_X, DIJOFS_Y};
    LONG rglDirection[2] = {1, 0};
    DICONSTANTFORCE cf = {MAGNITUDE};
    DIEFFECT eff = {sizeof(eff)};
    eff.dwFlags = DIEFF_CARTESIAN | DIEFF_OBJECTOFFSETS;
    eff.dwDuration = INFINITE;
    eff.dwGain = DI_FFNOMINALMAX;
    eff.dwTriggerButton = DIEB_NOTRIGGER;
    eff.cAxes = ARRAYSIZE(rgdwAxes);
    eff.rgdwAxes = rgdwAxes;
    eff.rglDirection = rglDirection;
    eff.cbTypeSpecificParams = sizeof(cf);
    eff.lpvTypeSpecificParams = &cf;
    ComRef<IDirectInputEffect> effect;
    if (!steps.Hr(device->CreateEffect(GUID_ConstantForce, &eff, effect.put(), nullptr),
                  "CreateEffect(GUID_ConstantForce, X and Y, magnitude 5000)",
                  "the effect driver took the download"))
        return DICHECK_FAILED;

    const ULONG cBeforeStart = setup.fVirtual ? ReportCount(setup.device) : 0;
    LARGE_INTEGER liStart = {}, liFrequency = {};
    QueryPerformanceFrequency(&liFrequency);
    QueryPerformanceCounter(&liStart);
    hr = effect->Start(1, 0);
    if (setup.fVirtual) {
        LONGLONG llArrival = 0;
        const bool fArrived =
            SUCCEEDED(hr) && WaitForMotorReport(setup.device, cBeforeStart, 0x7F, &llArrival);
        if (!steps.Check(fArrived, "Start",
                         "hr " + Hex(hr) +
                             (fArrived ? ", 00 00 7F 7F arrived at the controller"
                                       : ", no 00 00 7F 7F at the controller"),
                         "a constant force of 5000 plays at half strength on both motors"))
            return DICHECK_FAILED;
        printf("figure: Start to the Motor Report at the controller: %.2f ms\n",
               static_cast<double>(llArrival - liStart.QuadPart) * 1000.0 /
                   static_cast<double>(liFrequency.QuadPart));
    } else if (!steps.Hr(hr, "Start", "the effect driver was told to play")) {
        return DICHECK_FAILED;
    }
    DWORD dwStatus = 0;
    hr = effect->GetEffectStatus(&dwStatus);
    if (!steps.Check(SUCCEEDED(hr) && (dwStatus & DIEGES_PLAYING), "GetEffectStatus",
                     "status 0x" + std::to_string(dwStatus) + ", hr " + Hex(hr),
                     "the driver says the effect is playing"))
        return DICHECK_FAILED;
    if (!setup.fVirtual) {
        Sleep(2000);
        effect->Stop();
        if (!steps.Check(AskRumbled(), "the person's answer", "", "the motors turned as DirectInput asked"))
            return DICHECK_FAILED;
    }

    const HRESULT hrStop = effect->Stop();
    const HRESULT hrUnacquire = device->Unacquire();
    effect.Reset();
    device.Reset();
    di.Reset();
    DestroyWindow(hwnd);
    if (setup.fVirtual) {
        bool fZeroLast = false;
        std::string last;
        const ULONGLONG ullEnd = GetTickCount64() + REPORT_TIMEOUT_MS;
        do {
            Sleep(50);
            last = LastReport(setup.device, &fZeroLast);
        } while (!fZeroLast && GetTickCount64() < ullEnd);
        if (!steps.Check(SUCCEEDED(hrStop) && SUCCEEDED(hrUnacquire) && fZeroLast, "Stop, Unacquire, Release",
                         "hr " + Hex(hrStop) + ", " + Hex(hrUnacquire) + ", the last report " + last,
                         "the motors are left still when the program lets the controller go"))
            return DICHECK_FAILED;
    } else if (!steps.Check(SUCCEEDED(hrStop) && SUCCEEDED(hrUnacquire), "Stop, Unacquire, Release",
                            "hr " + Hex(hrStop) + ", " + Hex(hrUnacquire), "the controller is let go")) {
        return DICHECK_FAILED;
    }
    return DICHECK_PASSED;
}

int BadCommandLine(const char* pszWhy)
{
    fprintf(stderr, "dicheck: %s (dicheck --help tells the commands)\n", pszWhy);
    return DICHECK_BAD_COMMAND_LINE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Setup setup;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h") {
            fputs(USAGE, stdout);
            return DICHECK_PASSED;
        } else if (arg == L"--interactive") {
            setup.fVirtual = false;
            setup.device = {0x7C4A, 0x0102};
            if (i + 1 < argc && !vcontroller::ParseControllerId(argv[++i], &setup.device))
                return BadCommandLine("a controller is named VVVV:PPPP");
        } else if ((arg == L"--device" || arg == L"--control") && i + 1 < argc) {
            if (!vcontroller::ParseControllerId(argv[++i],
                                                arg == L"--device" ? &setup.device : &setup.control))
                return BadCommandLine("a controller is named VVVV:PPPP");
        } else {
            return BadCommandLine("unknown or incomplete argument");
        }
    }
    printf("dicheck: %s DirectInput %s, controller %s\n", sizeof(void*) == 8 ? "64-bit" : "32-bit",
           RunningOnWine() ? "of Wine" : "of Windows", Id(setup.device).c_str());
    if (setup.fVirtual) {
        const int result = Prepare(setup);
        if (result != DICHECK_PASSED) return result;
    }
    Steps steps;
    const int result = RunSteps(setup, steps);
    if (result == DICHECK_PASSED) printf("dicheck: passed\n");
    if (result == DICHECK_FAILED) printf("dicheck: failed at step %d\n", steps.Failed());
    return result;
}
