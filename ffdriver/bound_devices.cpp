// The controllers that the Effect Drivers of this process have bound, kept
// where the library's process detach can read them without the process-wide
// lock: a game that returns from WinMain without releasing DirectInput ends
// every thread, Rumble Threads included, perhaps inside a mixing pass that
// holds the lock, and only the detach is left to stop the motors.
#include "ffdriver/effect_driver_object.h"

#include "ffdriver/motor_writer.h"

namespace {

// More than any game binds; a driver beyond them plays as usual, only
// without the stop at process exit.
constexpr size_t BOUND_DEVICE_SLOTS = 64;

EffectDriverObject* volatile g_rgpBound[BOUND_DEVICE_SLOTS];

PVOID volatile* Slot(size_t i)
{
    return reinterpret_cast<PVOID volatile*>(&g_rgpBound[i]);
}

} // namespace

void AddBoundDevice(EffectDriverObject* pDriver)
{
    for (size_t i = 0; i < BOUND_DEVICE_SLOTS; ++i) {
        if (!InterlockedCompareExchangePointer(Slot(i), pDriver, nullptr)) return;
    }
}

void RemoveBoundDevice(EffectDriverObject* pDriver)
{
    for (size_t i = 0; i < BOUND_DEVICE_SLOTS; ++i)
        InterlockedCompareExchangePointer(Slot(i), nullptr, pDriver);
}

void StopBoundDevices()
{
    // Every other thread is gone: a driver in the table has its device
    // handle and report length set, since it enters only once both are and
    // leaves before the handle is closed.
    for (size_t i = 0; i < BOUND_DEVICE_SLOTS; ++i) {
        const EffectDriverObject* pDriver = g_rgpBound[i];
        if (pDriver) WriteStopReport(*pDriver->pPlatform, pDriver->hDevice, pDriver->cbReport);
    }
}
