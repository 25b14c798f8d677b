#include "ffdriver/effect_driver_object.h"

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
    return core.SetGain(dwID, dwGain);
}

STDMETHODIMP EffectDriverObject::SendForceFeedbackCommand(DWORD dwID, DWORD dwCommand)
{
    return core.SendForceFeedbackCommand(dwID, dwCommand);
}

STDMETHODIMP EffectDriverObject::GetForceFeedbackState(DWORD dwID, LPDIDEVICESTATE pds)
{
    return core.GetForceFeedbackState(dwID, pds);
}

STDMETHODIMP EffectDriverObject::DownloadEffect(DWORD dwID, DWORD dwEffectId, LPDWORD pdwEffect,
                                                LPCDIEFFECT peff, DWORD dwFlags)
{
    return core.DownloadEffect(dwID, dwEffectId, pdwEffect, peff, dwFlags);
}

STDMETHODIMP EffectDriverObject::DestroyEffect(DWORD dwID, DWORD dwEffect)
{
    return core.DestroyEffect(dwID, dwEffect);
}

STDMETHODIMP EffectDriverObject::StartEffect(DWORD dwID, DWORD dwEffect, DWORD dwMode, DWORD dwCount)
{
    return core.StartEffect(dwID, dwEffect, dwMode, dwCount);
}

STDMETHODIMP EffectDriverObject::StopEffect(DWORD dwID, DWORD dwEffect)
{
    return core.StopEffect(dwID, dwEffect);
}

STDMETHODIMP EffectDriverObject::GetEffectStatus(DWORD dwID, DWORD dwEffect, LPDWORD pdwStatus)
{
    return core.GetEffectStatus(dwID, dwEffect, pdwStatus);
}
