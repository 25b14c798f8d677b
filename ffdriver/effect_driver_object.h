// The Effect Driver as DirectInput sees it: the COM object that implements
// IDirectInputEffectDriver for one controller. The effect state and its
// operations belong to EffectDriver; this object adds the reference count,
// the binding to the device and the Rumble Thread.
#pragma once

#include "ffdriver/driver_platform.h"
#include "ffdriver/effect_driver.h"
#include "ffdriver/module_count.h"

#include "common/device_contract.h"

#include <windows.h>
#include <dinput.h>
#include <dinputd.h>

#include <atomic>

class EffectDriverObject final : public IDirectInputEffectDriver {
public:
    // Creates hWake and hThreadDone; the class factory refuses an object
    // that lacks either.
    EffectDriverObject();
    EffectDriverObject(const EffectDriverObject&) = delete;
    EffectDriverObject& operator=(const EffectDriverObject&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDirectInputEffectDriver, in its published order
    STDMETHODIMP DeviceID(DWORD dwDirectInputVersion, DWORD dwExternalID, DWORD fBegin, DWORD dwInternalId,
                          LPVOID lpReserved) override;
    STDMETHODIMP GetVersions(LPDIDRIVERVERSIONS pvers) override;
    STDMETHODIMP Escape(DWORD dwID, DWORD dwEffect, LPDIEFFESCAPE pesc) override;
    STDMETHODIMP SetGain(DWORD dwID, DWORD dwGain) override;
    STDMETHODIMP SendForceFeedbackCommand(DWORD dwID, DWORD dwCommand) override;
    STDMETHODIMP GetForceFeedbackState(DWORD dwID, LPDIDEVICESTATE pds) override;
    STDMETHODIMP DownloadEffect(DWORD dwID, DWORD dwEffectId, LPDWORD pdwEffect, LPCDIEFFECT peff,
                                DWORD dwFlags) override;
    STDMETHODIMP DestroyEffect(DWORD dwID, DWORD dwEffect) override;
    STDMETHODIMP StartEffect(DWORD dwID, DWORD dwEffect, DWORD dwMode, DWORD dwCount) override;
    STDMETHODIMP StopEffect(DWORD dwID, DWORD dwEffect) override;
    STDMETHODIMP GetEffectStatus(DWORD dwID, DWORD dwEffect, LPDWORD pdwStatus) override;

    // Fields, after the interface table. The first holds the library:
    // declared first, it is released last, so the library stays while any of
    // the object, its thread included, remains. hDevice and hThread belong to
    // the binding (device_binding.cpp); the Rumble Thread reads hDevice, the
    // core's state under the process-wide lock, and fShutdown.
    const ModuleReference moduleReference;
    HANDLE hDevice = nullptr;
    // The device's output report length: the Motor Report, padded with
    // zeros to it. 4 for a device that is no HID collection.
    DWORD cbReport = MOTOR_REPORT_SIZE;
    // The calls to the clock, the waits and the device; the system's unless
    // a test set its own before the binding.
    const DriverPlatform* pPlatform = &SystemPlatform();
    EffectDriver core;
    std::atomic<LONG> fShutdown{0}; // tells the Rumble Thread to write its last report and end
    LONG volatile cRef = 1;
    HANDLE hThread = nullptr;
    // Auto-reset; set after every call that can change the mix and at the
    // end of a binding. The Rumble Thread waits on it while its mix is idle.
    // Lives as long as the object, so a call never signals a closed handle.
    HANDLE hWake = nullptr;
    // Manual-reset; reset as a binding begins, set by the Rumble Thread
    // after its last report, when it is done with this object.
    HANDLE hThreadDone = nullptr;
    // The library reference that the Rumble Thread owns and gives up as it
    // exits; null when none could be taken.
    HMODULE hThreadModule = nullptr;

private:
    // Only the final Release destroys the object.
    ~EffectDriverObject();

    HRESULT BeginBinding(LPCWSTR pszDeviceInterface);
    void EndBinding();

    // Serialises DeviceID calls with each other, so that one binding is
    // ended before the next begins. Never held by the Rumble Thread.
    SRWLOCK srwBinding_ = SRWLOCK_INIT;
};

// The Rumble Thread's routine; pvDriver is the EffectDriverObject.
DWORD WINAPI RumbleThreadProc(LPVOID pvDriver);

// The bound controllers of the process, for the stop at process exit:
// a driver enters with its Rumble Thread and leaves as its binding ends.
void AddBoundDevice(EffectDriverObject* pDriver);
void RemoveBoundDevice(EffectDriverObject* pDriver);
// Writes the all-zero Motor Report to each, without taking any lock; only
// for the library's detach at process exit.
void StopBoundDevices();
