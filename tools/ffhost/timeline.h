// The recorded Motor Reports as a timeline beside the host's calls, and as
// CSV for plotting. Times are milliseconds from llOrigin.
#pragma once

#include "pipe_controller.h"
#include "script_runner.h"

#include <cstdio>
#include <vector>

void PrintTimeline(FILE* pFile, LONGLONG llOrigin, const std::vector<CallRecord>& calls,
                   const std::vector<MotorRecord>& reports, const std::vector<ConnectionEvent>& connections);

// time_ms,strength,byte0,byte1,byte2,byte3,size,binding: one row per report.
bool WriteCsv(LPCWSTR pszPath, LONGLONG llOrigin, const std::vector<MotorRecord>& reports);
