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
    LARGE_INTEGER liFrequency;
    platform_.QueryPerformanceFrequency(&liFrequency);
    llFrequency_ = liFrequency.QuadPart > 0 ? liFrequency.QuadPart : 1000;
}

MotorWriter::~MotorWriter()
{
    for (DWORD i = 0; i < cBlocks_; ++i) {
        Block* pBlock = rgpBlocks_[i];
        // The system may still write the result into the block and signal
        // its event, whose handle could by then name another object: both
        // are left to it.
        if ((pBlock->fStranded || pBlock == pInFlight_) && !Ended(pBlock)) continue;
        CloseHandle(pBlock->ov.hEvent);
        HeapFree(GetProcessHeap(), 0, pBlock);
    }
}

LONGLONG MotorWriter::Now() const
{
    LARGE_INTEGER li;
    platform_.QueryPerformanceCounter(&li);
    return li.QuadPart;
}

bool MotorWriter::Ended(Block* pBlock) const
{
    // The result is written before the event is set; both must be seen
    // before the block is the writer's again, or a late signal would end
    // the next write on it too early.
    return HasOverlappedIoCompleted(&pBlock->ov) &&
           platform_.WaitForSingleObject(pBlock->ov.hEvent, 0) == WAIT_OBJECT_0;
}

MotorWriter::Block* MotorWriter::TakeBlock(bool fLast)
{
    if (cbReport_ > MOTOR_REPORT_MAX) return nullptr;
    for (DWORD i = 0; i < cBlocks_; ++i) {
        if (!rgpBlocks_[i]->fStranded && rgpBlocks_[i] != pInFlight_) return rgpBlocks_[i];
    }
    for (DWORD i = 0; i < cBlocks_; ++i) {
        Block* pBlock = rgpBlocks_[i];
        if (pBlock->fStranded && Ended(pBlock)) {
            pBlock->fStranded = false;
            --cStranded_;
            return pBlock;
        }
    }
    if ((cStranded_ >= MOTOR_STRANDED_MAX && !fLast) || cBlocks_ == ARRAYSIZE(rgpBlocks_)) return nullptr;
    auto* pBlock = static_cast<Block*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, offsetof(Block, rgbReport) + cbReport_));
    if (!pBlock) return nullptr;
    // Manual-reset: it stays set once the write has ended, for Ended to see.
    pBlock->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!pBlock->ov.hEvent) {
        HeapFree(GetProcessHeap(), 0, pBlock);
        return nullptr;
    }
    rgpBlocks_[cBlocks_++] = pBlock;
    return pBlock;
}

MotorWriter::Start MotorWriter::StartWrite(Block* pBlock, BYTE bStrength)
{
    const HANDLE hEvent = pBlock->ov.hEvent;
    memset(&pBlock->ov, 0, sizeof(pBlock->ov));
    pBlock->ov.hEvent = hEvent;
    ResetEvent(hEvent);
    const MotorReport report = MakeMotorReport(bStrength);
    memset(pBlock->rgbReport, 0, cbReport_);
    memcpy(pBlock->rgbReport, &report, sizeof(report));
    if (platform_.WriteFile(hDevice_, pBlock->rgbReport, cbReport_, nullptr, &pBlock->ov)) return Start::DONE;
    // Unplugged, or not a device at all: the system took nothing, and the
    // block is free at once.
    return GetLastError() == ERROR_IO_PENDING ? Start::PENDING : Start::REFUSED;
}

void MotorWriter::EndInFlight(bool fTaken)
{
    // A newer strength, if one was posted meanwhile, is written instead.
    if (!fTaken && !fOwed_) {
        fOwed_ = true;
        bOwed_ = bInFlight_;
        llRetry_ = llStarted_ + llFrequency_ * MOTOR_RETRY_MS / 1000;
    }
    pInFlight_ = nullptr;
}

bool MotorWriter::WaitForEnd(Block* pBlock, DWORD dwMs) const
{
    return platform_.WaitForSingleObject(pBlock->ov.hEvent, dwMs) == WAIT_OBJECT_0 &&
           HasOverlappedIoCompleted(&pBlock->ov);
}

void MotorWriter::Post(BYTE bStrength)
{
    fOwed_ = true;
    bOwed_ = bStrength;
    llRetry_ = 0;
}

DWORD MotorWriter::Pump()
{
    const LONGLONG llNow = Now();
    if (pInFlight_) {
        bool fEnded = Ended(pInFlight_);
        if (!fEnded && !fCancelled_ && llNow - llStarted_ >= llFrequency_ * MOTOR_WRITE_LIMIT_MS / 1000) {
            platform_.CancelIoEx(hDevice_, &pInFlight_->ov);
            fCancelled_ = true;
            llCancelled_ = llNow;
            // A driver that honours the cancellation often ends the write
            // within the call.
            fEnded = Ended(pInFlight_);
        }
        if (fEnded) {
            DWORD cbWritten = 0;
            EndInFlight(GetOverlappedResult(hDevice_, &pInFlight_->ov, &cbWritten, FALSE) != FALSE);
        } else if (fCancelled_ && llNow - llCancelled_ >= llFrequency_ * MOTOR_CANCEL_LIMIT_MS / 1000) {
            // The driver ignores the cancellation: the block is its own for
            // as long as it likes, and the next write takes another.
            pInFlight_->fStranded = true;
            ++cStranded_;
            EndInFlight(false);
        } else {
            return 0;
        }
    }
    if (!fOwed_) return INFINITE;
    if (llNow < llRetry_)
        return static_cast<DWORD>(((llRetry_ - llNow) * 1000 + llFrequency_ - 1) / llFrequency_);

    Block* pBlock = TakeBlock(false);
    const Start start = pBlock ? StartWrite(pBlock, bOwed_) : Start::REFUSED;
    if (start == Start::PENDING) {
        pInFlight_ = pBlock;
        bInFlight_ = bOwed_;
        llStarted_ = llNow;
        fCancelled_ = false;
        fOwed_ = false;
        return 0;
    }
    if (start == Start::DONE) {
        fOwed_ = false;
        return INFINITE;
    }
    llRetry_ = llNow + llFrequency_ * MOTOR_RETRY_MS / 1000;
    return MOTOR_RETRY_MS;
}

bool MotorWriter::WriteLast(BYTE bStrength)
{
    fOwed_ = false;
    if (pInFlight_) {
        if (!Ended(pInFlight_)) {
            platform_.CancelIoEx(hDevice_, &pInFlight_->ov);
            if (!WaitForEnd(pInFlight_, MOTOR_CANCEL_LIMIT_MS)) {
                pInFlight_->fStranded = true;
                ++cStranded_;
            }
        }
        pInFlight_ = nullptr;
    }
    Block* pBlock = TakeBlock(true);
    if (!pBlock) return false;
    const Start start = StartWrite(pBlock, bStrength);
    if (start != Start::PENDING) return start == Start::DONE;
    if (!WaitForEnd(pBlock, MOTOR_WRITE_LIMIT_MS)) {
        platform_.CancelIoEx(hDevice_, &pBlock->ov);
        if (!WaitForEnd(pBlock, MOTOR_CANCEL_LIMIT_MS)) {
            pBlock->fStranded = true;
            ++cStranded_;
            return false;
        }
    }
    DWORD cbWritten = 0;
    return GetOverlappedResult(hDevice_, &pBlock->ov, &cbWritten, FALSE) != FALSE;
}

bool WriteStopReport(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport)
{
    MotorWriter writer(platform, hDevice, cbReport);
    return writer.WriteLast(0);
}
