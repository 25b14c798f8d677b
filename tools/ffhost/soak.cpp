#include "soak.h"

#include "effect_downloads.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr DWORD SOAK_WAIT_MS = 10000;
// Long enough for a few dozen reports of the sine, which changes the mix on
// nearly every pass.
constexpr DWORD PLAY_MS = 150;
constexpr DWORD SINE = 3;

struct ProcessFigures {
    DWORD cHandles = 0;
    DWORD cUserObjects = 0;
    DWORD cGdiObjects = 0;
    SIZE_T cbPrivate = 0;
};

// The system's list of every open handle (SystemExtendedHandleInformation),
// with the full process id that the older list truncates to 16 bits.
struct HANDLE_ENTRY {
    PVOID pObject;
    ULONG_PTR ulProcessId;
    ULONG_PTR ulHandle;
    ULONG ulAccess;
    USHORT wCreatorBackTrace;
    USHORT wObjectType;
    ULONG ulAttributes;
    ULONG ulReserved;
};
struct HANDLE_LIST {
    ULONG_PTR cHandles;
    ULONG_PTR ulReserved;
    HANDLE_ENTRY rgEntries[1];
};
constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
constexpr LONG STATUS_INFO_LENGTH_MISMATCH_VALUE = static_cast<LONG>(0xC0000004);

// GetProcessHandleCount where the system answers it; Wine's gives 0, so
// there the handles of the process are counted in the system's list.
DWORD HandleCountOf(HANDLE hProcess)
{
    DWORD cHandles = 0;
    if (GetProcessHandleCount(hProcess, &cHandles) && cHandles != 0) return cHandles;
    using PFNQUERY = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto pfnQuery = reinterpret_cast<PFNQUERY>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!pfnQuery) return 0;
    std::vector<BYTE> buffer(1 << 16);
    ULONG cbReturned = 0;
    LONG status;
    while ((status = pfnQuery(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &cbReturned)) ==
               STATUS_INFO_LENGTH_MISMATCH_VALUE &&
           buffer.size() < (64u << 20))
        buffer.resize(buffer.size() * 2);
    if (status < 0) return 0;
    const auto* pList = reinterpret_cast<const HANDLE_LIST*>(buffer.data());
    const DWORD dwProcessId = GetProcessId(hProcess);
    for (ULONG_PTR i = 0; i < pList->cHandles; ++i)
        cHandles += pList->rgEntries[i].ulProcessId == dwProcessId ? 1 : 0;
    return cHandles;
}

// A handle that a program holds only for a moment (a device it opens to look
// at, a process snapshot) is no leak: of a few samples after the program had
// time to take up the last device change, the smallest count is its own.
ProcessFigures FiguresOf(HANDLE hProcess)
{
    ProcessFigures figures;
    WaitForInputIdle(hProcess, SOAK_WAIT_MS);
    Sleep(500);
    figures.cHandles = HandleCountOf(hProcess);
    for (int i = 0; i < 4; ++i) {
        Sleep(100);
        figures.cHandles = std::min(figures.cHandles, HandleCountOf(hProcess));
    }
    // Wine counts no USER or GDI objects: 0 there.
    figures.cUserObjects = GetGuiResources(hProcess, GR_USEROBJECTS);
    figures.cGdiObjects = GetGuiResources(hProcess, GR_GDIOBJECTS);
    // The commit charge is the private bytes, and the one figure of them
    // that Wine reports.
    PROCESS_MEMORY_COUNTERS counters = {sizeof(counters)};
    if (GetProcessMemoryInfo(hProcess, &counters, sizeof(counters)))
        figures.cbPrivate = counters.PagefileUsage;
    return figures;
}

// The first running quellin.exe, or null when none runs.
HANDLE OpenTrayProgram()
{
    const HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return nullptr;
    PROCESSENTRY32W entry = {sizeof(entry)};
    HANDLE hProcess = nullptr;
    for (BOOL f = Process32FirstW(hSnapshot, &entry); f && !hProcess; f = Process32NextW(hSnapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"quellin.exe") == 0)
            hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
    CloseHandle(hSnapshot);
    return hProcess;
}

void PrintFigures(FILE* pOut, const char* pszWhen, const char* pszWho, const ProcessFigures& figures)
{
    fprintf(pOut, "%s %s: handles %lu, USER objects %lu, GDI objects %lu, private bytes %zu\n", pszWhen,
            pszWho, figures.cHandles, figures.cUserObjects, figures.cGdiObjects,
            static_cast<size_t>(figures.cbPrivate));
}

struct Tally {
    int cEndedFirst = 0; // bindings ended before the pull
    int cZeroLast = 0;   // of those, the last report all zero
    int cPulledPlaying = 0;
    int cSilent = 0; // bindings that wrote nothing but zeros
    DWORD dwLongestEndMs = 0;
};

// Of the output reports the controller received since its plug: whether any
// carried a strength, and whether the last one is all zero.
bool ReadOutputReports(VC_CONTROLLER_ID id, bool* pfPlayed, bool* pfZeroLast)
{
    vcontroller::ReportLog log;
    if (vcontroller::GetReports(id, &log) != ERROR_SUCCESS) return false;
    *pfPlayed = false;
    *pfZeroLast = false;
    for (const VC_REPORT_ENTRY& entry : log.entries) {
        if (entry.kind != VC_REPORT_OUTPUT) continue;
        bool fZero = true;
        for (UCHAR i = 0; i < entry.cbReport && i < VC_MAX_REPORT_LENGTH; ++i)
            fZero = fZero && entry.rgbReport[i] == 0;
        *pfPlayed = *pfPlayed || !fZero;
        *pfZeroLast = fZero;
    }
    return true;
}

// One plug, a binding that plays, and a pull: every other cycle the game
// ends the binding first, the others the controller goes while it plays.
bool RunCycle(IDirectInputEffectDriver* pDriver, VC_CONTROLLER_ID id, bool fEndFirst, Tally* pTally,
              FILE* pOut)
{
    const VC_PLUG plug = {id, VC_DEFAULT_OUTPUT_LENGTH, VC_DEFAULT_FEATURE_LENGTH};
    std::wstring path;
    if (vcontroller::Plug(plug) != ERROR_SUCCESS || !vcontroller::WaitForController(id, true, SOAK_WAIT_MS) ||
        !vcontroller::FindControllerPath(id, &path)) {
        fputs("soak: the controller could not be plugged in\n", pOut);
        return false;
    }
    DIHIDFFINITINFO init = {sizeof(init)};
    init.pwszDeviceInterface = path.data();
    const HRESULT hr = pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init);
    if (FAILED(hr)) {
        fprintf(pOut, "soak: DeviceID failed: %s\n", HresultName(hr).c_str());
        vcontroller::Unplug(id);
        return false;
    }
    Sleep(PLAY_MS);
    bool fPlayed = false;
    bool fZeroLast = false;
    if (!fEndFirst) {
        vcontroller::Unplug(id);
        ++pTally->cPulledPlaying;
    }
    const DWORD dwStart = GetTickCount();
    pDriver->DeviceID(DIRECTINPUT_VERSION, 0, FALSE, 0, nullptr);
    const DWORD dwEndMs = GetTickCount() - dwStart;
    if (dwEndMs > pTally->dwLongestEndMs) pTally->dwLongestEndMs = dwEndMs;
    if (fEndFirst) {
        ReadOutputReports(id, &fPlayed, &fZeroLast);
        ++pTally->cEndedFirst;
        pTally->cZeroLast += fZeroLast ? 1 : 0;
        pTally->cSilent += fPlayed ? 0 : 1;
        vcontroller::Unplug(id);
    }
    return vcontroller::WaitForController(id, false, SOAK_WAIT_MS);
}

} // namespace

int RunSoak(DriverLoader* pLoader, const SoakOptions& options, FILE* pOut)
{
    const VC_CONTROLLER_ID id = options.device;
    vcontroller::Unplug(id); // a controller left plugged by an earlier run
    vcontroller::WaitForController(id, false, SOAK_WAIT_MS);
    IDirectInputEffectDriver* pDriver = nullptr;
    HRESULT hr = pLoader->Create(&pDriver);
    if (FAILED(hr)) {
        fprintf(pOut, "soak: cannot create an Effect Driver: %s\n", HresultName(hr).c_str());
        return 1;
    }
    // Effects outlive a binding: the sine plays on each new one at once.
    DownloadPeriodic(pDriver, SINE, 250000, DIEP_START);

    // The first cycle loads and caches what every later one reuses (the
    // HID and SetupAPI libraries, the tray program's first icon): the
    // figures before are taken after it.
    Tally warmUp;
    if (!RunCycle(pDriver, id, true, &warmUp, pOut)) {
        pDriver->Release();
        return 1;
    }
    const HANDLE hTray = OpenTrayProgram();
    const ProcessFigures hostBefore = FiguresOf(GetCurrentProcess());
    const ProcessFigures trayBefore = hTray ? FiguresOf(hTray) : ProcessFigures();

    Tally tally;
    int cCycles = 0;
    const DWORD dwStart = GetTickCount();
    bool fCompleted = true;
    for (; cCycles < options.cCycles; ++cCycles) {
        if (!RunCycle(pDriver, id, cCycles % 2 == 0, &tally, pOut)) {
            fCompleted = false;
            break;
        }
    }
    const DWORD dwElapsedMs = GetTickCount() - dwStart;

    // The driver object is still alive: what it holds counts as it should.
    const ProcessFigures hostAfter = FiguresOf(GetCurrentProcess());
    const ProcessFigures trayAfter = hTray ? FiguresOf(hTray) : ProcessFigures();
    pDriver->Release();

    fprintf(pOut, "soak of %04X:%04X: %d cycles in %lu ms\n", id.wVendorID, id.wProductID, cCycles,
            dwElapsedMs);
    PrintFigures(pOut, "before", "host", hostBefore);
    PrintFigures(pOut, "after", "host", hostAfter);
    if (hTray) {
        PrintFigures(pOut, "before", "quellin.exe", trayBefore);
        PrintFigures(pOut, "after", "quellin.exe", trayAfter);
        DWORD dwExit = 0;
        GetExitCodeProcess(hTray, &dwExit);
        fprintf(pOut, "quellin.exe %s\n", dwExit == STILL_ACTIVE ? "still runs" : "has ended");
        CloseHandle(hTray);
    } else {
        fputs("quellin.exe does not run: no figures of it\n", pOut);
    }
    fprintf(pOut,
            "bindings ended before the pull: %d, with an all-zero last report: %d, without a strength: %d\n",
            tally.cEndedFirst, tally.cZeroLast, tally.cSilent);
    fprintf(pOut, "controllers pulled while playing: %d\n", tally.cPulledPlaying);
    fprintf(pOut, "longest end of a binding: %lu ms\n", tally.dwLongestEndMs);
    return fCompleted && tally.cZeroLast == tally.cEndedFirst && tally.cSilent == 0 ? 0 : 1;
}
