#include "ffdriver/class_factory.h"

#include "ffdriver/effect_driver_object.h"

#include <new>

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&cRef_));
}

STDMETHODIMP_(ULONG) ClassFactory::Release()
{
    const LONG cRefNew = InterlockedDecrement(&cRef_);
    if (cRefNew == 0) delete this;
    return static_cast<ULONG>(cRefNew);
}

// The outer unknown is neither refused nor used: the Effect Driver never
// delegates, and DirectInput never aggregates it.
STDMETHODIMP ClassFactory::CreateInstance(IUnknown* /*pUnkOuter*/, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    auto* pDriver = new (std::nothrow) EffectDriverObject;
    if (!pDriver) return E_OUTOFMEMORY;
    if (!pDriver->hWake || !pDriver->hThreadDone) {
        pDriver->Release();
        return E_OUTOFMEMORY;
    }
    // On success the caller holds the only reference; for an interface the
    // object lacks, this Release destroys it (it has no thread yet).
    const HRESULT hr = pDriver->QueryInterface(riid, ppv);
    pDriver->Release();
    return hr;
}

// A host locks the server to keep the library loaded between creations.
STDMETHODIMP ClassFactory::LockServer(BOOL fLock)
{
    LockModule(fLock);
    return S_OK;
}
