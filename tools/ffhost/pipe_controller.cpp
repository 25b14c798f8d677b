#include "pipe_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD PIPE_BUFFER_SIZE = 64;
constexpr size_t LISTENING_INSTANCES = 4;

LONGLONG Frequency()
{
    static const LONGLONG llFrequency = [] {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        return li.QuadPart;
    }();
    return llFrequency;
}

} // namespace

// One pipe instance: listening until the driver opens it, then read from.
struct PipeController::Instance {
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    HANDLE hEvent = nullptr;
    OVERLAPPED ov = {};
    DWORD iConnection = 0; // 0 while listening
    bool fPending = false; // an overlapped connect or read is outstanding
    BYTE rgbBuffer[PIPE_BUFFER_SIZE] = {};

    Instance() = default;
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    ~Instance()
    {
        if (hPipe != INVALID_HANDLE_VALUE) {
            if (fPending) {
                // The first connect was issued on the thread that called
                // Start, so only CancelIoEx reaches it.
                CancelIoEx(hPipe, &ov);
                DWORD cb = 0;
                GetOverlappedResult(hPipe, &ov, &cb, TRUE);
            }
            CloseHandle(hPipe);
        }
        if (hEvent) CloseHandle(hEvent);
    }
};

LONGLONG PipeController::Now()
{
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return li.QuadPart;
}

double PipeController::Milliseconds(LONGLONG llFrom, LONGLONG llTo)
{
    return static_cast<double>(llTo - llFrom) * 1000.0 / static_cast<double>(Frequency());
}

PipeController::PipeController()
{
    static LONG s_cPipes = 0;
    swprintf(szPath_, sizeof(szPath_) / sizeof(szPath_[0]), L"\\\\.\\pipe\\ffhost-controller-%lu-%ld",
             GetCurrentProcessId(), InterlockedIncrement(&s_cPipes));
    InitializeCriticalSection(&cs_);
}

PipeController::~PipeController()
{
    Stop();
    DeleteCriticalSection(&cs_);
}

bool PipeController::Start()
{
    if (hThread_) return true;
    hStop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!hStop_) return false;
    // The first instance is made here, so that the path opens as soon as
    // Start returns; the serving thread makes every later one.
    Instance* pFirst = Listen();
    if (pFirst) rgpInstances_.push_back(pFirst);
    if (pFirst) hThread_ = CreateThread(nullptr, 0, ServeThreadProc, this, 0, nullptr);
    if (!hThread_) {
        delete pFirst;
        rgpInstances_.clear();
        CloseHandle(hStop_);
        hStop_ = nullptr;
        return false;
    }
    return true;
}

void PipeController::Stop()
{
    if (hThread_) {
        SetEvent(hStop_);
        WaitForSingleObject(hThread_, INFINITE);
        CloseHandle(hThread_);
        hThread_ = nullptr;
    }
    if (hStop_) {
        CloseHandle(hStop_);
        hStop_ = nullptr;
    }
}

void PipeController::StopReading()
{
    InterlockedExchange(&fReading_, 0);
}

PipeController::Instance* PipeController::Listen()
{
    auto* p = new Instance;
    // Duplex, because the driver opens its device for reading and writing; one
    // message per write, so that a report of the wrong size shows as such.
    p->hPipe = CreateNamedPipeW(szPath_, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, nullptr);
    p->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (p->hPipe == INVALID_HANDLE_VALUE || !p->hEvent) {
        delete p;
        return nullptr;
    }
    p->ov.hEvent = p->hEvent;
    if (ConnectNamedPipe(p->hPipe, &p->ov)) {
        SetEvent(p->hEvent);
        return p;
    }
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_IO_PENDING) {
        p->fPending = true;
    } else if (dwError == ERROR_PIPE_CONNECTED) {
        SetEvent(p->hEvent); // opened between create and connect
    } else {
        delete p;
        return nullptr;
    }
    return p;
}

DWORD WINAPI PipeController::ServeThreadProc(LPVOID pv)
{
    static_cast<PipeController*>(pv)->Serve();
    return 0;
}

// Closes a connected instance whose client went away (or a listening one that
// failed) and forgets it.
void PipeController::Finish(Instance* pInstance, LONGLONG llTime)
{
    if (pInstance->iConnection) {
        EnterCriticalSection(&cs_);
        connections_.push_back({llTime, pInstance->iConnection, false});
        --cOpen_;
        LeaveCriticalSection(&cs_);
        WakeAllConditionVariable(&cvChanged_);
    }
    std::erase(rgpInstances_, pInstance);
    delete pInstance;
}

void PipeController::Serve()
{
    for (;;) {
        // Keep instances listening at all times, so that a driver that
        // closes its handle and opens the path again finds one at once, also
        // when it binds again and again before this thread comes round.
        size_t cListening = 0;
        for (Instance* p : rgpInstances_)
            cListening += p->iConnection == 0 ? 1 : 0;
        for (; cListening < LISTENING_INSTANCES; ++cListening) {
            Instance* p = Listen();
            if (!p) break;
            rgpInstances_.push_back(p);
        }
        for (size_t i = 0; i < rgpInstances_.size();) {
            Instance* p = rgpInstances_[i];
            if (p->iConnection && !p->fPending && fReading_) {
                // The event is set on completion, synchronous or not.
                if (ReadFile(p->hPipe, p->rgbBuffer, sizeof(p->rgbBuffer), nullptr, &p->ov) ||
                    GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
                    p->fPending = true;
                } else {
                    Finish(p, Now());
                    continue;
                }
            }
            ++i;
        }

        // Listening instances and outstanding reads: a connection that is no
        // longer read from keeps the event of its last read set.
        HANDLE rgh[MAXIMUM_WAIT_OBJECTS];
        Instance* rgpWaited[MAXIMUM_WAIT_OBJECTS] = {};
        DWORD ch = 0;
        rgh[ch++] = hStop_;
        for (Instance* p : rgpInstances_) {
            if (ch < MAXIMUM_WAIT_OBJECTS && (p->fPending || p->iConnection == 0)) {
                rgpWaited[ch] = p;
                rgh[ch++] = p->hEvent;
            }
        }
        const DWORD dwWait = WaitForMultipleObjects(ch, rgh, FALSE, INFINITE);
        const LONGLONG llTime = Now();
        if (dwWait == WAIT_OBJECT_0 || dwWait < WAIT_OBJECT_0 || dwWait >= WAIT_OBJECT_0 + ch) break;
        Instance* p = rgpWaited[dwWait - WAIT_OBJECT_0];
        p->fPending = false;
        DWORD cb = 0;
        const BOOL fOk = GetOverlappedResult(p->hPipe, &p->ov, &cb, FALSE);
        const DWORD dwError = fOk ? ERROR_SUCCESS : GetLastError();
        if (p->iConnection == 0) {
            if (!fOk && dwError != ERROR_PIPE_CONNECTED) {
                Finish(p, llTime);
                continue;
            }
            EnterCriticalSection(&cs_);
            p->iConnection = ++cConnections_;
            connections_.push_back({llTime, p->iConnection, true});
            ++cOpen_;
            LeaveCriticalSection(&cs_);
            WakeAllConditionVariable(&cvChanged_);
        } else if (fOk || dwError == ERROR_MORE_DATA) {
            // A message longer than the buffer is recorded by its first part
            // with a size that marks it as malformed.
            MotorRecord record = {};
            record.llTime = llTime;
            record.iConnection = p->iConnection;
            record.cb = fOk ? cb : cb + 1;
            memcpy(record.rgb, p->rgbBuffer, cb < sizeof(record.rgb) ? cb : sizeof(record.rgb));
            EnterCriticalSection(&cs_);
            reports_.push_back(record);
            LeaveCriticalSection(&cs_);
            WakeAllConditionVariable(&cvChanged_);
        } else {
            Finish(p, llTime);
        }
    }
    while (!rgpInstances_.empty())
        Finish(rgpInstances_.back(), Now());
}

template <class Pred> bool PipeController::WaitUntil(Pred fDone, DWORD dwTimeoutMs) const
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    EnterCriticalSection(&cs_);
    bool fResult;
    for (;;) {
        fResult = fDone();
        if (fResult) break;
        const ULONGLONG ullNow = GetTickCount64();
        if (ullNow >= ullEnd) break;
        SleepConditionVariableCS(&cvChanged_, &cs_, static_cast<DWORD>(ullEnd - ullNow));
    }
    LeaveCriticalSection(&cs_);
    return fResult;
}

std::vector<MotorRecord> PipeController::Reports() const
{
    EnterCriticalSection(&cs_);
    std::vector<MotorRecord> copy = reports_;
    LeaveCriticalSection(&cs_);
    return copy;
}

std::vector<ConnectionEvent> PipeController::Connections() const
{
    EnterCriticalSection(&cs_);
    std::vector<ConnectionEvent> copy = connections_;
    LeaveCriticalSection(&cs_);
    return copy;
}

size_t PipeController::ReportCount() const
{
    EnterCriticalSection(&cs_);
    const size_t c = reports_.size();
    LeaveCriticalSection(&cs_);
    return c;
}

DWORD PipeController::OpenConnections() const
{
    EnterCriticalSection(&cs_);
    const DWORD c = cOpen_;
    LeaveCriticalSection(&cs_);
    return c;
}

DWORD PipeController::ConnectionCount() const
{
    EnterCriticalSection(&cs_);
    const DWORD c = cConnections_;
    LeaveCriticalSection(&cs_);
    return c;
}

bool PipeController::WaitForReports(size_t cReports, DWORD dwTimeoutMs) const
{
    return WaitUntil([&] { return reports_.size() >= cReports; }, dwTimeoutMs);
}

bool PipeController::WaitForReportOn(DWORD iConnection, DWORD dwTimeoutMs) const
{
    return WaitUntil(
        [&] {
            return std::any_of(reports_.begin(), reports_.end(),
                               [&](const MotorRecord& report) { return report.iConnection == iConnection; });
        },
        dwTimeoutMs);
}

bool PipeController::WaitForStrength(BYTE bStrength, size_t iFrom, DWORD dwTimeoutMs, size_t* piFound) const
{
    size_t iNext = iFrom;
    return WaitUntil(
        [&] {
            for (; iNext < reports_.size(); ++iNext) {
                if (reports_[iNext].Strength() == bStrength) {
                    if (piFound) *piFound = iNext;
                    return true;
                }
            }
            return false;
        },
        dwTimeoutMs);
}

bool PipeController::WaitForNoConnection(DWORD dwTimeoutMs) const
{
    return WaitUntil([&] { return cOpen_ == 0; }, dwTimeoutMs);
}
