// What the driver's tests share: brasquet.dll loaded from beside the test
// program, Effect Drivers bound to a controller pipe, effect downloads as
// DirectInput makes them, and a look at the driver's threads.
#pragma once

#include "driver_activation.h"
#include "effect_downloads.h"
#include "pipe_controller.h"

#include <array>
#include <set>
#include <vector>

// The real DLL, loaded once per test program.
DriverLoader& Driver();

// The x86 brasquet.dll, as the 64-bit tests see it: the check kit's, else
// the 32-bit build's ("" where there is none).
std::wstring X86DriverPath();

// A new Effect Driver from the DLL's class factory (nullptr on failure).
IDirectInputEffectDriver* NewDriver();

// DeviceID with a DIHIDFFINITINFO naming pszPath.
HRESULT BindTo(IDirectInputEffectDriver* pDriver, LPCWSTR pszPath);
HRESULT Unbind(IDirectInputEffectDriver* pDriver);

// An Effect Driver bound to a controller of its own, released at the end.
struct BoundDriver {
    PipeController controller;
    IDirectInputEffectDriver* pDriver = nullptr;

    BoundDriver();
    ~BoundDriver();
    BoundDriver(const BoundDriver&) = delete;
    BoundDriver& operator=(const BoundDriver&) = delete;
    // Binds and waits for the new thread's first report.
    HRESULT Bind();
    // The final Release; waits until the driver has closed the device.
    ULONG Release();
};

using ReportBytes = std::array<BYTE, 4>;
ReportBytes BytesOf(const MotorRecord& record);
std::vector<BYTE> StrengthsOf(const std::vector<MotorRecord>& reports, size_t iFrom = 0);

// The threads brasquet.dll started in this process (those whose routine lies
// in a loaded brasquet.dll), from a Toolhelp snapshot: their ids, and how
// many. Threads of the system's own (Windows' thread pool starts and ends
// them as it likes) are not counted.
std::set<DWORD> ThreadIds();
DWORD ThreadCount();
// Waits until the driver has cThreads threads in this process. A Rumble
// Thread exits just after the end of its binding has returned.
bool WaitForThreadCount(DWORD cThreads, DWORD dwTimeoutMs);
