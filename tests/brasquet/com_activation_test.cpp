// The Effect Driver's class activated through COM from its registration,
// the way DirectInput finds it. These tests change HKEY_CLASSES_ROOT, so they
// run one at a time with everything else that registers the class.
#include "class_registration.h"
#include "driver_harness.h"

#include "common/class_ids.h"

#include <gtest/gtest.h>

namespace {

// Registered as an in-process server with ThreadingModel Both, the class is
// created by CoCreateInstance from either kind of apartment.
class ComActivation : public ::testing::TestWithParam<DWORD> {
protected:
    void SetUp() override { ASSERT_EQ(ERROR_SUCCESS, RegisterEffectDriver(DefaultDriverPath().c_str())); }
    void TearDown() override { EXPECT_EQ(ERROR_SUCCESS, UnregisterEffectDriver()); }
};

TEST_P(ComActivation, RegisteredClassCreatesADriverThatRumbles)
{
    WCHAR szModel[16] = {};
    DWORD cb = sizeof(szModel) - sizeof(WCHAR);
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetValueW(HKEY_CLASSES_ROOT, L"CLSID\\" CLSID_EFFECT_DRIVER_STRING L"\\InprocServer32",
                           L"ThreadingModel", RRF_RT_REG_SZ, nullptr, szModel, &cb));
    EXPECT_STREQ(L"Both", szModel);

    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, GetParam()));
    {
        PipeController controller;
        ASSERT_TRUE(controller.Start());
        IDirectInputEffectDriver* pDriver = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_EffectDriver, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IDirectInputEffectDriver, reinterpret_cast<void**>(&pDriver)));
        ASSERT_EQ(S_OK, BindTo(pDriver, controller.Path()));
        DownloadConstant(pDriver, 5000, DIEP_START);
        EXPECT_TRUE(controller.WaitForStrength(127, 0, 5000));
        EXPECT_EQ(0u, pDriver->Release());
        EXPECT_TRUE(controller.WaitForNoConnection(5000));
        const std::vector<MotorRecord> reports = controller.Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ((ReportBytes{0, 0, 0, 0}), BytesOf(reports.back()));
    }
    CoUninitialize();
}

// COM unloads a library whose DllCanUnloadNow says S_OK: under a live
// driver that would unmap the code its Rumble Thread runs.
TEST_P(ComActivation, FreeingUnusedLibrariesKeepsAPlayingDriverLoaded)
{
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, GetParam()));
    {
        PipeController controller;
        ASSERT_TRUE(controller.Start());
        IDirectInputEffectDriver* pDriver = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_EffectDriver, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IDirectInputEffectDriver, reinterpret_cast<void**>(&pDriver)));
        ASSERT_EQ(S_OK, BindTo(pDriver, controller.Path()));
        DownloadConstant(pDriver, 5000, DIEP_START);
        size_t iOne = 0;
        ASSERT_TRUE(controller.WaitForStrength(127, 0, 5000, &iOne));

        CoFreeUnusedLibrariesEx(0, 0);
        CoFreeUnusedLibraries();
        EXPECT_NE(nullptr, GetModuleHandleW(L"brasquet.dll"));
        // The thread goes on mixing and reporting.
        DownloadConstant(pDriver, 5000, DIEP_START);
        EXPECT_TRUE(controller.WaitForStrength(255, iOne + 1, 5000));
        EXPECT_EQ(0u, pDriver->Release());
        EXPECT_TRUE(controller.WaitForNoConnection(5000));
        const std::vector<MotorRecord> reports = controller.Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ((ReportBytes{0, 0, 0, 0}), BytesOf(reports.back()));
    }
    // With nothing alive the library may go, and does.
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"brasquet.dll"));
    CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(Apartments, ComActivation,
                         ::testing::Values(static_cast<DWORD>(COINIT_MULTITHREADED),
                                           static_cast<DWORD>(COINIT_APARTMENTTHREADED)));

TEST(ComRegistration, UnregisteredClassIsNotFound)
{
    ASSERT_EQ(ERROR_SUCCESS, UnregisterEffectDriver());
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IUnknown* pUnknown = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_EffectDriver, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    CoUninitialize();
}

} // namespace
