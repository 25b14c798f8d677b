// The COM server's entry points, the class factory and the Effect Driver's
// IUnknown, called through the real DLL's exports.
#include "driver_harness.h"

#include "common/class_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using PFNDLLGETCLASSOBJECT = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using PFNDLLCANUNLOADNOW = HRESULT(STDAPICALLTYPE*)();

void* const SENTINEL = reinterpret_cast<void*>(static_cast<INT_PTR>(0x5A5A5A5A));

class ComServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        hModule_ = LoadLibraryW(DefaultDriverPath().c_str());
        ASSERT_NE(nullptr, hModule_);
        pfnGetClassObject = reinterpret_cast<PFNDLLGETCLASSOBJECT>(
            reinterpret_cast<void*>(GetProcAddress(hModule_, "DllGetClassObject")));
        pfnCanUnloadNow = reinterpret_cast<PFNDLLCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(hModule_, "DllCanUnloadNow")));
        ASSERT_NE(nullptr, pfnGetClassObject);
        ASSERT_NE(nullptr, pfnCanUnloadNow);
    }
    void TearDown() override
    {
        if (hModule_) FreeLibrary(hModule_);
    }

    IClassFactory* NewFactory()
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(S_OK, pfnGetClassObject(CLSID_EffectDriver, IID_IClassFactory,
                                          reinterpret_cast<void**>(&pFactory)));
        return pFactory;
    }

    PFNDLLGETCLASSOBJECT pfnGetClassObject = nullptr;
    PFNDLLCANUNLOADNOW pfnCanUnloadNow = nullptr;

private:
    HMODULE hModule_ = nullptr;
};

TEST_F(ComServer, OtherClassIsNotAvailableAndLeavesTheOutPointer)
{
    const GUID rgclsid[] = {CLSID_PropertySheetComponent, GUID_NULL, IID_IClassFactory};
    for (const GUID& clsid : rgclsid) {
        void* pv = SENTINEL;
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, pfnGetClassObject(clsid, IID_IClassFactory, &pv));
        EXPECT_EQ(SENTINEL, pv);
    }
}

TEST_F(ComServer, NullOutPointerIsRefusedWithEPointer)
{
    EXPECT_EQ(E_POINTER, pfnGetClassObject(CLSID_EffectDriver, IID_IClassFactory, nullptr));
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(E_POINTER, pFactory->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, pFactory->CreateInstance(nullptr, IID_IDirectInputEffectDriver, nullptr));
    EXPECT_EQ(0u, pFactory->Release());

    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    EXPECT_EQ(E_POINTER, pDriver->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(0u, pDriver->Release());
}

TEST_F(ComServer, FactoryForIUnknownHoldsOnlyTheCallersReference)
{
    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(S_OK, pfnGetClassObject(CLSID_EffectDriver, IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    ASSERT_NE(nullptr, pUnknown);
    EXPECT_EQ(2u, pUnknown->AddRef());
    EXPECT_EQ(1u, pUnknown->Release());
    EXPECT_EQ(0u, pUnknown->Release());
}

TEST_F(ComServer, EachCallHandsOutANewFactory)
{
    IClassFactory* pFirst = NewFactory();
    IClassFactory* pSecond = NewFactory();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(0u, pFirst->Release());
    EXPECT_EQ(0u, pSecond->Release());
}

TEST_F(ComServer, FactoryRefusesInterfacesItLacksWithNull)
{
    void* pv = SENTINEL;
    EXPECT_EQ(E_NOINTERFACE, pfnGetClassObject(CLSID_EffectDriver, IID_IDirectInputEffectDriver, &pv));
    EXPECT_EQ(nullptr, pv);

    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    IUnknown* pUnknown = nullptr;
    EXPECT_EQ(S_OK, pFactory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    EXPECT_EQ(static_cast<IUnknown*>(pFactory), pUnknown);
    pv = SENTINEL;
    EXPECT_EQ(E_NOINTERFACE, pFactory->QueryInterface(IID_IDirectInputEffectDriver, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1u, pUnknown->Release());
    EXPECT_EQ(0u, pFactory->Release());
}

TEST_F(ComServer, CreateInstanceWithAnOuterUnknownSucceedsLikeWithout)
{
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    IDirectInputEffectDriver* pDriver = nullptr;
    EXPECT_EQ(S_OK, pFactory->CreateInstance(pFactory, IID_IDirectInputEffectDriver,
                                             reinterpret_cast<void**>(&pDriver)));
    ASSERT_NE(nullptr, pDriver);
    DIDEVICESTATE state = {sizeof(state)};
    EXPECT_EQ(S_OK, pDriver->GetForceFeedbackState(0, &state));
    EXPECT_EQ(0x453u, state.dwState);
    EXPECT_EQ(0u, pDriver->Release());
    EXPECT_EQ(0u, pFactory->Release());
}

TEST_F(ComServer, CreateInstanceForAnotherInterfaceGivesNoInterfaceAndNull)
{
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    void* pv = SENTINEL;
    EXPECT_EQ(E_NOINTERFACE, pFactory->CreateInstance(nullptr, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(0u, pFactory->Release());
}

TEST_F(ComServer, CanUnloadNowOnlyWhileNothingHoldsTheLibrary)
{
    EXPECT_EQ(S_OK, pfnCanUnloadNow()) << "nothing alive";

    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow()) << "a class factory";
    EXPECT_EQ(0u, pFactory->Release());
    EXPECT_EQ(S_OK, pfnCanUnloadNow());

    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow()) << "an unbound Effect Driver";
    EXPECT_EQ(0u, pDriver->Release());
    EXPECT_EQ(S_OK, pfnCanUnloadNow());

    {
        BoundDriver bound;
        ASSERT_EQ(S_OK, bound.Bind());
        DownloadConstant(bound.pDriver, 5000, DIEP_START);
        EXPECT_EQ(S_FALSE, pfnCanUnloadNow()) << "an Effect Driver whose thread plays";
        EXPECT_EQ(0u, bound.Release());
    }
    EXPECT_EQ(S_OK, pfnCanUnloadNow());

    // A server lock outlives the factory that took it.
    pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
    EXPECT_EQ(0u, pFactory->Release());
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow()) << "a server lock";
    pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    EXPECT_EQ(0u, pFactory->Release());
    EXPECT_EQ(S_OK, pfnCanUnloadNow());
}

TEST_F(ComServer, UnlockWithoutALockCannotHideLiveObjects)
{
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow());
    EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
    EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    EXPECT_EQ(0u, pDriver->Release());
    EXPECT_EQ(0u, pFactory->Release());
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow()) << "one lock is left";
    pFactory = NewFactory();
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    EXPECT_EQ(0u, pFactory->Release());
    EXPECT_EQ(S_OK, pfnCanUnloadNow()) << "the count came back to 0, not below";
}

TEST(EffectDriverObject, AnswersForIUnknownAndItsInterfaceWithOnePointer)
{
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    IUnknown* pUnknown = nullptr;
    IDirectInputEffectDriver* pSame = nullptr;
    EXPECT_EQ(S_OK, pDriver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    EXPECT_EQ(S_OK, pDriver->QueryInterface(IID_IDirectInputEffectDriver, reinterpret_cast<void**>(&pSame)));
    EXPECT_EQ(static_cast<IUnknown*>(pDriver), pUnknown);
    EXPECT_EQ(pDriver, pSame);
    void* pv = SENTINEL;
    EXPECT_EQ(E_NOINTERFACE, pDriver->QueryInterface(IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(4u, pDriver->AddRef());
    EXPECT_EQ(3u, pDriver->Release());
    EXPECT_EQ(2u, pUnknown->Release());
    EXPECT_EQ(1u, pSame->Release());
    EXPECT_EQ(0u, pDriver->Release());
}

TEST(EffectDriverObject, ForwardsTheDeviceWideOperations)
{
    IDirectInputEffectDriver* pDriver = NewDriver();
    ASSERT_NE(nullptr, pDriver);
    DIDRIVERVERSIONS versions = {sizeof(versions)};
    EXPECT_EQ(S_OK, pDriver->GetVersions(&versions));
    // The version its file carries, a byte each for minor and patch.
    const std::wstring path = Driver().Path();
    DWORD dwZero = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &dwZero));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
    EXPECT_EQ(HIWORD(pFixed->dwFileVersionMS) << 16 | LOWORD(pFixed->dwFileVersionMS) << 8 |
                  HIWORD(pFixed->dwFileVersionLS),
              versions.dwFFDriverVersion);
    EXPECT_EQ(E_NOTIMPL, pDriver->Escape(0, 0, nullptr));
    EXPECT_EQ(DI_TRUNCATED, pDriver->SetGain(0, 0));
    EXPECT_EQ(E_NOTIMPL, pDriver->SendForceFeedbackCommand(0, 0x03));
    EXPECT_EQ(S_OK, pDriver->SendForceFeedbackCommand(0, DISFFC_SETACTUATORSOFF));
    const DWORD dwHandle = DownloadConstant(pDriver, 5000);
    EXPECT_EQ(1u, dwHandle);
    EXPECT_EQ(S_OK, pDriver->StartEffect(0, dwHandle, 0, 1));
    DWORD dwStatus = 0;
    EXPECT_EQ(S_OK, pDriver->GetEffectStatus(0, dwHandle, &dwStatus));
    EXPECT_EQ(static_cast<DWORD>(DIEGES_PLAYING), dwStatus);
    EXPECT_EQ(S_OK, pDriver->StopEffect(0, dwHandle));
    EXPECT_EQ(S_OK, pDriver->DestroyEffect(0, dwHandle));
    DIDEVICESTATE state = {sizeof(state)};
    EXPECT_EQ(S_OK, pDriver->GetForceFeedbackState(0, &state));
    EXPECT_EQ(static_cast<DWORD>(DIGFFS_EMPTY | DIGFFS_ACTUATORSOFF | 0x440), state.dwState);
    EXPECT_EQ(0u, pDriver->Release());
}

} // namespace
