#include "benchmark.h"

#include "device_controller.h"
#include "effect_downloads.h"
#include "pipe_controller.h"

#include <algorithm>
#include <vector>

namespace {

struct Bound {
    PipeController controller;
    IDirectInputEffectDriver* pDriver = nullptr;
};

// A fresh Effect Driver bound to its own controller, its first report seen.
bool Bind(DriverLoader* pLoader, Bound* pBound, FILE* pFile)
{
    if (!pBound->controller.Start()) {
        fprintf(pFile, "cannot create the controller pipe (error %lu)\n", GetLastError());
        return false;
    }
    HRESULT hr = pLoader->Create(&pBound->pDriver);
    if (FAILED(hr)) {
        fprintf(pFile, "cannot create an Effect Driver: %s\n", HresultName(hr).c_str());
        return false;
    }
    std::wstring path = pBound->controller.Path();
    DIHIDFFINITINFO init = {sizeof(init)};
    init.pwszDeviceInterface = path.data();
    hr = pBound->pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init);
    if (FAILED(hr) || !pBound->controller.WaitForReports(1, 2000)) {
        fprintf(pFile, "DeviceID failed: %s\n", HresultName(hr).c_str());
        pBound->pDriver->Release();
        pBound->pDriver = nullptr;
        return false;
    }
    return true;
}

double Percentile(std::vector<double> values, double dPercent)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least dPercent of all at or below it.
    size_t iRank = static_cast<size_t>(dPercent / 100.0 * static_cast<double>(values.size()) + 0.999999);
    iRank = std::clamp<size_t>(iRank, 1, values.size());
    return values[iRank - 1];
}

ULONGLONG ProcessCpu100ns()
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    GetProcessTimes(GetCurrentProcess(), &ftCreation, &ftExit, &ftKernel, &ftUser);
    auto value = [](const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; };
    return value(ftKernel) + value(ftUser);
}

// StartEffect returning -> the first report that carries the effect.
bool MeasureStartLatency(DriverLoader* pLoader, int cStarts, FILE* pFile)
{
    Bound bound;
    if (!Bind(pLoader, &bound, pFile)) return false;
    IDirectInputEffectDriver* pDriver = bound.pDriver;
    const DWORD dwHandle = DownloadConstant(pDriver, 5000); // strength 127 alone
    std::vector<double> latencies;
    bool fOk = true;
    for (int i = 0; i < cStarts && fOk; ++i) {
        const size_t iNext = bound.controller.ReportCount();
        pDriver->StartEffect(0, dwHandle, 0, 1);
        const LONGLONG llReturned = PipeController::Now();
        size_t iFound = 0;
        fOk = bound.controller.WaitForStrength(127, iNext, 1000, &iFound);
        if (fOk) {
            const double dMs =
                PipeController::Milliseconds(llReturned, bound.controller.Reports()[iFound].llTime);
            latencies.push_back(std::max(0.0, dMs));
        }
        pDriver->StopEffect(0, dwHandle);
        fOk = fOk && bound.controller.WaitForStrength(0, iFound + 1, 1000);
        // Vary how long after the thread's last pass the next start comes.
        Sleep(static_cast<DWORD>(i % 3));
    }
    pDriver->Release();
    if (!fOk) {
        fprintf(pFile, "start latency: a report did not arrive\n");
        return false;
    }
    fprintf(pFile,
            "start latency over %d starts: median %.3f ms, p99 %.3f ms, max %.3f ms (target p99 <= 5 ms)\n",
            cStarts, Percentile(latencies, 50), Percentile(latencies, 99), Percentile(latencies, 100));
    return true;
}

// The same at the controller: StartEffect returning -> the report's arrival
// at the device, as its driver timed it (the same performance counter).
bool MeasureDeviceStartLatency(DriverLoader* pLoader, VC_CONTROLLER_ID id, int cStarts, FILE* pFile)
{
    DeviceController device(id);
    if (!device.Start()) {
        fprintf(pFile, "no controller %04X:%04X is plugged in\n", id.wVendorID, id.wProductID);
        return false;
    }
    IDirectInputEffectDriver* pDriver = nullptr;
    HRESULT hr = pLoader->Create(&pDriver);
    if (FAILED(hr)) {
        fprintf(pFile, "cannot create an Effect Driver: %s\n", HresultName(hr).c_str());
        return false;
    }
    std::wstring path = device.Path();
    DIHIDFFINITINFO init = {sizeof(init)};
    init.pwszDeviceInterface = path.data();
    const LONGLONG llBind = PipeController::Now();
    hr = pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init);
    size_t iFound = 0;
    LONGLONG llArrival = 0;
    if (FAILED(hr) || !device.WaitForStrength(0, 0, 2000, &iFound, &llArrival)) {
        fprintf(pFile, "DeviceID to the controller failed: %s\n", HresultName(hr).c_str());
        pDriver->Release();
        return false;
    }
    fprintf(pFile, "binding at the device: first report %.3f ms after DeviceID was called\n",
            PipeController::Milliseconds(llBind, llArrival));
    const DWORD dwHandle = DownloadConstant(pDriver, 5000); // strength 127 alone
    std::vector<double> latencies;
    bool fOk = true;
    size_t iNext = iFound + 1;
    for (int i = 0; i < cStarts && fOk; ++i) {
        pDriver->StartEffect(0, dwHandle, 0, 1);
        const LONGLONG llReturned = PipeController::Now();
        fOk = device.WaitForStrength(127, iNext, 1000, &iFound, &llArrival);
        if (fOk) latencies.push_back(std::max(0.0, PipeController::Milliseconds(llReturned, llArrival)));
        pDriver->StopEffect(0, dwHandle);
        fOk = fOk && device.WaitForStrength(0, iFound + 1, 1000, &iNext, &llArrival);
        ++iNext;
        Sleep(static_cast<DWORD>(i % 3));
    }
    pDriver->Release();
    if (!fOk) {
        fprintf(pFile, "start latency at the device: a report did not arrive\n");
        return false;
    }
    fprintf(
        pFile,
        "start latency at the device %04X:%04X over %d starts: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
        id.wVendorID, id.wProductID, cStarts, Percentile(latencies, 50), Percentile(latencies, 99),
        Percentile(latencies, 100));
    return true;
}

// CPU time of the whole host process while one bound Effect Driver idles;
// the host's own threads wait without spinning meanwhile.
bool MeasureIdleCpu(DriverLoader* pLoader, DWORD dwSeconds, FILE* pFile)
{
    Bound bound;
    if (!Bind(pLoader, &bound, pFile)) return false;
    Sleep(100);
    const ULONGLONG ullCpuBefore = ProcessCpu100ns();
    const LONGLONG llBefore = PipeController::Now();
    Sleep(dwSeconds * 1000);
    const ULONGLONG ullCpuAfter = ProcessCpu100ns();
    const double dWallMs = PipeController::Milliseconds(llBefore, PipeController::Now());
    const size_t cReports = bound.controller.ReportCount();
    bound.pDriver->Release();
    const double dCpuMs = static_cast<double>(ullCpuAfter - ullCpuBefore) / 10000.0;
    fprintf(pFile,
            "idle CPU over %.1f s: %.1f ms, %.3f%% of one core (target <= 1%%); %zu report(s) while idle\n",
            dWallMs / 1000.0, dCpuMs, 100.0 * dCpuMs / dWallMs, cReports);
    return true;
}

// The cycle while one effect plays: a sine of period 250 ms at full
// magnitude changes the mix on nearly every pass, so the reports show each
// pass of the Rumble Thread. CPU time is that of the whole host process, the
// controller's reading of every report included.
bool MeasurePlaying(DriverLoader* pLoader, DWORD dwSeconds, FILE* pFile)
{
    Bound bound;
    if (!Bind(pLoader, &bound, pFile)) return false;
    DownloadPeriodic(bound.pDriver, 3, 250000, DIEP_START); // sine
    Sleep(100);
    const size_t iFirst = bound.controller.ReportCount();
    const ULONGLONG ullCpuBefore = ProcessCpu100ns();
    const LONGLONG llBefore = PipeController::Now();
    Sleep(dwSeconds * 1000);
    const ULONGLONG ullCpuAfter = ProcessCpu100ns();
    const LONGLONG llAfter = PipeController::Now();
    const std::vector<MotorRecord> reports = bound.controller.Reports();
    bound.pDriver->Release();
    std::vector<double> spacings;
    size_t cReports = 0;
    for (size_t i = iFirst; i < reports.size() && reports[i].llTime <= llAfter; ++i) {
        ++cReports;
        if (i > iFirst)
            spacings.push_back(PipeController::Milliseconds(reports[i - 1].llTime, reports[i].llTime));
    }
    if (spacings.empty()) {
        fprintf(pFile, "while a sine plays: no reports\n");
        return false;
    }
    const double dWallMs = PipeController::Milliseconds(llBefore, llAfter);
    const double dCpuMs = static_cast<double>(ullCpuAfter - ullCpuBefore) / 10000.0;
    fprintf(pFile,
            "while a sine of period 250 ms plays, over %.1f s: %.1f reports per second; spacing median "
            "%.3f ms, p99 %.3f ms, max %.3f ms; CPU %.1f ms, %.3f%% of one core\n",
            dWallMs / 1000.0, 1000.0 * static_cast<double>(cReports) / dWallMs, Percentile(spacings, 50),
            Percentile(spacings, 99), Percentile(spacings, 100), dCpuMs, 100.0 * dCpuMs / dWallMs);
    return true;
}

// The same while a constant force of 10000 plays: its sum cannot change, so
// the Rumble Thread waits for a call instead of cycling.
bool MeasureConstant(DriverLoader* pLoader, DWORD dwSeconds, FILE* pFile)
{
    Bound bound;
    if (!Bind(pLoader, &bound, pFile)) return false;
    DownloadConstant(bound.pDriver, 10000, DIEP_START);
    if (!bound.controller.WaitForStrength(255, 0, 1000)) {
        fprintf(pFile, "while a constant force plays: no report\n");
        bound.pDriver->Release();
        return false;
    }
    const size_t iFirst = bound.controller.ReportCount();
    const ULONGLONG ullCpuBefore = ProcessCpu100ns();
    const LONGLONG llBefore = PipeController::Now();
    Sleep(dwSeconds * 1000);
    const ULONGLONG ullCpuAfter = ProcessCpu100ns();
    const double dWallMs = PipeController::Milliseconds(llBefore, PipeController::Now());
    const size_t cReports = bound.controller.ReportCount() - iFirst;
    bound.pDriver->Release();
    const double dCpuMs = static_cast<double>(ullCpuAfter - ullCpuBefore) / 10000.0;
    fprintf(pFile,
            "while a constant force plays, over %.1f s: %zu report(s); CPU %.1f ms, %.3f%% of one core\n",
            dWallMs / 1000.0, cReports, dCpuMs, 100.0 * dCpuMs / dWallMs);
    return true;
}

// The same measurement with no driver at all, just a thread that sleeps 2 ms
// in a loop: the floor that any 2 ms cycle costs on this system.
DWORD WINAPI SleepLoopThreadProc(LPVOID pv)
{
    const auto* pfStop = static_cast<const volatile LONG*>(pv);
    while (!*pfStop)
        Sleep(2);
    return 0;
}

void MeasureSleepFloor(DWORD dwSeconds, FILE* pFile)
{
    volatile LONG fStop = 0;
    HANDLE hThread = CreateThread(nullptr, 0, SleepLoopThreadProc, const_cast<LONG*>(&fStop), 0, nullptr);
    if (!hThread) return;
    Sleep(100);
    const ULONGLONG ullCpuBefore = ProcessCpu100ns();
    const LONGLONG llBefore = PipeController::Now();
    Sleep(dwSeconds * 1000);
    const ULONGLONG ullCpuAfter = ProcessCpu100ns();
    const double dWallMs = PipeController::Milliseconds(llBefore, PipeController::Now());
    fStop = 1;
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    const double dCpuMs = static_cast<double>(ullCpuAfter - ullCpuBefore) / 10000.0;
    fprintf(pFile, "  for comparison, a bare Sleep(2) loop over %.1f s: %.1f ms, %.3f%% of one core\n",
            dWallMs / 1000.0, dCpuMs, 100.0 * dCpuMs / dWallMs);
}

// The final Release of an Effect Driver whose effects are playing.
bool MeasureRelease(DriverLoader* pLoader, int cReleases, FILE* pFile)
{
    std::vector<double> durations;
    int cNotZero = 0;
    for (int i = 0; i < cReleases; ++i) {
        Bound bound;
        if (!Bind(pLoader, &bound, pFile)) return false;
        DownloadConstant(bound.pDriver, 3000, DIEP_START);
        DownloadPeriodic(bound.pDriver, 3, 100000, DIEP_START); // sine
        DownloadPeriodic(bound.pDriver, 2, 50000, DIEP_START);  // square
        DownloadPeriodic(bound.pDriver, 5, 70000, DIEP_START);  // sawtooth up
        Sleep(50 + static_cast<DWORD>(i % 5));
        const LONGLONG llBefore = PipeController::Now();
        bound.pDriver->Release();
        durations.push_back(PipeController::Milliseconds(llBefore, PipeController::Now()));
        bound.controller.WaitForNoConnection(1000);
        const std::vector<MotorRecord> reports = bound.controller.Reports();
        if (reports.empty() || reports.back().Strength() != 0) ++cNotZero;
    }
    fprintf(pFile,
            "final Release while 4 effects play, %d times: median %.3f ms, p90 %.3f ms, max %.3f ms "
            "(target <= 10 ms); %d ended without a zero report\n",
            cReleases, Percentile(durations, 50), Percentile(durations, 90), Percentile(durations, 100),
            cNotZero);
    return cNotZero == 0;
}

// The final Release while a sine plays to a controller that has stopped
// reading: every write waits until its limit.
bool MeasureStalledRelease(DriverLoader* pLoader, int cReleases, FILE* pFile)
{
    std::vector<double> durations;
    for (int i = 0; i < cReleases; ++i) {
        Bound bound;
        if (!Bind(pLoader, &bound, pFile)) return false;
        DownloadPeriodic(bound.pDriver, 3, 250000, DIEP_START); // sine
        bound.controller.WaitForReports(3, 1000);
        bound.controller.StopReading();
        Sleep(100); // the pipe's buffer fills, then every write waits
        const LONGLONG llBefore = PipeController::Now();
        bound.pDriver->Release();
        durations.push_back(PipeController::Milliseconds(llBefore, PipeController::Now()));
    }
    fprintf(pFile,
            "final Release with a controller that stopped reading, %d times: median %.3f ms, max %.3f ms "
            "(bound by design at 250 ms)\n",
            cReleases, Percentile(durations, 50), Percentile(durations, 100));
    return true;
}

} // namespace

int RunBenchmarks(DriverLoader* pLoader, const BenchmarkOptions& options, FILE* pFile)
{
    bool fOk = true;
    const std::wstring path = pLoader->Path();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path.empty() && GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        fprintf(pFile, "size of the driver DLL: %lu bytes\n", data.nFileSizeLow);
    else
        fprintf(pFile, "size of the driver DLL: unknown (no path)\n");
    fflush(pFile);
    if (options.fDevice)
        return MeasureDeviceStartLatency(pLoader, options.device, options.cStarts, pFile) ? 0 : 1;
    if (options.cStarts > 0) fOk &= MeasureStartLatency(pLoader, options.cStarts, pFile);
    fflush(pFile);
    if (options.cReleases > 0) fOk &= MeasureRelease(pLoader, options.cReleases, pFile);
    fflush(pFile);
    if (options.cReleases > 0) fOk &= MeasureStalledRelease(pLoader, options.cReleases, pFile);
    fflush(pFile);
    if (options.dwPlaySeconds > 0) fOk &= MeasurePlaying(pLoader, options.dwPlaySeconds, pFile);
    fflush(pFile);
    if (options.dwPlaySeconds > 0) fOk &= MeasureConstant(pLoader, options.dwPlaySeconds, pFile);
    fflush(pFile);
    if (options.dwIdleSeconds > 0) {
        fOk &= MeasureIdleCpu(pLoader, options.dwIdleSeconds, pFile);
        fflush(pFile);
        MeasureSleepFloor(options.dwIdleSeconds, pFile);
        fflush(pFile);
    }
    return fOk ? 0 : 1;
}
