#include "ffdriver/motor_writer.h"

#include "common/device_contract.h"

#include <cstddef>
#include <cstring>

const DriverPlatform& SystemPlatform()
{
    static const DriverPlatform s_platform;
    return s_platform;
}

MotorWriter::MotorWriter(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport)
    : platform_(platform), hDevice_(hDevice),
      cbReport_(cbReport < MOTOR_REPORT_SIZE ? MOTOR_REPORT_SIZE : cbReport)
{
    if (cbReport_ > MOTOR_REPORT_MAX) return;
    pBlock_ = static_cast<Block*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, offsetof(Block, rgbReport) + cbReport_));
    // Without an event of its own the write waits on the device handle,
    // which the system signals when an I/O on it completes.
    hEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

MotorWriter::~MotorWriter()
{
    if (pBlock_) HeapFree(GetProcessHeap(), 0, pBlock_);
    if (hEvent_) CloseHandle(hEvent_);
}

bool MotorWriter::Write(BYTE bStrength)
{
    if (!pBlock_) return false;
    const MotorReport report = MakeMotorReport(bStrength);
    memset(pBlock_, 0, offsetof(Block, rgbReport) + cbReport_);
    memcpy(pBlock_->rgbReport, &report, sizeof(report));
    pBlock_->ov.hEvent = hEvent_;
    if (platform_.WriteFile(hDevice_, pBlock_->rgbReport, cbReport_, nullptr, &pBlock_->ov)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false; // unplugged, or not a device at all
    const HANDLE hDone = hEvent_ ? hEvent_ : hDevice_;
    DWORD cbWritten = 0;
    if (WaitForSingleObject(hDone, MOTOR_WRITE_LIMIT_MS) == WAIT_OBJECT_0)
        return GetOverlappedResult(hDevice_, &pBlock_->ov, &cbWritten, FALSE) != FALSE;
    CancelIoEx(hDevice_, &pBlock_->ov);
    // The cancellation completes the write, usually at once. A driver that
    // ignores it leaves its I/O with the block: it is never freed nor used
    // again, and every later write fails at once.
    if (WaitForSingleObject(hDone, MOTOR_WRITE_LIMIT_MS) != WAIT_OBJECT_0) {
        pBlock_ = nullptr;
        hEvent_ = nullptr;
    }
    return false;
}

bool WriteStopReport(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport)
{
    MotorWriter writer(platform, hDevice, cbReport);
    return writer.Write(0);
}
