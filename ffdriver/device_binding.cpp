// Binding an Effect Driver to its controller: DeviceID opens the device
// interface that DirectInput names and starts the Rumble Thread; the binding
// ends with DeviceID(fBegin 0), with a new DeviceID, or with the final
// Release. Each end waits for the thread's last report before the handles
// are closed, so no thread or handle outlives its owner. The device is
// opened for overlapped I/O and every write is bounded in time
// (motor_writer.h), so the end comes within a few of those limits even when
// the controller takes no more writes.
#include "ffdriver/effect_driver_object.h"

#include "ffdriver/motor_writer.h"

namespace {

// The thread notices fShutdown within one cycle of about 2 ms, or at once
// when it waits for a call (hWake is set with the flag), writes its last
// report and sets hThreadDone; from then on it touches the driver no more.
// Its exit is not waited for: that needs the loader lock, which the caller
// may hold. The thread's handle ends the wait too, for a thread ended from
// outside: at process exit every other thread is terminated before the
// libraries' DLL_PROCESS_DETACH, from which a host may release the driver.
void WaitForLastReport(const EffectDriverObject& driver)
{
    const HANDLE rghWait[] = {driver.hThreadDone, driver.hThread};
    const DWORD dwWait = WaitForMultipleObjects(2, rghWait, FALSE, INFINITE);
    // A thread that was ended before its last report leaves the motors
    // running: the report is written here instead.
    if (dwWait == WAIT_OBJECT_0 + 1) WriteStopReport(*driver.pPlatform, driver.hDevice, driver.cbReport);
}

// The output report length of a HID collection, or 0 for a handle that is
// none (a pipe standing in for the controller), which takes the 4 bytes.
DWORD OutputReportLength(const DriverPlatform& platform, HANDLE hDevice)
{
    PHIDP_PREPARSED_DATA pData = nullptr;
    if (!platform.HidD_GetPreparsedData(hDevice, &pData)) return 0;
    HIDP_CAPS caps = {};
    const NTSTATUS status = platform.HidP_GetCaps(pData, &caps);
    platform.HidD_FreePreparsedData(pData);
    return status == HIDP_STATUS_SUCCESS ? caps.OutputReportByteLength : 0;
}

} // namespace

STDMETHODIMP EffectDriverObject::DeviceID(DWORD /*dwDirectInputVersion*/, DWORD /*dwExternalID*/,
                                          DWORD fBegin, DWORD /*dwInternalId*/, LPVOID lpReserved)
{
    // Only the device path is read, so dwSize is not checked: DirectInput
    // versions differ in the structure's size.
    const auto* pInit = static_cast<const DIHIDFFINITINFO*>(lpReserved);
    if (fBegin && (!pInit || !pInit->pwszDeviceInterface))
        return E_INVALIDARG; // the binding in place, if any, stays
    AcquireSRWLockExclusive(&srwBinding_);
    EndBinding();
    HRESULT hr = S_OK;
    if (fBegin) hr = BeginBinding(pInit->pwszDeviceInterface);
    ReleaseSRWLockExclusive(&srwBinding_);
    return hr;
}

HRESULT EffectDriverObject::BeginBinding(LPCWSTR pszDeviceInterface)
{
    hDevice =
        CreateFileW(pszDeviceInterface, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE) return E_FAIL;
    // The HID class driver takes an output report only at its exact length:
    // a shorter one cannot carry the Motor Report, a longer one gets it
    // padded with zeros.
    const DWORD cbOutput = OutputReportLength(*pPlatform, hDevice);
    if (cbOutput != 0 && (cbOutput < MOTOR_REPORT_SIZE || cbOutput > MOTOR_REPORT_MAX)) {
        CloseHandle(hDevice);
        hDevice = INVALID_HANDLE_VALUE;
        return E_FAIL;
    }
    cbReport = cbOutput != 0 ? cbOutput : MOTOR_REPORT_SIZE;
    fShutdown.store(0);
    ResetEvent(hThreadDone);
    // A reference to this library for the thread's whole life, which it
    // gives up as it exits: a host may free the library as soon as the last
    // driver is released, while the thread still runs its last lines.
    hThreadModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RumbleThreadProc),
                       &hThreadModule);
    // The thread uses this object without a COM reference of its own: every
    // end of the binding waits for its last report before anything is freed.
    // In the table before the thread's first report, so that process exit
    // stops whatever it wrote.
    AddBoundDevice(this);
    hThread = CreateThread(nullptr, 0, RumbleThreadProc, this, 0, nullptr);
    if (hThread) return S_OK;
    RemoveBoundDevice(this);
    if (hThreadModule) FreeLibrary(hThreadModule);
    return E_FAIL; // without a thread the device stays open until the binding ends
}

void EffectDriverObject::EndBinding()
{
    if (hThread) {
        fShutdown.store(1);
        // An idle thread waits on hWake: it wakes, sees fShutdown and ends.
        SetEvent(hWake);
        WaitForLastReport(*this);
        CloseHandle(hThread);
        hThread = nullptr;
    }
    // Out of the table before the handle closes: process exit must never
    // write to a handle that may have been reused.
    RemoveBoundDevice(this);
    if (hDevice && hDevice != INVALID_HANDLE_VALUE) CloseHandle(hDevice);
    hDevice = nullptr;
}
