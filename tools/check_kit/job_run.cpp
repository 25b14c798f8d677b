#include "job_run.h"

#include "common/unique_handle.h"

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// The exit code a run ended at its time limit is given: no program's own.
constexpr UINT TIMED_OUT_EXIT_CODE = 0x4B1D0000 | WAIT_TIMEOUT;

// The job's processes as its completion port tells of them. A process is
// opened as it arrives, so that its exit code can still be read when the
// message of its end comes (on Windows that message may already say it ended
// abnormally; Wine's may not).
class JobWatch {
public:
    JobWatch(HANDLE hJob, DWORD dwMainProcessId) : dwMain_(dwMainProcessId)
    {
        hPort_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT port = {};
        port.CompletionKey = hJob;
        port.CompletionPort = hPort_;
        if (hPort_)
            SetInformationJobObject(hJob, JobObjectAssociateCompletionPortInformation, &port, sizeof(port));
    }
    ~JobWatch()
    {
        for (const Child& child : children_)
            CloseHandle(child.hProcess);
        if (hPort_) CloseHandle(hPort_);
    }
    JobWatch(const JobWatch&) = delete;
    JobWatch& operator=(const JobWatch&) = delete;

    // Takes the messages that are there, waiting at most DWMILLISECONDS for the first.
    void Take(DWORD dwMilliseconds, std::vector<std::string>& crashed)
    {
        DWORD dwMessage = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED pData = nullptr;
        while (hPort_ && GetQueuedCompletionStatus(hPort_, &dwMessage, &key, &pData, dwMilliseconds)) {
            dwMilliseconds = 0;
            const DWORD dwProcessId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pData));
            if (dwProcessId == dwMain_) continue;
            if (dwMessage == JOB_OBJECT_MSG_NEW_PROCESS) {
                HANDLE hProcess =
                    OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, dwProcessId);
                if (hProcess) children_.push_back({dwProcessId, hProcess});
            } else if (dwMessage == JOB_OBJECT_MSG_EXIT_PROCESS ||
                       dwMessage == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
                Ended(dwProcessId, dwMessage == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS, crashed);
            }
        }
    }

private:
    struct Child {
        DWORD dwProcessId;
        HANDLE hProcess;
    };

    void Ended(DWORD dwProcessId, bool fAbnormal, std::vector<std::string>& crashed)
    {
        std::string name = "process " + std::to_string(dwProcessId);
        DWORD dwExitCode = 0;
        for (const Child& child : children_) {
            if (child.dwProcessId != dwProcessId) continue;
            char szImage[MAX_PATH];
            DWORD cch = ARRAYSIZE(szImage);
            if (QueryFullProcessImageNameA(child.hProcess, 0, szImage, &cch)) name = szImage;
            GetExitCodeProcess(child.hProcess, &dwExitCode);
        }
        // NTSTATUS error codes: the end through an unhandled exception.
        if (!fAbnormal && dwExitCode < 0xC0000000) return;
        char szCode[16];
        snprintf(szCode, sizeof(szCode), "0x%08lX", static_cast<unsigned long>(dwExitCode));
        crashed.push_back(name + " (exit code " + szCode + ")");
    }

    DWORD dwMain_;
    HANDLE hPort_ = nullptr;
    std::vector<Child> children_;
};

} // namespace

JobRun RunInJob(const std::wstring& commandLine, const std::wstring& directory,
                const std::wstring& outputFile, DWORD dwSeconds)
{
    JobRun run;
    SECURITY_ATTRIBUTES sa = {sizeof(sa)};
    sa.bInheritHandle = TRUE;
    FileHandle hOutput(CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileHandle hInput(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  OPEN_EXISTING, 0, nullptr));
    if (hOutput.get() == INVALID_HANDLE_VALUE) {
        run.dwStartError = GetLastError();
        return run;
    }

    // Closing the job's last handle ends whatever is left in it, also when
    // this program itself is ended.
    KernelHandle hJob(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!hJob.get() ||
        !SetInformationJobObject(hJob.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        run.dwStartError = GetLastError();
        return run;
    }

    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInput.get() != INVALID_HANDLE_VALUE ? hInput.get() : nullptr;
    si.hStdOutput = hOutput.get();
    si.hStdError = hOutput.get();
    PROCESS_INFORMATION pi = {};
    std::wstring mutableCommandLine = commandLine;
    // Suspended until it is in the job, so that nothing it starts escapes.
    if (!CreateProcessW(nullptr, mutableCommandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        directory.c_str(), &si, &pi)) {
        run.dwStartError = GetLastError();
        return run;
    }
    KernelHandle hProcess(pi.hProcess);
    KernelHandle hThread(pi.hThread);
    run.fStarted = true;
    if (!AssignProcessToJobObject(hJob.get(), pi.hProcess)) {
        run.dwStartError = GetLastError();
        TerminateProcess(pi.hProcess, 1);
        run.fStarted = false;
        return run;
    }
    JobWatch watch(hJob.get(), pi.dwProcessId);
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = start + dwSeconds * 1000ull;
    ResumeThread(pi.hThread);
    while (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
        if (GetTickCount64() >= deadline) {
            run.fTimedOut = true;
            TerminateJobObject(hJob.get(), TIMED_OUT_EXIT_CODE);
            WaitForSingleObject(pi.hProcess, 10000);
            break;
        }
        watch.Take(50, run.crashedChildren);
    }
    run.dwMilliseconds = static_cast<DWORD>(GetTickCount64() - start);
    GetExitCodeProcess(pi.hProcess, &run.dwExitCode);
    watch.Take(0, run.crashedChildren);
    // What the program left running (a tray program it started, a helper)
    // ends with the job, before the next program starts; ended so, none of
    // them counts as crashed.
    TerminateJobObject(hJob.get(), 0);

    std::ifstream in(std::filesystem::path(outputFile), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    run.output = buffer.str();
    return run;
}
