// Motor Reports on their way to a controller opened for overlapped I/O. A
// device that stops taking writes (a wireless controller out of range, a
// USB device that refuses output transfers) must not hold the Rumble Thread,
// and with it the end of the binding and the game; one that takes them
// slowly must not keep the thread from mixing, nor hold back the strength
// that follows. So one write at a time is in flight while the thread goes on
// with its cycles, each write is cancelled when its time runs out, and the
// strength the motors should have is written as soon as the device is free.
#pragma once

#include "ffdriver/driver_platform.h"

// Long enough for a report over a congested wireless link, short enough
// that the end of a binding stays well within a quarter of a second: the
// write in flight is cancelled at once, and the last report is bounded by
// this and by the wait for its cancellation.
constexpr DWORD MOTOR_WRITE_LIMIT_MS = 50;

// How long a cancelled write is given to end. A driver that honours the
// cancellation ends the write at once; one that ignores it keeps it for as
// long as it likes, and waiting longer would not change its mind.
constexpr DWORD MOTOR_CANCEL_LIMIT_MS = 25;

// A strength the device did not take is written again this long after the
// write that carried it began, unless the mix changes first: a controller
// back in range takes up the current strength at once, and one that refuses
// every write is asked only now and then.
constexpr DWORD MOTOR_RETRY_MS = 50;

// The longest output report taken; longer ones belong to no rumble device.
constexpr DWORD MOTOR_REPORT_MAX = 4096;

// The writes that not even their cancellation ended, whose blocks the
// system may still use: they are never freed nor reused until the system
// says it is done with them. Past this many a binding writes no more but
// for its last report, which always has a block of its own.
constexpr DWORD MOTOR_STRANDED_MAX = 8;

class MotorWriter {
public:
    // cbReport: the device's output report length, 4 or more; the Motor
    // Report is padded with zeros to it.
    MotorWriter(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport);
    ~MotorWriter();
    MotorWriter(const MotorWriter&) = delete;
    MotorWriter& operator=(const MotorWriter&) = delete;

    // The strength the motors should have from now on: written at the next
    // Pump unless a write is in flight, then as soon as it has ended. A
    // strength not yet written gives way to the newer one.
    void Post(BYTE bStrength);

    // Ends the write in flight if the device completed it, cancels it when
    // its time has run out and leaves it to the system when not even the
    // cancellation ended it; then writes the strength owed, if any and the
    // device is free. Never waits. Returns when to call again, in
    // milliseconds from now: 0 while a write is in flight, the time until a
    // refused strength is written again, or INFINITE when the device has
    // taken the last strength posted.
    DWORD Pump();

    // Writes 00 00 s s as the binding's last report, after the write in
    // flight, which is cancelled: this report supersedes it. Waits for the
    // cancellation at most MOTOR_CANCEL_LIMIT_MS, for the report at most
    // MOTOR_WRITE_LIMIT_MS and then for its own cancellation. False when
    // the device did not take it.
    bool WriteLast(BYTE bStrength);

private:
    // The OVERLAPPED, with an event of the block's own, and the report's
    // bytes, which the system uses until the write has ended.
    struct Block {
        bool fStranded; // its write did not end: the system may still own it
        OVERLAPPED ov;
        BYTE rgbReport[1];
    };

    LONGLONG Now() const;
    // The system is done with the block: its write completed and signalled.
    bool Ended(Block* pBlock) const;
    // A block the system does not own, or null when the binding has
    // stranded its share of them. fLast: the one beyond the share.
    Block* TakeBlock(bool fLast);
    // Starts a write of bStrength: TRUE once done, FALSE when the device
    // refused it, or pending (the block is then in flight).
    enum class Start { DONE, REFUSED, PENDING };
    Start StartWrite(Block* pBlock, BYTE bStrength);
    // The write in flight ended: taken, or owed again.
    void EndInFlight(bool fTaken);
    // Waits for the block's write at most dwMs; true once it has ended.
    bool WaitForEnd(Block* pBlock, DWORD dwMs) const;

    const DriverPlatform& platform_;
    HANDLE hDevice_;
    DWORD cbReport_;
    LONGLONG llFrequency_;

    Block* rgpBlocks_[MOTOR_STRANDED_MAX + 1] = {};
    DWORD cBlocks_ = 0;
    DWORD cStranded_ = 0;

    Block* pInFlight_ = nullptr;
    BYTE bInFlight_ = 0;
    LONGLONG llStarted_ = 0; // performance counter, as the write in flight began
    bool fCancelled_ = false;
    LONGLONG llCancelled_ = 0; // and as it was cancelled

    bool fOwed_ = false; // bOwed_ is yet to be written
    BYTE bOwed_ = 0;
    LONGLONG llRetry_ = 0; // not to be written before
};

// One all-zero Motor Report, outside the Rumble Thread: for a binding whose
// thread was ended before its last report, and for the stop at process exit.
bool WriteStopReport(const DriverPlatform& platform, HANDLE hDevice, DWORD cbReport);
