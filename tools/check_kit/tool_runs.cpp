#include "tool_runs.h"

#include "dicheck_result.h"
#include "manifest.h"
#include "verdict.h"

namespace {

struct KitTool {
    LPCWSTR pszExe;
    LPCWSTR pszArguments;
    const char* pszName;
    bool fNeedsController; // plugs the virtual controller and writes under HKEY_LOCAL_MACHINE
    DWORD dwSeconds;
};

// bench measures idle and playing CPU time for 5 s each: long enough for the
// figures to settle, short enough for every run of the kit.
const KitTool TOOLS[] = {
    {L"dicheck.exe", L"", "dicheck", true, 180},
    {L"ffhost.exe", L"bench --idle-seconds 5 --play-seconds 5", "ffhost bench", false, 300},
};

// The last line that starts with PREFIX, without it.
std::string LineAfter(const std::string& output, const std::string& prefix)
{
    std::string found;
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0) found = line.substr(prefix.size());
        at = end + 1;
    }
    return found;
}

void Judge(const KitTool& tool, ToolOutcome& o)
{
    const JobRun& run = o.run;
    using Result = ToolOutcome::Result;
    o.result = Result::Failed;
    const Judgement end = JudgeEnd(run, tool.dwSeconds);
    if (end.verdict != Verdict::Passed) {
        o.reason = std::string(VerdictName(end.verdict)) + ": " + end.detail;
    } else if (run.dwExitCode == 0) {
        o.result = Result::Passed;
    } else if (tool.fNeedsController && run.dwExitCode == DICHECK_NOT_PROVIDED) {
        o.result = Result::Skipped;
        o.reason = "force feedback not provided by this DirectInput: " +
                   LineAfter(run.output, "dicheck: force feedback not provided by this DirectInput: ");
    } else if (tool.fNeedsController && run.dwExitCode == DICHECK_CANNOT_CHECK) {
        o.result = Result::Skipped;
        o.reason = LineAfter(run.output, "dicheck: ");
    } else {
        o.reason = "exit code " + std::to_string(run.dwExitCode);
        const std::string failedAt = LineAfter(run.output, "dicheck: failed at ");
        if (!failedAt.empty()) o.reason += ", failed at " + failedAt;
    }
}

} // namespace

std::vector<ToolOutcome> RunTools(const std::wstring& kit, const MachineFacts& facts,
                                  const std::wstring& workDir)
{
    std::vector<ToolOutcome> outcomes;
    for (LPCWSTR pszArch : {L"x64", L"x86"}) {
        for (const KitTool& tool : TOOLS) {
            const std::wstring exe = kit + L"\\" + pszArch + L"\\" + tool.pszExe;
            if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
            ToolOutcome o;
            o.arch = pszArch;
            o.name = tool.pszName;
            std::wstring reason, remedy;
            if (o.arch == L"x86" && !NeedMet(facts, L"x86", reason, remedy)) {
            } else if (tool.fNeedsController && (!NeedMet(facts, L"elevation", reason, remedy) ||
                                                 !NeedMet(facts, L"vcontroller", reason, remedy))) {
            } else {
                const std::wstring output = workDir + L"\\" + o.arch + L"-" + Widen(o.name) + L".txt";
                o.run = RunInJob(L"\"" + exe + L"\" " + tool.pszArguments, kit + L"\\" + pszArch, output,
                                 tool.dwSeconds);
                Judge(tool, o);
            }
            if (!reason.empty()) o.reason = Narrow(reason) + "; remedy: " + Narrow(remedy);
            outcomes.push_back(std::move(o));
        }
    }
    return outcomes;
}

const char* ToolResultName(ToolOutcome::Result result)
{
    switch (result) {
    case ToolOutcome::Result::Passed:
        return "passed";
    case ToolOutcome::Result::Failed:
        return "FAILED";
    case ToolOutcome::Result::Skipped:
        return "skipped";
    }
    return "?";
}
