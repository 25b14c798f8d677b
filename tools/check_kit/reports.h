// The run's two reports: report.txt for a person (the machine's facts, the
// counts, each failure with its output, the skips grouped by reason) and
// report.xml in JUnit's form for a CI system.
#pragma once

#include "gtest_xml.h"
#include "job_run.h"
#include "machine_facts.h"
#include "manifest.h"
#include "registry_backup.h"
#include "tool_runs.h"
#include "verdict.h"

#include <string>
#include <vector>

struct ProgramOutcome {
    const KitProgram* pProgram = nullptr;
    bool fRun = false;
    std::wstring skipReason; // why it did not run, when it did not
    std::wstring skipRemedy;
    JobRun run;
    GtestReport report;
    Judgement judgement = {Verdict::NotStarted, {}};
    std::vector<const OnlyRule*> leftOut; // tests whose premise holds only on the other platform
};

struct RunTotals {
    size_t cPassed = 0, cFailed = 0, cSkipped = 0;                // programs
    size_t cTestsPassed = 0, cTestsFailed = 0, cTestsSkipped = 0; // tests of the programs that ran
    size_t cTestsNotRun = 0;                                      // tests of skipped programs
};

// "holds only on Wine: REASON"
std::string OnlyText(const OnlyRule& rule);

RunTotals CountOutcomes(const std::vector<ProgramOutcome>& outcomes);

// Both files into OUTDIR; false when one cannot be written.
bool WriteReports(const std::wstring& outDir, const MachineFacts& facts,
                  const std::vector<ProgramOutcome>& outcomes, const std::vector<ToolOutcome>& tools,
                  const std::vector<RegistryBackup::Restored>& restored, DWORD dwMilliseconds);
