// vcontroller: installs the virtual controller's drivers, plugs and pulls
// controllers, gives them faults, and shows what a controller received.
#include "controller_link.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace {

const char USAGE[] = R"(vcontroller: a virtual game controller that Wine's HID stack serves.

Usage:
  vcontroller install            install the drivers in this prefix (again: nothing to do)
  vcontroller plug VVVV:PPPP [--output-length N] [--feature-length N]
                                 a controller arrives (report lengths counted
                                 as HidP_GetCaps counts them: 4 and 32 unless given)
  vcontroller unplug VVVV:PPPP   the controller goes
  vcontroller reports VVVV:PPPP  every report it received since it was plugged:
                                 milliseconds at arrival, output or feature, the
                                 bytes, and completed=MS, failed=MS, cancelled=MS
                                 (milliseconds at completion) or pending
  vcontroller fault VVVV:PPPP output|feature none|stall|delay MS|fail
                                 from now on its reports of that kind complete at
                                 once, not until the next fault or the pull, MS
                                 (1 to 60000) milliseconds after their arrival,
                                 or at once with an error; the ones it held
                                 complete now, with success
  vcontroller setting VVVV:PPPP  the Current Setting its driver took up at the
                                 last Reload Request, or none
  vcontroller --help

Exit codes: 0 done; 1 the controller (or the drivers) are not there, or the
action failed; 2 a bad command line.
)";

constexpr DWORD ARRIVAL_TIMEOUT_MS = 20000;

int BadCommandLine(const char* pszWhy)
{
    fprintf(stderr, "vcontroller: %s (vcontroller --help tells the commands)\n", pszWhy);
    return 2;
}

int NotThere(VC_CONTROLLER_ID id, DWORD dwResult)
{
    if (dwResult == ERROR_FILE_NOT_FOUND)
        fprintf(stderr, "vcontroller: the drivers are not running here (vcontroller install)\n");
    else if (dwResult == ERROR_BAD_UNIT)
        fprintf(stderr, "vcontroller: no controller %04X:%04X is plugged in\n", id.wVendorID, id.wProductID);
    else
        fprintf(stderr, "vcontroller: the bus refused the request (error %lu)\n", dwResult);
    return 1;
}

int Install()
{
    bool fAlready = false;
    std::wstring error;
    const ULONGLONG ullStart = GetTickCount64();
    if (!vcontroller::InstallDrivers(&fAlready, &error)) {
        fprintf(stderr, "vcontroller: cannot install the drivers: %ls\n", error.c_str());
        return 1;
    }
    if (fAlready)
        printf("drivers installed already\n");
    else
        printf("drivers installed in %llu ms\n", GetTickCount64() - ullStart);
    return 0;
}

bool ParseLength(const wchar_t* psz, USHORT* pcb)
{
    wchar_t* pEnd = nullptr;
    const unsigned long n = wcstoul(psz, &pEnd, 10);
    if (pEnd == psz || *pEnd || n < VC_MIN_REPORT_LENGTH || n > VC_MAX_REPORT_LENGTH) return false;
    *pcb = static_cast<USHORT>(n);
    return true;
}

int Plug(VC_CONTROLLER_ID id, int argc, wchar_t** argv)
{
    VC_PLUG plug = {id, VC_DEFAULT_OUTPUT_LENGTH, VC_DEFAULT_FEATURE_LENGTH};
    for (int i = 0; i < argc; i += 2) {
        USHORT* pcb = nullptr;
        if (!wcscmp(argv[i], L"--output-length"))
            pcb = &plug.cbOutputReport;
        else if (!wcscmp(argv[i], L"--feature-length"))
            pcb = &plug.cbFeatureReport;
        else
            return BadCommandLine("unknown option of plug");
        if (i + 1 >= argc || !ParseLength(argv[i + 1], pcb))
            return BadCommandLine("a report length is a number from 2 to 64");
    }
    const ULONGLONG ullStart = GetTickCount64();
    const DWORD dwResult = vcontroller::Plug(plug);
    if (dwResult == ERROR_ALREADY_EXISTS) {
        fprintf(stderr, "vcontroller: a controller %04X:%04X is plugged in already\n", id.wVendorID,
                id.wProductID);
        return 1;
    }
    if (dwResult != ERROR_SUCCESS) return NotThere(id, dwResult);
    if (!vcontroller::WaitForController(id, true, ARRIVAL_TIMEOUT_MS)) {
        fprintf(stderr,
                "vcontroller: controller %04X:%04X plugged, but no HID interface arrived within %lu ms\n",
                id.wVendorID, id.wProductID, ARRIVAL_TIMEOUT_MS);
        return 1;
    }
    printf("plugged %04X:%04X (output report %u bytes, feature report %u bytes) in %llu ms\n", id.wVendorID,
           id.wProductID, plug.cbOutputReport, plug.cbFeatureReport, GetTickCount64() - ullStart);
    return 0;
}

int Unplug(VC_CONTROLLER_ID id)
{
    const ULONGLONG ullStart = GetTickCount64();
    const DWORD dwResult = vcontroller::Unplug(id);
    if (dwResult != ERROR_SUCCESS) return NotThere(id, dwResult);
    if (!vcontroller::WaitForController(id, false, ARRIVAL_TIMEOUT_MS)) {
        fprintf(stderr, "vcontroller: controller %04X:%04X pulled, but its HID interface stayed for %lu ms\n",
                id.wVendorID, id.wProductID, ARRIVAL_TIMEOUT_MS);
        return 1;
    }
    printf("unplugged %04X:%04X in %llu ms\n", id.wVendorID, id.wProductID, GetTickCount64() - ullStart);
    return 0;
}

int Reports(VC_CONTROLLER_ID id)
{
    vcontroller::ReportLog log;
    const DWORD dwResult = vcontroller::GetReports(id, &log);
    if (dwResult != ERROR_SUCCESS) return NotThere(id, dwResult);
    for (size_t i = 0; i < log.entries.size(); ++i) {
        const VC_REPORT_ENTRY& entry = log.entries[i];
        printf("%.3f %s", log.Milliseconds(i), entry.kind == VC_REPORT_FEATURE ? "feature" : "output");
        for (UCHAR b = 0; b < entry.cbReport; ++b)
            printf(" %02X", entry.rgbReport[b]);
        if (!entry.llCompleted)
            printf(" pending\n");
        else
            printf(" %s=%.3f\n",
                   entry.status >= 0                                ? "completed"
                   : entry.status == static_cast<LONG>(0xC0000120L) ? "cancelled" // STATUS_CANCELLED
                                                                    : "failed",
                   log.MillisecondsAt(entry.llCompleted));
    }
    if (log.cReports > log.entries.size())
        printf("... %lu reports more, not kept\n",
               static_cast<unsigned long>(log.cReports - log.entries.size()));
    return 0;
}

int Fault(VC_CONTROLLER_ID id, int argc, wchar_t** argv)
{
    VC_FAULT fault = {id, 0, VC_FAULT_NONE, 0};
    if (argc >= 1 && !wcscmp(argv[0], L"output"))
        fault.kind = VC_REPORT_OUTPUT;
    else if (argc >= 1 && !wcscmp(argv[0], L"feature"))
        fault.kind = VC_REPORT_FEATURE;
    else
        return BadCommandLine("fault takes output or feature, then none, stall, delay MS or fail");
    const wchar_t* pszMode = argc >= 2 ? argv[1] : L"";
    int cArgs = 2;
    if (!wcscmp(pszMode, L"none"))
        fault.mode = VC_FAULT_NONE;
    else if (!wcscmp(pszMode, L"stall"))
        fault.mode = VC_FAULT_STALL;
    else if (!wcscmp(pszMode, L"fail"))
        fault.mode = VC_FAULT_FAIL;
    else if (!wcscmp(pszMode, L"delay")) {
        fault.mode = VC_FAULT_DELAY;
        cArgs = 3;
        wchar_t* pEnd = nullptr;
        const unsigned long ms = argc >= 3 ? wcstoul(argv[2], &pEnd, 10) : 0;
        if (argc < 3 || pEnd == argv[2] || *pEnd || !iswdigit(argv[2][0]) || ms < 1 ||
            ms > VC_MAX_FAULT_DELAY_MS)
            return BadCommandLine("a delay is a number of milliseconds from 1 to 60000");
        fault.msDelay = ms;
    } else
        return BadCommandLine("a fault is none, stall, delay MS or fail");
    if (argc != cArgs) return BadCommandLine("too many arguments");

    ULONG cCompleted = 0;
    const DWORD dwResult = vcontroller::SetFault(fault, &cCompleted);
    if (dwResult != ERROR_SUCCESS) return NotThere(id, dwResult);
    printf("fault %04X:%04X %ls %ls", id.wVendorID, id.wProductID, argv[0], pszMode);
    if (fault.mode == VC_FAULT_DELAY) printf(" %lu", fault.msDelay);
    printf(" (held reports completed: %lu)\n", cCompleted);
    return 0;
}

int Setting(VC_CONTROLLER_ID id)
{
    VC_SETTING setting = {};
    const DWORD dwResult = vcontroller::GetSetting(id, &setting);
    if (dwResult != ERROR_SUCCESS) return NotThere(id, dwResult);
    if (!setting.fRead || setting.cbSetting == 0) {
        printf("none\n");
        return 0;
    }
    for (ULONG i = 0; i < setting.cbSetting; ++i)
        printf(i ? " %02X" : "%02X", setting.rgbSetting[i]);
    printf("\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return BadCommandLine("no command");
    const wchar_t* pszCommand = argv[1];
    if (!wcscmp(pszCommand, L"--help") || !wcscmp(pszCommand, L"help")) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (!wcscmp(pszCommand, L"install")) {
        if (argc != 2) return BadCommandLine("install takes no arguments");
        return Install();
    }
    const bool fPlug = !wcscmp(pszCommand, L"plug");
    const bool fFault = !wcscmp(pszCommand, L"fault");
    if (!fPlug && !fFault && wcscmp(pszCommand, L"unplug") && wcscmp(pszCommand, L"reports") &&
        wcscmp(pszCommand, L"setting"))
        return BadCommandLine("unknown command");
    VC_CONTROLLER_ID id = {};
    if (argc < 3 || !vcontroller::ParseControllerId(argv[2], &id))
        return BadCommandLine("a controller is named VVVV:PPPP, its vendor and product ids in hexadecimal");
    if (fPlug) return Plug(id, argc - 3, argv + 3);
    if (fFault) return Fault(id, argc - 3, argv + 3);
    if (argc != 3) return BadCommandLine("too many arguments");
    if (!wcscmp(pszCommand, L"unplug")) return Unplug(id);
    if (!wcscmp(pszCommand, L"reports")) return Reports(id);
    return Setting(id);
}
