// ffhost: drives the force feedback effect driver the way DirectInput does,
// plays the controller on a named pipe and shows the Motor Reports it gets.
#include "benchmark.h"
#include "class_registration.h"
#include "device_controller.h"
#include "driver_activation.h"
#include "pipe_controller.h"
#include "script.h"
#include "script_runner.h"
#include "soak.h"
#include "timeline.h"

#include "common/class_ids.h"
#include "tools/narrow.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const char USAGE[] = R"(ffhost: a force feedback host for the effect driver (brasquet.dll).

It creates an Effect Driver, binds it with DeviceID to a controller that it
plays itself (a duplex named pipe), runs a script of DirectInput calls and
prints every Motor Report the driver wrote, with its time.

Usage:
  ffhost run [--com | --dll PATH] [--device VVVV:PPPP]
             (--script FILE | --exec TEXT) [--csv FILE] [--no-bind] [--quiet]
  ffhost bench [--com | --dll PATH] [--starts N] [--idle-seconds S]
               [--releases N] [--play-seconds S]
  ffhost bench --device VVVV:PPPP [--com | --dll PATH] [--starts N]
  ffhost soak --device VVVV:PPPP [--com | --dll PATH] [--cycles N]
  ffhost register [PATH]     register PATH (default: brasquet.dll beside
                             ffhost.exe) as the Effect Driver's in-process
                             server, ThreadingModel Both, in the registry
                             view of its machine: an x64 DLL in the 64-bit
                             view, an x86 DLL in the 32-bit view
  ffhost unregister [PATH]   remove the registration from PATH's view
  ffhost --help

--device VVVV:PPPP: the controller is a real HID device (the virtual
controller, vcontroller plug): its device interface path is found with
SetupAPI and HidD_GetAttributes as DirectInput finds it, the driver is bound
to it, and the reports shown are the ones the controller received. bench
--device measures the start latency at the device only.

Activation: --dll PATH loads the DLL and calls its DllGetClassObject
(default: brasquet.dll beside ffhost.exe); --com uses CoCreateInstance of the
registered class, as DirectInput does.

run: binds the driver (unless --no-bind), runs the script, releases the driver
(at the script's release statement or at its end), then prints the timeline:
the host's calls with their results and every report, milliseconds from the
start, and the CPU time of the host process over the run. --csv FILE also writes the reports as
time_ms,strength,byte0,byte1,byte2,byte3,size,binding. --quiet prints only
errors and the summary line.

bench: prints the size of the DLL, the latency from StartEffect returning to
the first report carrying the effect (median, p99, max over --starts, 200),
the time of the final Release while four effects play (--releases, 20), the
reports per second, their spacing and the CPU time while a sine of period
250 ms plays (--play-seconds, 10) and the CPU time of one bound idle driver
(--idle-seconds, 10).

soak: plugs the virtual controller in and pulls it out --cycles times (200),
binding one Effect Driver that plays a sine anew after every plug; every
other binding ends before its pull, the others are pulled while they play.
Prints the handles, USER and GDI objects and private bytes of the host and
of a running quellin.exe before and after, and how many bindings ended with
an all-zero last report. Exit code 1 when one did not.

Script: statements separated by line ends or ';'; '#' starts a comment
(except #N, a raw effect handle). Times in download keys are microseconds,
as in DirectInput, or carry a unit: 500ms, 2s, 1500us. Levels and gains run
0..10000. Numbers may be hexadecimal (0x...).
  download NAME TYPE [KEY=VALUE ...] [start] [norestart] [nodownload]
      TYPE: constant ramp square sine triangle sawup sawdown, or an index
            0..11 (7 and up carry no parameters)
      KEYS: duration=TIME|infinite  gain=N  delay=TIME (start delay)
            sampleperiod=TIME  trigger=N  triggerrepeat=TIME  axes=N
            magnitude=N (constant: signed; periodic: 0..10000)
            offset=N phase=N (hundredths of a degree) period=TIME (periodic)
            from=N to=N (ramp)
            attack=LEVEL,TIME  fade=LEVEL,TIME (envelope)  envelope=none
            flags=F1|F2|...  the DIEP_* flags to pass instead of the derived
               ones: duration sampleperiod gain triggerbutton
               triggerrepeatinterval axes direction envelope
               typespecificparams startdelay allparams start norestart
               nodownload, or a number
      The first download of a NAME creates the effect with every parameter
      (DIEP_ALLPARAMS; defaults: duration infinite, gain 10000, no
      envelope). A later download of the NAME updates it, passing only the
      flags of the keys it names (and typespecificparams with a TYPE).
      The words start, norestart, nodownload add DIEP_START and so on.
  download #N TYPE ...       download to a raw handle N
  start REF [COUNT|infinite] [solo] [mode=N]    (count 1 unless given)
  stop REF | destroy REF | status REF           REF: NAME or #N
  gain N                     SetGain
  command C                  reset stopall pause continue actuatorson
                             actuatorsoff, or a number
  state | versions | escape [REF]
  wait MS                    milliseconds, or 2s
  bind [PATH]                DeviceID begin, to the controller or to PATH
  unbind                     DeviceID end
  release                    the final Release; nothing may follow it
  mark TEXT                  a line in the timeline

Example:
  ffhost run --exec "download a sine magnitude=8000 period=200ms start; wait 500; release" --csv a.csv

Exit codes: 0 done; 1 the driver could not be created or bound, or a
measurement failed; 2 bad command line or script.
)";

bool ReadTextFile(const std::wstring& path, std::string* pText)
{
    FILE* pFile = _wfopen(path.c_str(), L"rb");
    if (!pFile) return false;
    char rgch[4096];
    size_t cb;
    while ((cb = fread(rgch, 1, sizeof(rgch), pFile)) > 0)
        pText->append(rgch, cb);
    fclose(pFile);
    return true;
}

int UsageError(const std::string& message)
{
    fprintf(stderr, "ffhost: %s\nTry 'ffhost --help'.\n", message.c_str());
    return 2;
}

struct Options {
    std::wstring verb;
    bool fCom = false;
    std::wstring dllPath = DefaultDriverPath();
    std::wstring scriptPath;
    std::wstring scriptText;
    bool fExec = false;
    std::wstring csvPath;
    bool fBind = true;
    bool fQuiet = false;
    BenchmarkOptions bench;
    SoakOptions soak;
    std::wstring registerPath;
    bool fDevice = false;
    VC_CONTROLLER_ID device = {};
};

bool ParseCount(const wchar_t* psz, long lMin, long lMax, long* pl)
{
    wchar_t* pEnd = nullptr;
    const long l = wcstol(psz, &pEnd, 10);
    if (!*psz || *pEnd || l < lMin || l > lMax) return false;
    *pl = l;
    return true;
}

// Returns -1 when the options are good, else the exit code.
int ParseOptions(int argc, wchar_t** argv, Options* pOptions)
{
    if (argc < 2) return UsageError("a command is missing: run, bench, soak, register or unregister");
    pOptions->verb = argv[1];
    if (pOptions->verb == L"--help" || pOptions->verb == L"-h" || pOptions->verb == L"/?" ||
        pOptions->verb == L"help") {
        fputs(USAGE, stdout);
        return 0;
    }
    const std::wstring& verb = pOptions->verb;
    if (verb != L"run" && verb != L"bench" && verb != L"soak" && verb != L"register" && verb != L"unregister")
        return UsageError("unknown command '" + Narrow(verb) + "'");
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool fValue = i + 1 < argc;
        auto fIs = [&](const wchar_t* pszName, bool fRunOrBench) {
            return arg == pszName && (!fRunOrBench || verb == L"run" || verb == L"bench" || verb == L"soak");
        };
        long l;
        if (arg == L"--help" || arg == L"-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (fIs(L"--com", true)) {
            pOptions->fCom = true;
        } else if (fIs(L"--dll", true) && fValue) {
            pOptions->dllPath = argv[++i];
        } else if (fIs(L"--device", true) && fValue) {
            if (!vcontroller::ParseControllerId(argv[++i], &pOptions->device))
                return UsageError("--device takes VVVV:PPPP, a vendor and product id in hexadecimal");
            pOptions->fDevice = true;
            pOptions->bench.fDevice = true;
            pOptions->bench.device = pOptions->device;
        } else if (verb == L"run" && arg == L"--script" && fValue) {
            pOptions->scriptPath = argv[++i];
        } else if (verb == L"run" && (arg == L"--exec" || arg == L"-e") && fValue) {
            pOptions->scriptText = argv[++i];
            pOptions->fExec = true;
        } else if (verb == L"run" && arg == L"--csv" && fValue) {
            pOptions->csvPath = argv[++i];
        } else if (verb == L"run" && arg == L"--no-bind") {
            pOptions->fBind = false;
        } else if (verb == L"run" && arg == L"--quiet") {
            pOptions->fQuiet = true;
        } else if (verb == L"bench" && arg == L"--starts" && fValue) {
            if (!ParseCount(argv[++i], 0, 100000, &l)) return UsageError("--starts takes a count 0..100000");
            pOptions->bench.cStarts = static_cast<int>(l);
        } else if (verb == L"bench" && arg == L"--idle-seconds" && fValue) {
            if (!ParseCount(argv[++i], 0, 3600, &l)) return UsageError("--idle-seconds takes 0..3600");
            pOptions->bench.dwIdleSeconds = static_cast<DWORD>(l);
        } else if (verb == L"bench" && arg == L"--play-seconds" && fValue) {
            if (!ParseCount(argv[++i], 0, 3600, &l)) return UsageError("--play-seconds takes 0..3600");
            pOptions->bench.dwPlaySeconds = static_cast<DWORD>(l);
        } else if (verb == L"bench" && arg == L"--releases" && fValue) {
            if (!ParseCount(argv[++i], 0, 10000, &l)) return UsageError("--releases takes a count 0..10000");
            pOptions->bench.cReleases = static_cast<int>(l);
        } else if (verb == L"soak" && arg == L"--cycles" && fValue) {
            if (!ParseCount(argv[++i], 1, 100000, &l)) return UsageError("--cycles takes a count 1..100000");
            pOptions->soak.cCycles = static_cast<int>(l);
        } else if ((verb == L"register" || verb == L"unregister") && pOptions->registerPath.empty() &&
                   arg[0] != L'-') {
            pOptions->registerPath = arg;
        } else {
            return UsageError("unexpected argument '" + Narrow(arg) + "' for " + Narrow(verb));
        }
    }
    if (verb == L"run" && pOptions->scriptPath.empty() == !pOptions->fExec)
        return UsageError("run needs exactly one of --script FILE and --exec TEXT");
    if (verb == L"soak" && !pOptions->fDevice) return UsageError("soak needs --device VVVV:PPPP");
    pOptions->soak.device = pOptions->device;
    return -1;
}

ULONGLONG ProcessCpuMs()
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    GetProcessTimes(GetCurrentProcess(), &ftCreation, &ftExit, &ftKernel, &ftUser);
    auto value = [](const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; };
    return (value(ftKernel) + value(ftUser)) / 10000;
}

int Run(const Options& options)
{
    std::string text;
    std::string source;
    if (options.fExec) {
        text = Narrow(options.scriptText);
        source = "--exec";
    } else {
        source = Narrow(options.scriptPath);
        if (!ReadTextFile(options.scriptPath, &text)) {
            fprintf(stderr, "ffhost: cannot read the script %s\n", source.c_str());
            return 2;
        }
    }
    Script script;
    std::string error;
    if (!ParseScript(text, &script, &error)) {
        fprintf(stderr, "ffhost: %s: %s\n", source.c_str(), error.c_str());
        return 2;
    }

    DriverLoader loader(options.fCom, options.dllPath);
    HRESULT hr = loader.Load();
    if (FAILED(hr)) {
        fprintf(stderr, "ffhost: cannot load %s: %s\n",
                options.fCom ? "COM" : Narrow(options.dllPath).c_str(), HresultName(hr).c_str());
        return 1;
    }
    PipeController controller;
    if (!controller.Start()) {
        fprintf(stderr, "ffhost: cannot create the controller pipe (error %lu)\n", GetLastError());
        return 1;
    }
    DeviceController device(options.device);
    if (options.fDevice && !device.Start()) {
        fprintf(stderr, "ffhost: no controller %04X:%04X is plugged in (vcontroller plug)\n",
                options.device.wVendorID, options.device.wProductID);
        return 1;
    }
    IDirectInputEffectDriver* pDriver = nullptr;
    hr = loader.Create(&pDriver);
    if (FAILED(hr)) {
        fprintf(stderr, "ffhost: cannot create an Effect Driver: %s%s\n", HresultName(hr).c_str(),
                options.fCom && hr == REGDB_E_CLASSNOTREG ? " (run 'ffhost register' first)" : "");
        return 1;
    }
    const LONGLONG llOrigin = PipeController::Now();
    const ULONGLONG ullCpuBefore = ProcessCpuMs();
    ScriptRunner runner(pDriver, &controller);
    if (options.fDevice) runner.SetDevicePath(device.Path());
    int iExit = 0;
    if (options.fBind) {
        hr = runner.Bind();
        if (FAILED(hr)) {
            fprintf(stderr, "ffhost: DeviceID failed: %s\n", HresultName(hr).c_str());
            iExit = 1;
        }
    }
    if (iExit == 0)
        runner.Run(script);
    else
        pDriver->Release();
    // The driver closes its device after its last report: wait for that, so
    // that the timeline ends with it.
    controller.WaitForNoConnection(2000);
    controller.Stop();
    // A device tells no closing: its reports are in once it has been quiet
    // a while after the release.
    if (options.fDevice) device.WaitForQuiet(100, 2000);

    const std::vector<MotorRecord> reports = options.fDevice ? device.Reports() : controller.Reports();
    const ULONGLONG ullCpuMs = ProcessCpuMs() - ullCpuBefore;
    const double dWallMs = PipeController::Milliseconds(llOrigin, PipeController::Now());
    if (options.fQuiet) {
        size_t cMalformed = 0;
        for (const MotorRecord& report : reports)
            cMalformed += report.IsWellFormed() ? 0 : 1;
        printf("%zu reports, %zu malformed\n", reports.size(), cMalformed);
    } else {
        PrintTimeline(stdout, llOrigin, runner.Calls(), reports, controller.Connections());
    }
    // The whole host's CPU time, the driver's threads included: a thread
    // that spun instead of pacing itself would show here.
    printf("cpu time %llu ms over %.0f ms\n", ullCpuMs, dWallMs);
    if (!options.csvPath.empty() && !WriteCsv(options.csvPath.c_str(), llOrigin, reports)) {
        fprintf(stderr, "ffhost: cannot write %s\n", Narrow(options.csvPath).c_str());
        iExit = 1;
    }
    return iExit;
}

// bench and soak: the driver loaded, then the measurement.
int Measure(const Options& options)
{
    DriverLoader loader(options.fCom, options.dllPath);
    const HRESULT hr = loader.Load();
    if (FAILED(hr)) {
        fprintf(stderr, "ffhost: cannot load %s: %s\n",
                options.fCom ? "COM" : Narrow(options.dllPath).c_str(), HresultName(hr).c_str());
        return 1;
    }
    if (options.verb == L"soak") return RunSoak(&loader, options.soak, stdout);
    return RunBenchmarks(&loader, options.bench, stdout);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    const int iExit = ParseOptions(argc, argv, &options);
    if (iExit >= 0) return iExit;
    if (options.verb == L"run") return Run(options);
    if (options.verb == L"bench" || options.verb == L"soak") return Measure(options);
    const std::wstring path = options.registerPath.empty() ? DefaultDriverPath() : options.registerPath;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "ffhost: %s does not exist\n", Narrow(path).c_str());
        return 1;
    }
    const REGSAM samView = RegistryViewOf(path.c_str());
    if (!samView) {
        fprintf(stderr, "ffhost: %s is no x64 or x86 DLL\n", Narrow(path).c_str());
        return 1;
    }
    const char* pszView = samView == KEY_WOW64_64KEY ? "64-bit" : "32-bit";
    if (options.verb == L"register") {
        const LSTATUS status = RegisterEffectDriver(path.c_str());
        if (status != ERROR_SUCCESS) {
            fprintf(stderr, "ffhost: cannot register %s (error %ld)\n", Narrow(path).c_str(), status);
            return 1;
        }
        printf("registered %s as %s in the %s registry view\n", Narrow(RegisteredDriverPath(samView)).c_str(),
               Narrow(CLSID_EFFECT_DRIVER_STRING).c_str(), pszView);
        return 0;
    }
    const LSTATUS status = UnregisterEffectDriver(path.c_str());
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "ffhost: cannot unregister from the %s registry view (error %ld)\n", pszView, status);
        return 1;
    }
    return 0;
}
