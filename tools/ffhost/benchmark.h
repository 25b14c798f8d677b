// The driver's performance figures, measured through a real binding to the
// pipe controller: start latency, the cycle while a sine plays (report rate,
// spacing, CPU time), CPU time while a constant force plays, idle CPU time,
// the final Release while effects play and with a controller that stopped
// reading, and the size of the DLL.
#pragma once

#include "driver_activation.h"

#include "controller_control.h"

#include <cstdio>

struct BenchmarkOptions {
    int cStarts = 200;        // starts for the latency figures
    DWORD dwIdleSeconds = 10; // length of the idle CPU measurement
    int cReleases = 20;       // final Releases while effects play
    DWORD dwPlaySeconds = 10; // length of the cycle measurement while a sine plays
    bool fDevice = false;     // the start latency at this controller instead of the pipe's figures
    VC_CONTROLLER_ID device = {};
};

// Prints the figures to pFile; returns 0, or 1 if a measurement failed.
int RunBenchmarks(DriverLoader* pLoader, const BenchmarkOptions& options, FILE* pFile);
