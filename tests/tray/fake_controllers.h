// HID controllers that exist only in the test, behind g_platform: SetupAPI's
// enumeration, CreateFileW and the HID calls answer from a list the test
// makes up. This shows what Wine's own devices cannot: several controllers,
// controllers that come and go, refuse to open or give no ids. Every call is
// checked for the arguments the platform wants, and every Reload Request byte
// for byte.
#pragma once

#include "tray/tray_platform.h"

#include <vector>

// How a controller answers a Reload Request, which always goes out as
// overlapped I/O.
enum RequestAnswer {
    REQUEST_TAKEN,     // pends, and is done within the wait for it
    REQUEST_REFUSED,   // fails at once, as an unplugged controller's does
    REQUEST_CANCELLED, // pends past any wait; its cancellation ends it
    REQUEST_STALLS,    // pends past any wait and its cancellation, until EndStalledRequests
};

struct FakeController {
    FakeController(USHORT wVendorID, USHORT wProductID) : wVendorID(wVendorID), wProductID(wProductID) {}
    USHORT wVendorID;
    USHORT wProductID;

    // How it answers; all true is a controller that works.
    bool fPlugged = true;        // listed by the enumeration at all
    bool fDetail = true;         // its device path can be read
    bool fOpens = true;          // CreateFileW opens it
    bool fAttributes = true;     // HidD_GetAttributes gives its ids
    bool fShared = true;         // false: another program holds it without sharing, only access 0 opens it
    bool fCaps = true;           // its preparsed data and caps can be read
    USHORT cbFeatureReport = 32; // FeatureReportByteLength of its caps
    RequestAnswer answer = REQUEST_TAKEN;

    // What it saw.
    int cOpens = 0;
    int cCloses = 0;
    int cReadWriteOpens = 0; // of cOpens, those asking for reading and writing
    int cRequests = 0;       // Reload Requests received, each checked byte for byte
    int cPreparsed = 0;      // preparsed data handed out
    int cPreparsedFreed = 0;
    std::vector<DWORD> rgdwWaitsMs; // each wait for one of its requests, the time asked for
    int cCancels = 0;
    int cStalled = 0; // requests pending now, their handles still open
};

// The controllers in the order of enumeration.
extern std::vector<FakeController> g_fakeControllers;
// SetupDiGetClassDevsW fails: there is no device set at all.
extern bool g_fNoDeviceSet;
extern int g_cDeviceSetsDestroyed;

// Points the device members of g_platform at the fakes and starts from no
// controller, a device set that opens and nothing counted. The caller saves
// g_platform before and restores it after.
void InstallFakeControllers();

// Every controller opened was closed again, but for the handles of requests
// that still pend, and its preparsed data freed.
void ExpectEveryControllerClosed();

// The stalled requests complete, as when the controller takes them at last
// or is pulled out; their blocks must still hold the request.
void EndStalledRequests();
