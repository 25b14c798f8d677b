#include "verdict.h"

#include <cstdio>
#include <sstream>

namespace {

// Wine reports an unhandled exception of any of its programs on that
// program's standard error, which the job's output file collects; where it
// is, the program may well have ended with status 0.
std::string UnhandledExceptionLines(const std::string& output)
{
    std::istringstream in(output);
    std::string line, lines;
    while (std::getline(in, line)) {
        if (line.rfind("wine: Unhandled ", 0) != 0) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lines.find(line) == std::string::npos) lines += "\n  " + line;
    }
    return lines;
}

std::string Hex(DWORD dw)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(dw));
    return sz;
}

} // namespace

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Passed:
        return "passed";
    case Verdict::Failed:
        return "failed";
    case Verdict::Crashed:
        return "crashed";
    case Verdict::Unfinished:
        return "unfinished";
    case Verdict::TimedOut:
        return "timed out";
    case Verdict::NotStarted:
        return "not started";
    }
    return "?";
}

Judgement JudgeEnd(const JobRun& run, DWORD dwSeconds)
{
    if (!run.fStarted)
        return {Verdict::NotStarted,
                "it could not be started (error " + std::to_string(run.dwStartError) + ")"};
    if (run.fTimedOut)
        return {Verdict::TimedOut, "it was ended at its time limit of " + std::to_string(dwSeconds) + " s"};
    const std::string unhandled = UnhandledExceptionLines(run.output);
    if (!unhandled.empty())
        return {Verdict::Crashed,
                "Wine reported an unhandled exception (exit code " + Hex(run.dwExitCode) + "):" + unhandled};
    // NTSTATUS error codes: the process ended through an unhandled exception.
    if (run.dwExitCode >= 0xC0000000)
        return {Verdict::Crashed, "it ended through an unhandled exception " + Hex(run.dwExitCode)};
    if (!run.crashedChildren.empty()) {
        std::string programs;
        for (const std::string& child : run.crashedChildren)
            programs += "\n  " + child;
        return {Verdict::Crashed, "a program it started ended through an unhandled exception:" + programs};
    }
    return {Verdict::Passed, "it ended by itself"};
}

Judgement Judge(const JobRun& run, const GtestReport& report, DWORD dwSeconds)
{
    const Judgement end = JudgeEnd(run, dwSeconds);
    if (end.verdict != Verdict::Passed) return end;
    const size_t cFailed = report.Count(true, false) + report.Count(true, true);
    if (run.dwExitCode != 0)
        return {Verdict::Failed, "exit code " + std::to_string(run.dwExitCode) + ", " +
                                     std::to_string(cFailed) + " test(s) failed" +
                                     (report.fComplete ? "" : ", no complete XML report")};
    if (!report.fComplete)
        return {Verdict::Unfinished,
                "exit code 0 without a complete XML report: the program ended before its end"};
    if (cFailed) return {Verdict::Failed, std::to_string(cFailed) + " test(s) failed with exit code 0"};
    if (report.cases.empty()) return {Verdict::Failed, "it ran no test"};
    return {Verdict::Passed, std::to_string(report.Count(false, false)) + " passed, " +
                                 std::to_string(report.Count(false, true)) + " skipped"};
}
