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
    void TearDown() override
    {
        EXPECT_EQ(ERROR_SUCCESS, UnregisterEffectDriver(DefaultDriverPath().c_str()));
    }
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
    // With nothing alive the library may go, and does, once the Rumble
    // Thread, which holds it for its last lines, has exited.
    CoFreeUnusedLibrariesEx(0, 0);
    for (int i = 0; i < 500 && GetModuleHandleW(L"brasquet.dll"); ++i)
        Sleep(10);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"brasquet.dll"));
    CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(Apartments, ComActivation,
                         ::testing::Values(static_cast<DWORD>(COINIT_MULTITHREADED),
                                           static_cast<DWORD>(COINIT_APARTMENTTHREADED)));

TEST(ComRegistration, UnregisteredClassIsNotFound)
{
    ASSERT_EQ(ERROR_SUCCESS, UnregisterEffectDriver(DefaultDriverPath().c_str()));
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IUnknown* pUnknown = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_EffectDriver, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    CoUninitialize();
}

// Each DLL goes into the registry view of its machine, where a process of
// that machine (a 32-bit game under WOW64 for the x86 DLL) looks for the
// class; neither registration touches the other view.
TEST(ComRegistration, EachDllIsRegisteredInTheViewOfItsMachine)
{
    const std::wstring x64 = DefaultDriverPath();
    const std::wstring x86 = X86DriverPath();
    if (x86.empty() || GetFileAttributesW(x86.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no x86 DLL: build the windows-x86 preset first";
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), RegistryViewOf(x64.c_str()));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), RegistryViewOf(x86.c_str()));

    ASSERT_EQ(ERROR_SUCCESS, RegisterEffectDriver(x86.c_str()));
    EXPECT_EQ(x86, RegisteredDriverPath(KEY_WOW64_32KEY));
    EXPECT_EQ(L"", RegisteredDriverPath(KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, RegisterEffectDriver(x64.c_str()));
    EXPECT_EQ(x64, RegisteredDriverPath(KEY_WOW64_64KEY));
    EXPECT_EQ(x64, RegisteredDriverPath()) << "what this 64-bit process activates";
    EXPECT_EQ(x86, RegisteredDriverPath(KEY_WOW64_32KEY));

    ASSERT_EQ(ERROR_SUCCESS, UnregisterEffectDriver(x86.c_str()));
    EXPECT_EQ(L"", RegisteredDriverPath(KEY_WOW64_32KEY));
    EXPECT_EQ(x64, RegisteredDriverPath(KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, UnregisterEffectDriver(x64.c_str()));
    EXPECT_EQ(L"", RegisteredDriverPath(KEY_WOW64_64KEY));
}

TEST(ComRegistration, FileThatIsNoDllIsRefusedAndRegistersNothing)
{
    WCHAR szProgram[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, szProgram, MAX_PATH));
    EXPECT_EQ(0u, RegistryViewOf(szProgram));
    EXPECT_EQ(0u, RegistryViewOf(L"C:\\no\\such\\brasquet.dll"));
    EXPECT_EQ(ERROR_BAD_EXE_FORMAT, RegisterEffectDriver(szProgram));
    EXPECT_NE(szProgram, RegisteredDriverPath(KEY_WOW64_64KEY));
    EXPECT_NE(szProgram, RegisteredDriverPath(KEY_WOW64_32KEY));
}

} // namespace
