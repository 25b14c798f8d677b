// The class factory of the Effect Driver, brasquet's one COM class. It keeps
// nothing but its reference count and its hold on the library; each
// DllGetClassObject makes a new one.
#pragma once

#include "ffdriver/module_count.h"

#include <windows.h>
#include <unknwn.h>

class ClassFactory final : public IClassFactory {
public:
    ClassFactory() = default;
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    ~ClassFactory() = default;

    ModuleReference moduleReference_; // first: released last
    LONG volatile cRef_ = 1;
};
