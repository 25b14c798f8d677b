// What a test program's run comes to. A run passes only when it reached its
// end: exit code 0, a complete GoogleTest report with at least one test and
// none failed, and no unhandled exception in it or in any program it started.
#pragma once

#include "gtest_xml.h"
#include "job_run.h"

#include <string>

enum class Verdict { Passed, Failed, Crashed, Unfinished, TimedOut, NotStarted };

struct Judgement {
    Verdict verdict;
    std::string detail;
};

Judgement Judge(const JobRun& run, const GtestReport& report, DWORD dwSeconds);
// The part of the verdict that holds for any program the kit runs: not
// started, timed out, or crashed (it or a program it started); Passed when it
// ended by itself, whatever its exit code.
Judgement JudgeEnd(const JobRun& run, DWORD dwSeconds);
const char* VerdictName(Verdict verdict);
