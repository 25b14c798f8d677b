#include "device_controller.h"

bool DeviceController::Start()
{
    if (!vcontroller::FindControllerPath(id_, &path_)) return false;
    vcontroller::ReportLog log;
    if (vcontroller::GetReports(id_, &log, 0, 0) != ERROR_SUCCESS) return false;
    iFirst_ = log.cReports;
    return true;
}

std::vector<MotorRecord> DeviceController::ReportsFrom(size_t iFrom, ULONG cMax) const
{
    // The output reports are the driver's; a feature report comes from
    // another program (a Reload Request) and is left out.
    vcontroller::ReportLog log;
    std::vector<MotorRecord> reports;
    if (vcontroller::GetReports(id_, &log, iFirst_ + static_cast<ULONG>(iFrom), cMax) != ERROR_SUCCESS)
        return reports;
    for (const VC_REPORT_ENTRY& entry : log.entries) {
        if (entry.kind != VC_REPORT_OUTPUT) continue;
        MotorRecord record = {};
        record.llTime = entry.llTime;
        record.iConnection = 1;
        record.cb = entry.cbReport;
        for (UCHAR i = 0; i < entry.cbReport && i < sizeof(record.rgb); ++i)
            record.rgb[i] = entry.rgbReport[i];
        reports.push_back(record);
    }
    return reports;
}

std::vector<MotorRecord> DeviceController::Reports() const
{
    return ReportsFrom(0, VC_MAX_LOGGED_REPORTS);
}

size_t DeviceController::ReportCount() const
{
    vcontroller::ReportLog log;
    if (vcontroller::GetReports(id_, &log, 0, 0) != ERROR_SUCCESS) return 0;
    return log.cReports - iFirst_;
}

bool DeviceController::WaitForStrength(BYTE bStrength, size_t iFrom, DWORD dwTimeoutMs, size_t* piFound,
                                       LONGLONG* pllTime) const
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        const std::vector<MotorRecord> reports = ReportsFrom(iFrom, 64);
        for (size_t i = 0; i < reports.size(); ++i) {
            if (reports[i].Strength() == bStrength) {
                *piFound = iFrom + i;
                *pllTime = reports[i].llTime;
                return true;
            }
        }
        if (GetTickCount64() >= ullEnd) return false;
        // Each look is a request to the controller's driver: the wait is
        // part of what the figure measures, so it is short.
        SwitchToThread();
    }
}

void DeviceController::WaitForQuiet(DWORD dwQuietMs, DWORD dwTimeoutMs) const
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    size_t cLast = ReportCount();
    ULONGLONG ullChanged = GetTickCount64();
    while (GetTickCount64() < ullEnd && GetTickCount64() - ullChanged < dwQuietMs) {
        Sleep(10);
        const size_t c = ReportCount();
        if (c != cLast) {
            cLast = c;
            ullChanged = GetTickCount64();
        }
    }
}
