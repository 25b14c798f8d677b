// The soak: a virtual controller plugged in and pulled out many times while
// one Effect Driver plays a sine on it, bound anew after every plug, with the
// tray program running beside it. It shows what a long session leaves
// behind: handles, USER and GDI objects and private bytes of this host and of
// quellin.exe before and after, and whether every binding ended with the
// all-zero report that stops the motors.
#pragma once

#include "driver_activation.h"

#include "controller_link.h"

#include <cstdio>

struct SoakOptions {
    VC_CONTROLLER_ID device = {};
    int cCycles = 200;
};

// 0 when every binding that ended before its pull left the motors stopped,
// else 1 (also when the controller could not be plugged or bound).
int RunSoak(DriverLoader* pLoader, const SoakOptions& options, FILE* pOut);
