#include "reports.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string Seconds(DWORD dwMilliseconds)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%.1f", dwMilliseconds / 1000.0);
    return sz;
}

// The last lines of a program's output: where a failure or a crash shows.
std::string Tail(const std::string& output, size_t cLines)
{
    size_t at = output.size();
    for (size_t n = 0; at > 0 && n <= cLines; --at)
        if (output[at - 1] == '\n') ++n;
    std::string tail = output.substr(at);
    std::string clean;
    for (char ch : tail)
        if (ch != '\r') clean += ch;
    return clean;
}

std::string SkipText(const ProgramOutcome& o)
{
    return Narrow(o.skipReason) + "; remedy: " + Narrow(o.skipRemedy);
}

std::string Attr(const std::string& value)
{
    return "\"" + XmlEscape(value) + "\"";
}

// Each tool's verdict and its whole output: the figures are in it.
void WriteTools(std::ostream& out, const std::vector<ToolOutcome>& tools)
{
    out << "\nDirectInput and the driver's figures:\n";
    if (tools.empty()) out << "  none in the kit\n";
    for (const ToolOutcome& o : tools) {
        out << "== " << Narrow(o.arch) << " " << o.name << ": " << ToolResultName(o.result);
        if (!o.reason.empty()) out << " (" << o.reason << ")";
        out << "\n";
        if (o.run.fStarted) out << Tail(o.run.output, 400) << "\n";
    }
}

void WriteText(std::ostream& out, const MachineFacts& facts, const std::vector<ProgramOutcome>& outcomes,
               const std::vector<ToolOutcome>& tools, const RunTotals& totals, DWORD dwMilliseconds)
{
    out << "Check kit report\n\nThe machine:\n";
    for (const Fact& fact : facts.facts)
        out << "  " << Narrow(fact.name) << ": " << (fact.fYes ? "yes" : "no") << " - " << Narrow(fact.detail)
            << "\n";
    out << "\nPrograms: " << outcomes.size() << " in the manifest, " << totals.cPassed << " passed, "
        << totals.cFailed << " failed, " << totals.cSkipped << " skipped\n"
        << "Tests: " << totals.cTestsPassed << " passed, " << totals.cTestsFailed << " failed, "
        << totals.cTestsSkipped << " skipped by the tests themselves, " << totals.cTestsNotRun
        << " in skipped programs\n"
        << "Run time: " << Seconds(dwMilliseconds) << " s\n";

    out << "\nFailures:\n";
    bool fAny = false;
    for (const ProgramOutcome& o : outcomes) {
        if (!o.fRun || o.judgement.verdict == Verdict::Passed) continue;
        fAny = true;
        out << "== " << Narrow(o.pProgram->path) << ": " << VerdictName(o.judgement.verdict) << ": "
            << o.judgement.detail << "\n";
        for (const GtestCase& c : o.report.cases)
            for (const std::string& failure : c.failures)
                out << "  " << c.suite << "." << c.name << ": " << failure << "\n";
        out << "  -- its output (the end) --\n" << Tail(o.run.output, 200) << "\n";
    }
    if (!fAny) out << "  none\n";

    out << "\nSkipped, by reason:\n";
    std::map<std::string, std::vector<std::string>> byReason;
    for (const ProgramOutcome& o : outcomes)
        if (!o.fRun) byReason[SkipText(o)].push_back(Narrow(o.pProgram->path));
    for (const auto& [reason, programs] : byReason) {
        out << "== " << reason << "\n";
        for (const std::string& program : programs)
            out << "  " << program << "\n";
    }
    if (byReason.empty()) out << "  none\n";

    out << "\nLeft out on this platform:\n";
    fAny = false;
    for (const ProgramOutcome& o : outcomes)
        for (const OnlyRule* pRule : o.leftOut) {
            fAny = true;
            out << "  " << Narrow(o.pProgram->path) << ": " << Narrow(pRule->filter) << " - "
                << OnlyText(*pRule) << "\n";
        }
    if (!fAny) out << "  none\n";

    WriteTools(out, tools);

    out << "\nEach program:\n";
    for (const ProgramOutcome& o : outcomes) {
        out << "  " << Narrow(o.pProgram->path) << ": ";
        if (o.fRun)
            out << VerdictName(o.judgement.verdict) << " (" << o.judgement.detail << ") in "
                << Seconds(o.run.dwMilliseconds) << " s\n";
        else
            out << "skipped (" << Narrow(o.skipReason) << ")\n";
    }
}

// A test case the run left out, with the reason.
void WriteSkippedCase(std::ostream& cases, const std::string& classname, const std::string& name,
                      const std::string& message)
{
    cases << "    <testcase classname=" << Attr(classname) << " name=" << Attr(name)
          << " time=\"0\"><skipped message=" << Attr(message) << "/></testcase>\n";
}

void WriteJunit(std::ostream& out, const std::vector<ProgramOutcome>& outcomes,
                const std::vector<ToolOutcome>& tools, DWORD dwMilliseconds)
{
    std::ostringstream suites;
    size_t cTests = 0, cFailures = 0, cErrors = 0, cSkipped = 0;
    for (const ProgramOutcome& o : outcomes) {
        std::ostringstream cases;
        size_t n = 0, failures = 0, errors = 0, skipped = 0;
        const std::string program = Narrow(o.pProgram->path);
        if (!o.fRun) {
            const std::string message = SkipText(o);
            std::vector<std::string> names;
            for (const std::wstring& test : o.pProgram->tests)
                names.push_back(Narrow(test));
            if (names.empty()) names.push_back(Narrow(o.pProgram->Name()));
            for (const std::string& name : names) {
                WriteSkippedCase(cases, program, name, message);
                ++n, ++skipped;
            }
        } else {
            for (const GtestCase& c : o.report.cases) {
                cases << "    <testcase classname=" << Attr(c.suite) << " name=" << Attr(c.name)
                      << " time=" << Attr(c.time.empty() ? "0" : c.time) << ">";
                for (const std::string& failure : c.failures)
                    cases << "<failure message=" << Attr(failure.substr(0, failure.find('\n'))) << ">"
                          << XmlEscape(failure) << "</failure>";
                if (c.fSkipped) cases << "<skipped message=" << Attr(c.skipMessage) << "/>";
                cases << "</testcase>\n";
                ++n;
                if (!c.failures.empty())
                    ++failures;
                else if (c.fSkipped)
                    ++skipped;
            }
            // A run that did not reach its end is an error of the program
            // itself, whatever its tests said before.
            if (o.judgement.verdict != Verdict::Passed &&
                !(o.judgement.verdict == Verdict::Failed && failures)) {
                cases << "    <testcase classname=" << Attr(program)
                      << " name=\"(the run)\" time=" << Attr(Seconds(o.run.dwMilliseconds))
                      << "><error type=" << Attr(VerdictName(o.judgement.verdict)) << " message="
                      << Attr(std::string(VerdictName(o.judgement.verdict)) + ": " + o.judgement.detail)
                      << ">" << XmlEscape(Tail(o.run.output, 200)) << "</error></testcase>\n";
                ++n, ++errors;
            }
        }
        for (const OnlyRule* pRule : o.leftOut) {
            WriteSkippedCase(cases, program, Narrow(pRule->filter), OnlyText(*pRule));
            ++n, ++skipped;
        }
        suites << "  <testsuite name=" << Attr(program) << " tests=\"" << n << "\" failures=\"" << failures
               << "\" errors=\"" << errors << "\" skipped=\"" << skipped << "\" time=\""
               << Seconds(o.run.dwMilliseconds) << "\">\n"
               << cases.str() << "  </testsuite>\n";
        cTests += n, cFailures += failures, cErrors += errors, cSkipped += skipped;
    }
    if (!tools.empty()) {
        size_t failures = 0, skipped = 0;
        std::ostringstream cases;
        for (const ToolOutcome& o : tools) {
            cases << "    <testcase classname=\"tools\" name=" << Attr(Narrow(o.arch) + " " + o.name)
                  << " time=" << Attr(Seconds(o.run.dwMilliseconds)) << ">";
            if (o.result == ToolOutcome::Result::Failed)
                cases << "<failure message=" << Attr(o.reason) << ">" << XmlEscape(Tail(o.run.output, 200))
                      << "</failure>",
                    ++failures;
            else if (o.result == ToolOutcome::Result::Skipped)
                cases << "<skipped message=" << Attr(o.reason) << "/>", ++skipped;
            cases << "<system-out>" << XmlEscape(Tail(o.run.output, 400)) << "</system-out></testcase>\n";
        }
        suites << "  <testsuite name=\"tools\" tests=\"" << tools.size() << "\" failures=\"" << failures
               << "\" errors=\"0\" skipped=\"" << skipped << "\">\n"
               << cases.str() << "  </testsuite>\n";
        cTests += tools.size(), cFailures += failures, cSkipped += skipped;
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"check-kit\" tests=\"" << cTests
        << "\" failures=\"" << cFailures << "\" errors=\"" << cErrors << "\" skipped=\"" << cSkipped
        << "\" time=\"" << Seconds(dwMilliseconds) << "\">\n"
        << suites.str() << "</testsuites>\n";
}

} // namespace

std::string OnlyText(const OnlyRule& rule)
{
    return "holds only on " + std::string(rule.where == L"wine" ? "Wine" : "Windows") + ": " +
           Narrow(rule.reason);
}

RunTotals CountOutcomes(const std::vector<ProgramOutcome>& outcomes)
{
    RunTotals totals;
    for (const ProgramOutcome& o : outcomes) {
        if (!o.fRun) {
            ++totals.cSkipped;
            totals.cTestsNotRun += o.pProgram->tests.size();
            continue;
        }
        if (o.judgement.verdict == Verdict::Passed)
            ++totals.cPassed;
        else
            ++totals.cFailed;
        totals.cTestsPassed += o.report.Count(false, false);
        totals.cTestsFailed += o.report.Count(true, false) + o.report.Count(true, true);
        totals.cTestsSkipped += o.report.Count(false, true);
    }
    return totals;
}

bool WriteReports(const std::wstring& outDir, const MachineFacts& facts,
                  const std::vector<ProgramOutcome>& outcomes, const std::vector<ToolOutcome>& tools,
                  const std::vector<RegistryBackup::Restored>& restored, DWORD dwMilliseconds)
{
    const RunTotals totals = CountOutcomes(outcomes);
    std::ofstream text(std::filesystem::path(outDir + L"\\report.txt"), std::ios::binary);
    WriteText(text, facts, outcomes, tools, totals, dwMilliseconds);
    text << "\nRegistry keys the run changed, put back:\n";
    for (const RegistryBackup::Restored& key : restored)
        text << "  " << Narrow(key.key)
             << (key.status == ERROR_SUCCESS ? "" : ": NOT put back, error " + std::to_string(key.status))
             << "\n";
    if (restored.empty()) text << "  none\n";
    std::ofstream xml(std::filesystem::path(outDir + L"\\report.xml"), std::ios::binary);
    WriteJunit(xml, outcomes, tools, dwMilliseconds);
    return text.good() && xml.good();
}
