// Many threads at once: every operation of the Effect Driver, with good and
// bad arguments, while the Rumble Thread mixes; two drivers on two
// controllers; the final Release while effects play. Nothing may crash or
// hang, every result must be one the operation can give, and every report
// must be a well-formed Motor Report, the last one of each binding all zero.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>

namespace {

// A small, seedable generator: each worker repeats its own sequence.
class Random {
public:
    explicit Random(DWORD dwSeed) : dw_(dwSeed * 2654435761u + 1) {}
    DWORD Next()
    {
        dw_ = dw_ * 1664525u + 1013904223u;
        return dw_ >> 8;
    }
    DWORD Below(DWORD dwLimit) { return Next() % dwLimit; }
    template <class T, size_t N> T Pick(const T (&rg)[N]) { return rg[Below(N)]; }

private:
    DWORD dw_;
};

struct Worker {
    IDirectInputEffectDriver* pDriver = nullptr; // holds a reference of its own, released at the end
    LPCWSTR pszPath = nullptr;                   // bind and unbind too when set
    DWORD dwSeed = 0;
    ULONGLONG ullUntil = 0;
    std::atomic<int>* pcUnexpected = nullptr;
    std::string firstUnexpected;
    DWORD cCalls = 0;
};

void Check(Worker* pWorker, const char* pszOp, HRESULT hr, std::initializer_list<HRESULT> allowed)
{
    for (HRESULT ok : allowed) {
        if (hr == ok) return;
    }
    if (pWorker->pcUnexpected->fetch_add(1) == 0) {
        char sz[96];
        snprintf(sz, sizeof(sz), "%s returned 0x%08lX", pszOp, static_cast<unsigned long>(hr));
        pWorker->firstUnexpected = sz;
    }
}

void CallSomething(Worker* pWorker, Random& random)
{
    IDirectInputEffectDriver* pDriver = pWorker->pDriver;
    static const DWORD s_rgGains[] = {0, 1, 5000, 10000, 10001, 0xFFFFFFFF};
    static const DWORD s_rgCommands[] = {DISFFC_RESET,
                                         DISFFC_STOPALL,
                                         DISFFC_PAUSE,
                                         DISFFC_CONTINUE,
                                         DISFFC_SETACTUATORSON,
                                         DISFFC_SETACTUATORSOFF,
                                         0,
                                         0x03,
                                         0x40,
                                         0xFFFFFFFF};
    static const DWORD s_rgCounts[] = {0, 1, 2, 3, INFINITE};
    static const DWORD s_rgDurations[] = {0, 500, 1000, 20000, 150000, INFINITE};
    static const DWORD s_rgSizes[] = {0, 4, 8, 12, 16, 20, 64, 0xFFFFFFFF};
    const DWORD dwHandle = random.Below(24); // 0 and handles that may or may not exist
    ++pWorker->cCalls;
    switch (random.Below(13)) {
    case 0:
    case 1: {
        // Downloads of every type, with parameters of every size, some
        // larger than the type's storage and some without a buffer.
        BYTE rgbParams[64];
        for (BYTE& b : rgbParams)
            b = static_cast<BYTE>(random.Next());
        DIENVELOPE env = {sizeof(env), random.Below(10001), random.Pick(s_rgDurations), random.Below(10001),
                          random.Pick(s_rgDurations)};
        DIEFFECT eff = {sizeof(eff)};
        eff.dwDuration = random.Pick(s_rgDurations);
        eff.dwGain = random.Below(10001);
        eff.dwStartDelay = random.Below(3) == 0 ? random.Below(100000) : 0;
        eff.lpEnvelope = random.Below(3) ? &env : nullptr;
        DWORD cbParams = random.Pick(s_rgSizes);
        eff.cbTypeSpecificParams = cbParams;
        eff.lpvTypeSpecificParams = random.Below(8) ? rgbParams : nullptr;
        DWORD dwFlags = random.Below(2) ? DIEP_ALLPARAMS : random.Next() & DIEP_ALLPARAMS;
        dwFlags |= random.Below(2) ? DIEP_START : 0;
        dwFlags |= random.Below(16) == 0 ? DIEP_NODOWNLOAD : 0;
        DWORD dwEffect = random.Below(3) ? 0 : dwHandle;
        const DWORD dwNull = random.Below(32);
        const HRESULT hr = pDriver->DownloadEffect(0, random.Below(14), dwNull == 0 ? nullptr : &dwEffect,
                                                   dwNull == 1 ? nullptr : &eff, dwFlags);
        Check(pWorker, "DownloadEffect", hr, {S_OK, E_POINTER, E_OUTOFMEMORY, DIERR_INVALIDPARAM});
        break;
    }
    case 2:
        Check(
            pWorker, "StartEffect",
            pDriver->StartEffect(0, dwHandle, random.Below(4) == 0 ? DIES_SOLO : 0, random.Pick(s_rgCounts)),
            {S_OK});
        break;
    case 3:
        Check(pWorker, "StopEffect", pDriver->StopEffect(0, dwHandle), {S_OK});
        break;
    case 4:
        Check(pWorker, "DestroyEffect", pDriver->DestroyEffect(0, dwHandle), {S_OK});
        break;
    case 5: {
        DWORD dwStatus = 0;
        Check(pWorker, "GetEffectStatus", pDriver->GetEffectStatus(0, dwHandle, &dwStatus), {S_OK});
        Check(pWorker, "GetEffectStatus", pDriver->GetEffectStatus(0, dwHandle, nullptr), {E_POINTER});
        if (dwStatus > 1) Check(pWorker, "GetEffectStatus's status", E_UNEXPECTED, {});
        break;
    }
    case 6:
        Check(pWorker, "SetGain", pDriver->SetGain(0, random.Pick(s_rgGains)), {S_OK, DI_TRUNCATED});
        break;
    case 7: {
        // Resets are rarer, so that effects pile up and play in between.
        DWORD dwCommand = random.Pick(s_rgCommands);
        if (dwCommand == DISFFC_RESET && random.Below(4)) dwCommand = DISFFC_CONTINUE;
        Check(pWorker, "SendForceFeedbackCommand", pDriver->SendForceFeedbackCommand(0, dwCommand),
              {S_OK, E_NOTIMPL});
        break;
    }
    case 8: {
        DIDEVICESTATE state = {};
        state.dwSize = random.Below(4) ? sizeof(state) : random.Below(64);
        const HRESULT hr = pDriver->GetForceFeedbackState(0, random.Below(16) ? &state : nullptr);
        Check(pWorker, "GetForceFeedbackState", hr, {S_OK, E_INVALIDARG, E_POINTER});
        if (hr == S_OK && (state.dwState & 0x740) != 0x440)
            Check(pWorker, "GetForceFeedbackState's state", E_UNEXPECTED, {});
        break;
    }
    case 9: {
        DIDRIVERVERSIONS versions = {};
        versions.dwSize = random.Below(4) ? sizeof(versions) : random.Below(64);
        Check(pWorker, "GetVersions", pDriver->GetVersions(random.Below(16) ? &versions : nullptr),
              {S_OK, E_INVALIDARG, E_POINTER});
        DIEFFESCAPE esc = {sizeof(esc)};
        Check(pWorker, "Escape", pDriver->Escape(0, dwHandle, random.Below(2) ? &esc : nullptr), {E_NOTIMPL});
        break;
    }
    case 10: {
        IUnknown* pUnknown = nullptr;
        Check(pWorker, "QueryInterface",
              pDriver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)), {S_OK});
        void* pv = nullptr;
        Check(pWorker, "QueryInterface", pDriver->QueryInterface(IID_IClassFactory, &pv), {E_NOINTERFACE});
        Check(pWorker, "QueryInterface", pDriver->QueryInterface(IID_IUnknown, nullptr), {E_POINTER});
        pUnknown->Release();
        break;
    }
    case 11:
    case 12:
        if (pWorker->pszPath && random.Below(20) == 0) {
            const DWORD dwWhat = random.Below(4);
            const HRESULT hr = dwWhat == 0   ? Unbind(pDriver)
                               : dwWhat == 1 ? pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, nullptr)
                                             : BindTo(pDriver, pWorker->pszPath);
            Check(pWorker, "DeviceID", hr, {S_OK, E_INVALIDARG});
        } else {
            Sleep(random.Below(3));
        }
        break;
    }
}

DWORD WINAPI WorkerProc(LPVOID pv)
{
    auto* pWorker = static_cast<Worker*>(pv);
    Random random(pWorker->dwSeed);
    while (GetTickCount64() < pWorker->ullUntil)
        CallSomething(pWorker, random);
    pWorker->pDriver->Release();
    return 0;
}

// Runs cWorkers workers on pDriver, each with a reference of its own, until
// ullUntil; the caller's reference stays. Returns the unexpected results.
int RunWorkers(IDirectInputEffectDriver* pDriver, LPCWSTR pszPath, int cWorkers, DWORD dwMs, DWORD dwSeed,
               std::string* pFirst)
{
    std::atomic<int> cUnexpected{0};
    std::vector<Worker> workers(static_cast<size_t>(cWorkers));
    std::vector<HANDLE> threads;
    const ULONGLONG ullUntil = GetTickCount64() + dwMs;
    for (int i = 0; i < cWorkers; ++i) {
        Worker& worker = workers[static_cast<size_t>(i)];
        pDriver->AddRef();
        worker.pDriver = pDriver;
        worker.pszPath = i == 0 ? pszPath : nullptr;
        worker.dwSeed = dwSeed + static_cast<DWORD>(i);
        worker.ullUntil = ullUntil;
        worker.pcUnexpected = &cUnexpected;
        threads.push_back(CreateThread(nullptr, 0, WorkerProc, &worker, 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE hThread : threads)
        CloseHandle(hThread);
    for (const Worker& worker : workers) {
        if (!worker.firstUnexpected.empty() && pFirst->empty()) *pFirst = worker.firstUnexpected;
        EXPECT_GT(worker.cCalls, 100u);
    }
    return cUnexpected.load();
}

// Every report well-formed; every binding's last report 00 00 00 00.
void ExpectSoundReports(const PipeController& controller)
{
    const std::vector<MotorRecord> reports = controller.Reports();
    ASSERT_FALSE(reports.empty());
    std::set<DWORD> bindings;
    for (const MotorRecord& report : reports) {
        EXPECT_TRUE(report.IsWellFormed())
            << report.cb << " bytes: " << int(report.rgb[0]) << " " << int(report.rgb[1]) << " "
            << int(report.rgb[2]) << " " << int(report.rgb[3]);
        bindings.insert(report.iConnection);
    }
    for (DWORD iBinding : bindings) {
        const MotorRecord* pLast = nullptr;
        for (const MotorRecord& report : reports) {
            if (report.iConnection == iBinding) pLast = &report;
        }
        EXPECT_EQ(0, pLast->Strength()) << "binding " << iBinding;
    }
    EXPECT_EQ(0u, controller.OpenConnections());
}

TEST(Stress, ThreadsCallingEveryOperationWhileTheThreadMixes)
{
    BoundDriver bound;
    const DWORD cThreads = ThreadCount();
    ASSERT_EQ(S_OK, bound.Bind());
    std::string first;
    EXPECT_EQ(0, RunWorkers(bound.pDriver, bound.controller.Path(), 4, 3000, 1, &first)) << first;
    EXPECT_EQ(0u, bound.Release());
    EXPECT_TRUE(WaitForThreadCount(cThreads, 5000));
    ExpectSoundReports(bound.controller);
    EXPECT_GT(bound.controller.ReportCount(), 10u);
}

// The workers of one driver, on a thread of their own. A thread routine is
// WINAPI: on x86 that is stdcall, which no lambda converts to.
struct DriverRun {
    BoundDriver* pBound;
    DWORD dwSeed;
    int cUnexpected;
    std::string first;
};

DWORD WINAPI DriverRunProc(LPVOID pv)
{
    auto* pRun = static_cast<DriverRun*>(pv);
    pRun->cUnexpected = RunWorkers(pRun->pBound->pDriver, pRun->pBound->controller.Path(), 2, 3000,
                                   pRun->dwSeed, &pRun->first);
    return 0;
}

TEST(Stress, TwoDriversOnTwoControllersAtOnce)
{
    BoundDriver first, second;
    ASSERT_EQ(S_OK, first.Bind());
    ASSERT_EQ(S_OK, second.Bind());
    DriverRun rgRuns[] = {{&first, 10, 0, {}}, {&second, 20, 0, {}}};
    HANDLE rghThreads[2];
    for (int i = 0; i < 2; ++i)
        rghThreads[i] = CreateThread(nullptr, 0, DriverRunProc, &rgRuns[i], 0, nullptr);
    WaitForMultipleObjects(2, rghThreads, TRUE, INFINITE);
    CloseHandle(rghThreads[0]);
    CloseHandle(rghThreads[1]);
    EXPECT_EQ(0, rgRuns[0].cUnexpected) << rgRuns[0].first;
    EXPECT_EQ(0, rgRuns[1].cUnexpected) << rgRuns[1].first;
    EXPECT_EQ(0u, first.Release());
    EXPECT_EQ(0u, second.Release());
    ExpectSoundReports(first.controller);
    ExpectSoundReports(second.controller);
}

TEST(Stress, FinalReleaseWhileEffectsPlayOnWhicheverThreadIsLast)
{
    for (DWORD i = 0; i < 25; ++i) {
        BoundDriver bound;
        ASSERT_EQ(S_OK, bound.Bind());
        DownloadConstant(bound.pDriver, 3000, DIEP_START);
        DownloadPeriodic(bound.pDriver, 3, 100000, DIEP_START);
        DownloadPeriodic(bound.pDriver, 2, 40000, DIEP_START);
        DownloadPeriodic(bound.pDriver, 6, 70000, DIEP_START);
        Sleep(i % 7);
        // The workers hold their own references: the last of them, or this
        // thread, makes the final Release while the effects still play.
        IDirectInputEffectDriver* pDriver = bound.pDriver;
        bound.pDriver = nullptr;
        std::atomic<int> cUnexpected{0};
        Worker worker;
        worker.pDriver = pDriver;
        worker.dwSeed = 100 + i;
        worker.ullUntil = GetTickCount64() + 20 + i % 5;
        worker.pcUnexpected = &cUnexpected;
        pDriver->AddRef();
        HANDLE hThread = CreateThread(nullptr, 0, WorkerProc, &worker, 0, nullptr);
        Sleep(i % 3 * 10);
        pDriver->Release();
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        EXPECT_EQ(0, cUnexpected.load()) << worker.firstUnexpected;
        EXPECT_TRUE(bound.controller.WaitForNoConnection(5000));
        ExpectSoundReports(bound.controller);
    }
}

// A host may free the library as soon as its last driver is released,
// while that driver's Rumble Thread still runs its last lines: the thread's
// own reference keeps the library mapped until it has left them, and is
// given up with the thread, so the library then unloads.
TEST(Stress, FreeLibraryRightAfterTheFinalRelease)
{
    // A copy is a library of its own, loaded and freed only here.
    WCHAR szTemp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, szTemp));
    const std::wstring copy =
        std::wstring(szTemp) + L"brasquet-unload-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
    ASSERT_TRUE(CopyFileW(DefaultDriverPath().c_str(), copy.c_str(), FALSE));
    for (int i = 0; i < 20; ++i) {
        PipeController controller;
        ASSERT_TRUE(controller.Start());
        {
            DriverLoader loader(false, copy);
            ASSERT_EQ(S_OK, loader.Load());
            IDirectInputEffectDriver* pDriver = nullptr;
            ASSERT_EQ(S_OK, loader.Create(&pDriver));
            ASSERT_EQ(S_OK, BindTo(pDriver, controller.Path()));
            DownloadPeriodic(pDriver, 3, 100000, DIEP_START);
            ASSERT_TRUE(controller.WaitForReports(2, 5000));
            pDriver->Release();
        } // the loader frees the library
        EXPECT_TRUE(controller.WaitForNoConnection(5000));
        EXPECT_EQ(0, controller.Reports().back().Strength());
        const ULONGLONG ullEnd = GetTickCount64() + 5000;
        while (GetModuleHandleW(copy.c_str()) && GetTickCount64() < ullEnd)
            Sleep(10);
        EXPECT_EQ(nullptr, GetModuleHandleW(copy.c_str())) << "round " << i;
    }
    DeleteFileW(copy.c_str());
}

} // namespace
