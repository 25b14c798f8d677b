// Binding an Effect Driver to its controller: DeviceID opens the device
// interface that DirectInput names and starts the Rumble Thread; the binding
// ends with DeviceID(fBegin 0), with a new DeviceID, or with the final
// Release. Each end waits for the thread's last report before the handles
// are closed, so no thread or handle outlives its owner.
#include "ffdriver/effect_driver_object.h"

namespace {

// The thread notices fShutdown within one cycle of about 2 ms, or at once
// when it waits for a call (hWake is set with the flag), writes its last
// report and sets hThreadDone; from then on it touches the driver no more.
// Its exit is not waited for: that needs the loader lock, which the caller
// may hold. The thread's handle ends the wait too, for a thread ended from
// outside: at process exit every other thread is terminated before the
// libraries' DLL_PROCESS_DETACH, from which a host may release the driver.
void WaitForLastReport(HANDLE hThreadDone, HANDLE hThread, HANDLE hDevice)
{
    const HANDLE rghWait[] = {hThreadDone, hThread};
    const DWORD dwWait = WaitForMultipleObjects(2, rghWait, FALSE, INFINITE);
    // A thread that was ended before its last report leaves the motors
    // running: the report is written here instead.
    if (dwWait == WAIT_OBJECT_0 + 1) WriteMotorReport(hDevice, 0);
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
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE) return E_FAIL;
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
    hThread = CreateThread(nullptr, 0, RumbleThreadProc, this, 0, nullptr);
    if (!hThread && hThreadModule) FreeLibrary(hThreadModule);
    return hThread ? S_OK : E_FAIL; // without a thread the device stays open until the binding ends
}

void EffectDriverObject::EndBinding()
{
    if (hThread) {
        fShutdown.store(1);
        // An idle thread waits on hWake: it wakes, sees fShutdown and ends.
        SetEvent(hWake);
        WaitForLastReport(hThreadDone, hThread, hDevice);
        CloseHandle(hThread);
        hThread = nullptr;
    }
    if (hDevice && hDevice != INVALID_HANDLE_VALUE) CloseHandle(hDevice);
    hDevice = nullptr;
}
