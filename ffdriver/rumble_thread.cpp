// The Rumble Thread, the only code that talks to the controller. Every cycle
// it mixes the playing effects under the process-wide lock, then, outside the
// lock, writes one Motor Report when the sum of contributions changed, and
// sleeps 2 ms; while nothing can sound until a call changes the mix, it waits
// for that call instead. Its last act is an all-zero report, which stops both
// motors.
#include "ffdriver/effect_driver_object.h"

#include "common/device_contract.h"

#include <cstdint>

namespace {

void WriteMotorReport(HANDLE hDevice, BYTE bStrength)
{
    const MotorReport report = MakeMotorReport(bStrength);
    DWORD cbWritten = 0;
    // A failed write (the controller was unplugged) is not retried: the next
    // change of the mix sends a fresh report anyway.
    WriteFile(hDevice, &report, sizeof(report), &cbWritten, nullptr);
}

} // namespace

DWORD WINAPI RumbleThreadProc(LPVOID pvDriver)
{
    auto* pDriver = static_cast<EffectDriverObject*>(pvDriver);
    // No sum of contributions takes this value, so the first pass reports.
    std::uint64_t ullPreviousSum = UINT64_MAX;
    while (!pDriver->fShutdown.load()) {
        const MixResult mix = pDriver->core.MixingPass();
        // The sums are compared, not the strengths: a change of the device
        // gain alone reaches the motors with the next change of the mix.
        if (mix.ullSum != ullPreviousSum)
            WriteMotorReport(pDriver->hDevice, StrengthFromSum(mix.dwGain, mix.ullSum));
        ullPreviousSum = mix.ullSum;
        // An idle mix stays as it is until a call changes it, and every such
        // call sets hWake, also one made since the pass (the event keeps the
        // signal): no cycle is lost by waiting. A play whose count is used up
        // would come round again only when its clock wraps, 49.7 days after
        // its start; waiting lets it stay silent, as it should. Should the
        // wait fail, the thread cycles as usual rather than spin.
        if (!mix.fIdle || WaitForSingleObject(pDriver->hWake, INFINITE) != WAIT_OBJECT_0) Sleep(2);
    }
    WriteMotorReport(pDriver->hDevice, 0);
    return 0;
}
