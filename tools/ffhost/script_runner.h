// Runs a parsed script against one Effect Driver bound to the pipe
// controller, noting every call with its time and result.
#pragma once

#include "pipe_controller.h"
#include "script.h"

#include <dinputd.h>

#include <map>
#include <string>
#include <vector>

// One call the host made, with the time it returned.
struct CallRecord {
    LONGLONG llTime;
    std::string text; // the call and what it gave
};

class ScriptRunner {
public:
    ScriptRunner(IDirectInputEffectDriver* pDriver, PipeController* pController);

    // DeviceID to the controller's path (or pszPath), in a DIHIDFFINITINFO.
    HRESULT Bind(LPCWSTR pszPath = nullptr);
    // Binds to a device interface in place of the pipe controller's path.
    void SetDevicePath(LPCWSTR pszPath) { devicePath_ = pszPath; }
    // Runs the statements in order. The driver's reference is given up by a
    // release statement, or at the end of the script when it has none.
    void Run(const Script& script);

    const std::vector<CallRecord>& Calls() const { return calls_; }
    bool Released() const { return pDriver_ == nullptr; }

private:
    void Execute(const Statement& st);
    void Note(const std::string& text);
    DWORD HandleOf(const Statement& st) const;

    IDirectInputEffectDriver* pDriver_;
    PipeController* pController_;
    std::map<std::string, DWORD> handles_;
    std::vector<CallRecord> calls_;
    std::wstring devicePath_;
};

// The device state bits as names: "EMPTY|STOPPED|...".
std::string DeviceStateNames(DWORD dwState);
