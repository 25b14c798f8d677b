#include "tests/tray/fake_controllers.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

std::vector<FakeController> g_fakeControllers;
bool g_fNoDeviceSet;
int g_cDeviceSetsDestroyed;

namespace {

const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const HDEVINFO kDeviceSet = reinterpret_cast<HDEVINFO>(0x5E7);
constexpr size_t kFirstHandle = 0x1000;     // controller i opens with access 0 as kFirstHandle + i
constexpr size_t kReadWriteHandle = 0x3000; // and for reading and writing as kReadWriteHandle + i
constexpr size_t kFirstPreparsed = 0x5000;

std::wstring PathOf(size_t i)
{
    return L"\\\\?\\hid#fake#" + std::to_wstring(i);
}

FakeController* ControllerOf(HANDLE h, bool* pfReadWrite = nullptr)
{
    const size_t v = reinterpret_cast<size_t>(h);
    const bool fReadWrite = v >= kReadWriteHandle;
    if (pfReadWrite) *pfReadWrite = fReadWrite;
    const size_t i = v - (fReadWrite ? kReadWriteHandle : kFirstHandle);
    return i < g_fakeControllers.size() ? &g_fakeControllers[i] : nullptr;
}

void WINAPI FakeGetHidGuid(LPGUID pGuid)
{
    *pGuid = kHidGuid;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* pGuid, PCWSTR, HWND, DWORD dwFlags)
{
    EXPECT_EQ(kHidGuid, *pGuid);
    EXPECT_EQ(DWORD(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), dwFlags);
    return g_fNoDeviceSet ? static_cast<HDEVINFO>(INVALID_HANDLE_VALUE) : kDeviceSet;
}

// Member iMember is the iMember-th plugged controller; Reserved carries its
// place in the list to the detail query.
BOOL WINAPI FakeEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD iMember,
                               PSP_DEVICE_INTERFACE_DATA pData)
{
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), pData->cbSize);
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        if (g_fakeControllers[i].fPlugged && iMember-- == 0) {
            pData->Reserved = i;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA pData,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W pDetail, DWORD cbDetail, PDWORD pcbRequired,
                          PSP_DEVINFO_DATA)
{
    const std::wstring path = PathOf(pData->Reserved);
    const DWORD cbRequired =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + DWORD(path.size() + 1) * sizeof(WCHAR);
    if (pDetail) {
        EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), pDetail->cbSize);
        if (!g_fakeControllers[pData->Reserved].fDetail) return FALSE;
    }
    if (!pDetail || cbDetail < cbRequired) {
        if (pcbRequired) *pcbRequired = cbRequired;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pDetail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI FakeDestroySet(HDEVINFO hSet)
{
    EXPECT_EQ(kDeviceSet, hSet);
    ++g_cDeviceSetsDestroyed;
    return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES,
                             DWORD dwCreation, DWORD, HANDLE)
{
    const bool fReadWrite = dwAccess != 0;
    if (fReadWrite) {
        EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), dwAccess);
    }
    EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), dwShare);
    EXPECT_EQ(DWORD(OPEN_EXISTING), dwCreation);
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        FakeController& controller = g_fakeControllers[i];
        if (PathOf(i) == pszPath && controller.fPlugged && controller.fOpens &&
            (controller.fShared || !fReadWrite)) {
            ++controller.cOpens;
            if (fReadWrite) ++controller.cReadWriteOpens;
            return reinterpret_cast<HANDLE>((fReadWrite ? kReadWriteHandle : kFirstHandle) + i);
        }
    }
    return INVALID_HANDLE_VALUE;
}

BOOLEAN WINAPI FakeGetAttributes(HANDLE h, PHIDD_ATTRIBUTES pAttributes)
{
    FakeController* const pController = ControllerOf(h);
    if (!pController || !pController->fAttributes) return FALSE; // and leaves the record alone
    pAttributes->VendorID = pController->wVendorID;
    pAttributes->ProductID = pController->wProductID;
    return TRUE;
}

// The request goes out on a handle that may write, all zero at the length
// of the collection's feature report, or 32 bytes where that is unknown.
BOOLEAN WINAPI FakeSetFeature(HANDLE h, PVOID pv, ULONG cb)
{
    bool fReadWrite = false;
    FakeController* const pController = ControllerOf(h, &fReadWrite);
    if (!pController) return FALSE;
    EXPECT_TRUE(fReadWrite);
    const size_t cbExpected =
        pController->fCaps && pController->cbFeatureReport != 0 ? pController->cbFeatureReport : 32;
    EXPECT_EQ(std::vector<BYTE>(cbExpected, 0),
              std::vector<BYTE>(static_cast<BYTE*>(pv), static_cast<BYTE*>(pv) + cb));
    ++pController->cRequests;
    return TRUE;
}

BOOLEAN WINAPI FakeGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* ppPreparsed)
{
    FakeController* const pController = ControllerOf(h);
    if (!pController || !pController->fCaps) return FALSE;
    ++pController->cPreparsed;
    *ppPreparsed =
        reinterpret_cast<PHIDP_PREPARSED_DATA>(kFirstPreparsed + (pController - &g_fakeControllers[0]));
    return TRUE;
}

FakeController* ControllerOfPreparsed(PHIDP_PREPARSED_DATA pPreparsed)
{
    const size_t i = reinterpret_cast<size_t>(pPreparsed) - kFirstPreparsed;
    return i < g_fakeControllers.size() ? &g_fakeControllers[i] : nullptr;
}

NTSTATUS WINAPI FakeGetCaps(PHIDP_PREPARSED_DATA pPreparsed, PHIDP_CAPS pCaps)
{
    FakeController* const pController = ControllerOfPreparsed(pPreparsed);
    if (!pController) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *pCaps = {};
    pCaps->FeatureReportByteLength = pController->cbFeatureReport;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI FakeFreePreparsedData(PHIDP_PREPARSED_DATA pPreparsed)
{
    FakeController* const pController = ControllerOfPreparsed(pPreparsed);
    if (!pController) return FALSE;
    ++pController->cPreparsedFreed;
    return TRUE;
}

BOOL WINAPI FakeCloseDevice(HANDLE h)
{
    FakeController* const pController = ControllerOf(h);
    if (pController) ++pController->cCloses;
    return pController != nullptr;
}

} // namespace

void InstallFakeControllers()
{
    g_platform.HidD_GetHidGuid = FakeGetHidGuid;
    g_platform.SetupDiGetClassDevsW = FakeGetClassDevs;
    g_platform.SetupDiEnumDeviceInterfaces = FakeEnumInterfaces;
    g_platform.SetupDiGetDeviceInterfaceDetailW = FakeGetDetail;
    g_platform.SetupDiDestroyDeviceInfoList = FakeDestroySet;
    g_platform.CreateFileW = FakeCreateFile;
    g_platform.HidD_GetAttributes = FakeGetAttributes;
    g_platform.HidD_SetFeature = FakeSetFeature;
    g_platform.CloseDeviceHandle = FakeCloseDevice;
    g_platform.HidD_GetPreparsedData = FakeGetPreparsedData;
    g_platform.HidP_GetCaps = FakeGetCaps;
    g_platform.HidD_FreePreparsedData = FakeFreePreparsedData;
    g_fakeControllers.clear();
    g_fNoDeviceSet = false;
    g_cDeviceSetsDestroyed = 0;
}

void ExpectEveryControllerClosed()
{
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        EXPECT_EQ(g_fakeControllers[i].cOpens, g_fakeControllers[i].cCloses) << "controller " << i;
        EXPECT_EQ(g_fakeControllers[i].cPreparsed, g_fakeControllers[i].cPreparsedFreed)
            << "controller " << i;
    }
}
