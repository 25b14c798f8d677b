// One program run in a job object of its own: its output (standard output
// and standard error, its children's too) goes to a file, and the job ends
// it and every process it started at its time limit or when the run is over.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct JobRun {
    bool fStarted = false;
    DWORD dwStartError = ERROR_SUCCESS;
    bool fTimedOut = false;
    DWORD dwExitCode = 0;
    DWORD dwMilliseconds = 0;
    std::string output;
    // The programs it started that ended through an unhandled exception,
    // each as "NAME (exit code 0xC0000005)": the test may never have seen it.
    std::vector<std::string> crashedChildren;
};

// Runs COMMANDLINE in DIRECTORY (which must exist), its output into OUTPUTFILE.
JobRun RunInJob(const std::wstring& commandLine, const std::wstring& directory,
                const std::wstring& outputFile, DWORD dwSeconds);
