// The Effect Driver's COM object: IUnknown, and IDirectInputEffectDriver
// forwarded to the core. Every call that can change the mix wakes the Rumble
// Thread, which waits instead of cycling while nothing can sound.
#include "ffdriver/effect_driver_object.h"

EffectDriverObject::EffectDriverObject()
    : hWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      hThreadDone(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

STDMETHODIMP EffectDriverObject::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDirectInputEffectDriver) {
        *ppv = static_cast<IDirectInputEffectDriver*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EffectDriverObject::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&cRef));
}

STDMETHODIMP_(ULONG) EffectDriverObject::Release()
{
    const LONG cRefNew = InterlockedDecrement(&cRef);
    if (cRefNew == 0) delete this;
    return static_cast<ULONG>(cRefNew);
}

EffectDriverObject::~EffectDriverObject()
{
    // Waits for the Rumble Thread's last report, then closes both handles;
    // the core frees the Effect Records.
    EndBinding();
    if (hWake) CloseHandle(hWake);
    if (hThreadDone) CloseHandle(hThreadDone);
}

STDMETHODIMP EffectDriverObject::GetVersions(LPDIDRIVERVERSIONS pvers)
{
    return core.GetVersions(pvers);
}

STDMETHODIMP EffectDriverObject::Escape(DWORD dwID, DWORD dwEffect, LPDIEFFESCAPE pesc)
{
    return core.Escape(dwID, dwEffect, pesc);
}

STDMETHODIMP EffectDriverObject::SetGain(DWORD dwID, DWORD dwGain)
{
    const HRESULT hr = core.SetGain(dwID, dwGain);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::SendForceFeedbackCommand(DWORD dwID, DWORD dwCommand)
{
    const HRESULT hr = core.SendForceFeedbackCommand(dwID, dwCommand);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::GetForceFeedbackState(DWORD dwID, LPDIDEVICESTATE pds)
{
    return core.GetForceFeedbackState(dwID, pds);
}

STDMETHODIMP EffectDriverObject::DownloadEffect(DWORD dwID, DWORD dwEffectId, LPDWORD pdwEffect,
                                                LPCDIEFFECT peff, DWORD dwFlags)
{
    const HRESULT hr = core.DownloadEffect(dwID, dwEffectId, pdwEffect, peff, dwFlags);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::DestroyEffect(DWORD dwID, DWORD dwEffect)
{
    const HRESULT hr = core.DestroyEffect(dwID, dwEffect);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::StartEffect(DWORD dwID, DWORD dwEffect, DWORD dwMode, DWORD dwCount)
{
    const HRESULT hr = core.StartEffect(dwID, dwEffect, dwMode, dwCount);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::StopEffect(DWORD dwID, DWORD dwEffect)
{
    const HRESULT hr = core.StopEffect(dwID, dwEffect);
    SetEvent(hWake);
    return hr;
}

STDMETHODIMP EffectDriverObject::GetEffectStatus(DWORD dwID, DWORD dwEffect, LPDWORD pdwStatus)
{
    return core.GetEffectStatus(dwID, dwEffect, pdwStatus);
}
