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
constexpr size_t kFirstHandle = 0x1000; // controller i opens as kFirstHandle + i

std::wstring PathOf(size_t i)
{
    return L"\\\\?\\hid#fake#" + std::to_wstring(i);
}

FakeController* ControllerOf(HANDLE h)
{
    const size_t i = reinterpret_cast<size_t>(h) - kFirstHandle;
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
    EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), dwAccess);
    EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), dwShare);
    EXPECT_EQ(DWORD(OPEN_EXISTING), dwCreation);
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        FakeController& controller = g_fakeControllers[i];
        if (PathOf(i) == pszPath && controller.fPlugged && controller.fOpens) {
            ++controller.cOpens;
            return reinterpret_cast<HANDLE>(kFirstHandle + i);
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

BOOLEAN WINAPI FakeSetFeature(HANDLE h, PVOID pv, ULONG cb)
{
    FakeController* const pController = ControllerOf(h);
    if (!pController) return FALSE;
    EXPECT_EQ(std::vector<BYTE>(32, 0),
              std::vector<BYTE>(static_cast<BYTE*>(pv), static_cast<BYTE*>(pv) + cb));
    ++pController->cRequests;
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
    g_fakeControllers.clear();
    g_fNoDeviceSet = false;
    g_cDeviceSetsDestroyed = 0;
}

void ExpectEveryControllerClosed()
{
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        EXPECT_EQ(g_fakeControllers[i].cOpens, g_fakeControllers[i].cCloses) << "controller " << i;
    }
}
