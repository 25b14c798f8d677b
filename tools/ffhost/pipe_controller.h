// The controller, played by a duplex named pipe: the force feedback driver
// opens the pipe's path as its device interface and writes Motor Reports to
// it; every message that arrives is recorded with its arrival time.
#pragma once

#include <windows.h>

#include <vector>

// One message written by the driver. A well-formed Motor Report has 4 bytes,
// 00 00 s s.
struct MotorRecord {
    LONGLONG llTime;   // QueryPerformanceCounter at arrival
    DWORD iConnection; // 1 for the first handle the driver opened, 2 for the next...
    DWORD cb;          // bytes in the message
    BYTE rgb[8];       // its first bytes
    BYTE Strength() const { return rgb[2]; }
    bool IsWellFormed() const { return cb == 4 && rgb[0] == 0 && rgb[1] == 0 && rgb[2] == rgb[3]; }
};

// A client handle opening (fOpen) or closing its end of the pipe.
struct ConnectionEvent {
    LONGLONG llTime;
    DWORD iConnection;
    bool fOpen;
};

class PipeController {
public:
    PipeController();
    ~PipeController();
    PipeController(const PipeController&) = delete;
    PipeController& operator=(const PipeController&) = delete;

    // Creates the pipe under a name unique in the machine and starts serving
    // it. False when the pipe cannot be created.
    bool Start();
    // Ends serving: closes every instance, so the driver's next write fails.
    void Stop();

    LPCWSTR Path() const { return szPath_; }

    // Stops taking messages, as a controller out of range does: the
    // driver's writes fill the pipe's buffer and then wait.
    void StopReading();

    std::vector<MotorRecord> Reports() const;
    std::vector<ConnectionEvent> Connections() const;
    size_t ReportCount() const;
    DWORD OpenConnections() const;
    // Handles the driver has opened so far; the next one gets this count + 1.
    DWORD ConnectionCount() const;

    // Waits until at least cReports reports have arrived.
    bool WaitForReports(size_t cReports, DWORD dwTimeoutMs) const;
    // Waits for a report at index iFrom or later whose strength is bStrength
    // and stores its index. False on time-out.
    bool WaitForStrength(BYTE bStrength, size_t iFrom, DWORD dwTimeoutMs, size_t* piFound = nullptr) const;
    // Waits for a report written through connection iConnection.
    bool WaitForReportOn(DWORD iConnection, DWORD dwTimeoutMs) const;
    // Waits until no client holds the pipe open.
    bool WaitForNoConnection(DWORD dwTimeoutMs) const;

    // Milliseconds between two QueryPerformanceCounter values.
    static double Milliseconds(LONGLONG llFrom, LONGLONG llTo);
    static LONGLONG Now();

private:
    struct Instance;
    static DWORD WINAPI ServeThreadProc(LPVOID pv);
    void Serve();
    Instance* Listen();
    void Finish(Instance* pInstance, LONGLONG llTime);
    // Waits, under the lock, until fDone(*this) holds or the time is up.
    template <class Pred> bool WaitUntil(Pred fDone, DWORD dwTimeoutMs) const;

    WCHAR szPath_[96];
    HANDLE hStop_ = nullptr;
    HANDLE hThread_ = nullptr;
    mutable CRITICAL_SECTION cs_;
    mutable CONDITION_VARIABLE cvChanged_ = CONDITION_VARIABLE_INIT; // woken on every recorded event
    std::vector<Instance*> rgpInstances_;                            // the serving thread's own, after Start
    std::vector<MotorRecord> reports_;
    std::vector<ConnectionEvent> connections_;
    DWORD cConnections_ = 0;
    DWORD cOpen_ = 0;
    LONG volatile fReading_ = 1;
};
