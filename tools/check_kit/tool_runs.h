// The kit's checks that are not GoogleTest programs: dicheck (the system's
// DirectInput driving the effect driver) and ffhost bench (the driver's
// figures), at each bitness the kit has, their outputs kept as the figures.
#pragma once

#include "job_run.h"
#include "machine_facts.h"

#include <string>
#include <vector>

struct ToolOutcome {
    std::wstring arch; // "x64" or "x86"
    std::string name;  // "dicheck", "ffhost bench"
    enum class Result { Passed, Failed, Skipped } result = Result::Skipped;
    std::string reason; // why it failed or was skipped
    JobRun run;
};

// Runs each tool the kit holds, in WORKDIR (which must exist).
std::vector<ToolOutcome> RunTools(const std::wstring& kit, const MachineFacts& facts,
                                  const std::wstring& workDir);

const char* ToolResultName(ToolOutcome::Result result);
