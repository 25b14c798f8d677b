// check: runs the kit's test programs on this machine, one process each, and
// reports what passed, what failed and what could not run here and why.
#include "gtest_xml.h"
#include "job_run.h"
#include "machine_facts.h"
#include "manifest.h"
#include "registry_backup.h"
#include "reports.h"
#include "tool_runs.h"
#include "verdict.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

const char USAGE[] = R"(check: runs the kit's tests on this machine and reports on them.

Usage:
  check [--out DIR] [--programs NAME,NAME...]
        every program of manifest.txt (or only those named), reports in DIR
        (by default check-report in the current folder): report.txt, report.xml
  check --program EXE [--filter FILTER] [--seconds N] [--out DIR]
        one GoogleTest program, judged as the kit judges each of its own
  check --help

A program passes only with exit code 0, a complete XML report and no crash.
Exit codes: 0 nothing failed; 1 something failed; 2 a bad command line or
manifest.
)";

struct Options {
    std::wstring outDir = L"check-report";
    std::wstring program;
    std::wstring filter;
    DWORD dwSeconds = 300;
    std::vector<std::wstring> selected;
};

std::wstring FullPath(const std::wstring& path)
{
    WCHAR sz[MAX_PATH];
    const DWORD cch = GetFullPathNameW(path.c_str(), ARRAYSIZE(sz), sz, nullptr);
    return cch && cch < ARRAYSIZE(sz) ? sz : path;
}

std::wstring KitDirectory()
{
    WCHAR sz[MAX_PATH];
    GetModuleFileNameW(nullptr, sz, ARRAYSIZE(sz));
    std::wstring path = sz;
    return path.substr(0, path.find_last_of(L'\\'));
}

// Makes DIR and its parents; whether it exists afterwards.
bool MakeDirectory(const std::wstring& dir)
{
    if (CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    const size_t slash = dir.find_last_of(L'\\');
    return slash != std::wstring::npos && slash > 2 && MakeDirectory(dir.substr(0, slash)) &&
           CreateDirectoryW(dir.c_str(), nullptr);
}

void Print(const std::wstring& text)
{
    fputs(Narrow(text).c_str(), stdout);
    fflush(stdout);
}

// One program, its XML report and its output in WORKDIR.
ProgramOutcome RunProgram(const KitProgram& program, const std::wstring& exe, const std::wstring& filter,
                          const std::wstring& workDir)
{
    ProgramOutcome o;
    o.pProgram = &program;
    o.fRun = true;
    const std::wstring xml = workDir + L"\\result.xml";
    DeleteFileW(xml.c_str());
    std::wstring commandLine = L"\"" + exe + L"\" \"--gtest_output=xml:" + xml + L"\"";
    if (!filter.empty()) commandLine += L" \"--gtest_filter=" + filter + L"\"";
    o.run = RunInJob(commandLine, workDir, workDir + L"\\output.txt", program.seconds);
    o.report = ReadGtestXml(xml);
    o.judgement = Judge(o.run, o.report, program.seconds);
    return o;
}

// Adds the run of one isolated test to the program's outcome: its tests, its
// time, its output, and its verdict where it is the first that did not pass.
void Merge(ProgramOutcome& o, const ProgramOutcome& part, const std::wstring& test)
{
    o.report.cases.insert(o.report.cases.end(), part.report.cases.begin(), part.report.cases.end());
    o.run.dwMilliseconds += part.run.dwMilliseconds;
    o.run.output += "\n-- " + Narrow(test) + ", in a process of its own --\n" + part.run.output;
    if (o.judgement.verdict == Verdict::Passed && part.judgement.verdict != Verdict::Passed)
        o.judgement = {part.judgement.verdict,
                       Narrow(test) + ", in a process of its own: " + part.judgement.detail};
}

// The program's tests, less those left out here; the isolated ones each in a
// process of its own after the others.
ProgramOutcome RunIsolating(const KitProgram& program, const std::wstring& exe,
                            const std::vector<const OnlyRule*>& leftOut, std::wstring negative,
                            const std::wstring& workDir)
{
    std::vector<std::wstring> isolated;
    for (const std::wstring& test : program.isolated) {
        negative += (negative.empty() ? L"-" : L":") + test;
        if (std::none_of(leftOut.begin(), leftOut.end(),
                         [&](const OnlyRule* pRule) { return MatchesFilter(test, pRule->filter); }))
            isolated.push_back(test);
    }
    ProgramOutcome o = RunProgram(program, exe, negative, workDir);
    for (size_t i = 0; i < isolated.size(); ++i) {
        const std::wstring partDir = workDir + L"\\isolated-" + std::to_wstring(i + 1);
        MakeDirectory(partDir);
        Merge(o, RunProgram(program, exe, isolated[i], partDir), isolated[i]);
    }
    return o;
}

int RunOneProgram(const Options& options)
{
    KitProgram program;
    program.path = FullPath(options.program);
    program.arch = L"x64";
    program.seconds = options.dwSeconds;
    const std::wstring workDir = FullPath(options.outDir) + L"\\" + program.Name();
    if (!MakeDirectory(workDir)) {
        Print(L"check: cannot make " + workDir + L"\n");
        return 2;
    }
    const ProgramOutcome o = RunProgram(program, program.path, options.filter, workDir);
    if (o.judgement.verdict != Verdict::Passed) fputs(o.run.output.c_str(), stdout);
    printf("check: %s: %s\n", VerdictName(o.judgement.verdict), o.judgement.detail.c_str());
    return o.judgement.verdict == Verdict::Passed ? 0 : 1;
}

bool Selected(const Options& options, const KitProgram& program)
{
    if (options.selected.empty()) return true;
    // A name alone selects the program of every architecture; "x64/NAME"
    // only that one.
    std::wstring path = program.path;
    for (wchar_t& ch : path)
        if (ch == L'\\') ch = L'/';
    if (path.size() > 4) path.resize(path.size() - 4); // ".exe"
    for (const std::wstring& name : options.selected)
        if (name == program.Name() || name == path) return true;
    return false;
}

int RunKit(const Options& options)
{
    const ULONGLONG start = GetTickCount64();
    const std::wstring kit = KitDirectory();
    std::vector<KitProgram> programs;
    std::wstring error;
    if (!ReadManifest(kit + L"\\manifest.txt", programs, error)) {
        Print(L"check: " + error + L"\n");
        return 2;
    }
    const std::wstring outDir = FullPath(options.outDir);
    if (!MakeDirectory(outDir + L"\\work")) {
        Print(L"check: cannot make " + outDir + L"\n");
        return 2;
    }

    // x86 is tried, and its tools run, only for a selection that holds an
    // x86 program: under emulation each 32-bit start takes a minute.
    std::wstring x86Program;
    for (const KitProgram& program : programs)
        if (program.arch == L"x86" && x86Program.empty() && Selected(options, program))
            x86Program = kit + L"\\" + program.path;
    MachineFacts facts = GatherFacts(x86Program, outDir + L"\\work");
    InstallVirtualController(facts, kit, outDir + L"\\work");
    // Saved once the kit's own driver is in, which stays: what the programs
    // change after this is put back at the end.
    RegistryBackup backup;
    backup.SaveKitKeys();
    Print(L"check: this machine\n");
    for (const Fact& fact : facts.facts)
        Print(L"  " + fact.name + L": " + (fact.fYes ? L"yes" : L"no") + L" - " + fact.detail + L"\n");

    std::vector<ProgramOutcome> outcomes;
    for (size_t i = 0; i < programs.size(); ++i) {
        const KitProgram& program = programs[i];
        ProgramOutcome o;
        o.pProgram = &program;
        if (!Selected(options, program)) {
            o.skipReason = L"left out by --programs";
            o.skipRemedy = L"run check.exe without --programs";
        }
        for (const std::wstring& need : program.needs)
            if (o.skipReason.empty()) NeedMet(facts, need, o.skipReason, o.skipRemedy);

        std::vector<const OnlyRule*> leftOut;
        std::wstring negative;
        for (const OnlyRule& rule : program.only) {
            if ((rule.where == L"wine") == facts.fWine) continue;
            leftOut.push_back(&rule);
            negative += (negative.empty() ? L"-" : L":") + rule.filter;
        }
        const bool fAllLeftOut =
            !program.tests.empty() &&
            std::all_of(program.tests.begin(), program.tests.end(), [&](const std::wstring& test) {
                return std::any_of(leftOut.begin(), leftOut.end(),
                                   [&](const OnlyRule* pRule) { return MatchesFilter(test, pRule->filter); });
            });
        if (fAllLeftOut && o.skipReason.empty()) {
            // Run, it would run no test at all, which counts as a failure.
            o.skipReason = L"every test of it " + Widen(OnlyText(*leftOut.front()));
            o.skipRemedy = L"run the kit on the other platform";
            leftOut.clear();
        }
        Print(L"[" + std::to_wstring(i + 1) + L"/" + std::to_wstring(programs.size()) + L"] " + program.path +
              L": ");
        if (o.skipReason.empty()) {
            const std::wstring workDir = outDir + L"\\work\\" + program.arch + L"-" + program.Name();
            MakeDirectory(workDir);
            o = RunIsolating(program, kit + L"\\" + program.path, leftOut, negative, workDir);
            Print(Widen(VerdictName(o.judgement.verdict)) + L" (" + Widen(o.judgement.detail) + L")\n");
        } else {
            Print(L"skipped: " + o.skipReason + L"\n");
        }
        o.leftOut = leftOut;
        outcomes.push_back(std::move(o));
    }

    Print(L"check: DirectInput and the driver's figures\n");
    const std::vector<ToolOutcome> tools = RunTools(kit, facts, outDir + L"\\work");
    size_t cToolsFailed = 0;
    for (const ToolOutcome& tool : tools) {
        Print(L"  " + tool.arch + L" " + Widen(tool.name) + L": " + Widen(ToolResultName(tool.result)) +
              (tool.reason.empty() ? L"" : L" (" + Widen(tool.reason) + L")") + L"\n");
        if (tool.result == ToolOutcome::Result::Failed) ++cToolsFailed;
    }

    const std::vector<RegistryBackup::Restored> restored = backup.Restore();
    size_t cNotRestored = 0;
    for (const RegistryBackup::Restored& key : restored) {
        Print(L"check: put back " + key.key +
              (key.status == ERROR_SUCCESS ? L"" : L": FAILED, error " + std::to_wstring(key.status)) +
              L"\n");
        if (key.status != ERROR_SUCCESS) ++cNotRestored;
    }

    const DWORD dwMilliseconds = static_cast<DWORD>(GetTickCount64() - start);
    if (!WriteReports(outDir, facts, outcomes, tools, restored, dwMilliseconds)) {
        Print(L"check: cannot write the reports into " + outDir + L"\n");
        return 1;
    }
    const RunTotals totals = CountOutcomes(outcomes);
    printf("check: %zu programs passed, %zu failed, %zu skipped; tests: %zu passed, %zu failed, %zu skipped, "
           "%zu "
           "not run; %lu s\n",
           totals.cPassed, totals.cFailed, totals.cSkipped, totals.cTestsPassed, totals.cTestsFailed,
           totals.cTestsSkipped, totals.cTestsNotRun, static_cast<unsigned long>(dwMilliseconds / 1000));
    Print(L"check: reports in " + outDir + L"\\report.txt and report.xml\n");
    return totals.cFailed || cToolsFailed || cNotRestored ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // A crashing test program must end instead of waiting on an error
    // dialog; the mode is inherited by every program it starts.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool fValue = i + 1 < argc;
        if (arg == L"--help" || arg == L"-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (arg == L"--out" && fValue) {
            options.outDir = argv[++i];
        } else if (arg == L"--program" && fValue) {
            options.program = argv[++i];
        } else if (arg == L"--filter" && fValue) {
            options.filter = argv[++i];
        } else if (arg == L"--seconds" && fValue) {
            options.dwSeconds = wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--programs" && fValue) {
            const std::wstring names = argv[++i];
            for (size_t at = 0; at <= names.size();) {
                const size_t comma = std::min(names.find(L',', at), names.size());
                if (comma > at) options.selected.push_back(names.substr(at, comma - at));
                at = comma + 1;
            }
        } else {
            fprintf(stderr, "check: unknown or incomplete argument %ls (check --help tells the commands)\n",
                    arg.c_str());
            return 2;
        }
    }
    if (!options.dwSeconds) {
        fputs("check: --seconds needs a number of seconds above 0\n", stderr);
        return 2;
    }
    return options.program.empty() ? RunKit(options) : RunOneProgram(options);
}
