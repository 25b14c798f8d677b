// RunDeviceOperation over a HID world the test makes up: what Wine's devices
// cannot show (two controllers, devices that refuse to open or to answer).
#include "tray/device_list.h"

#include "tests/tray/registry_sandbox.h"
#include "tray/tray_platform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct FakeDevice {
    FakeDevice(USHORT wVendorID, USHORT wProductID) : wVendorID(wVendorID), wProductID(wProductID) {}
    USHORT wVendorID;
    USHORT wProductID;
    bool fOpens = true;
    bool fAttributes = true;
    bool fDetail = true;
    int cOpens = 0;
    int cCloses = 0;
    int cRequests = 0; // Reload Requests received, each checked byte for byte
};

std::vector<FakeDevice> s_devices;
bool s_fNoDeviceSet = false;
int s_cSetsDestroyed = 0;

const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const HDEVINFO kDeviceSet = reinterpret_cast<HDEVINFO>(0x5E7);

std::wstring PathOf(size_t i)
{
    return L"\\\\?\\hid#fake#" + std::to_wstring(i);
}

FakeDevice* DeviceOf(HANDLE h)
{
    const size_t i = reinterpret_cast<size_t>(h) - 0x1000;
    return i < s_devices.size() ? &s_devices[i] : nullptr;
}

void WINAPI FakeGetHidGuid(LPGUID pGuid)
{
    *pGuid = kHidGuid;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* pGuid, PCWSTR, HWND, DWORD dwFlags)
{
    EXPECT_EQ(kHidGuid, *pGuid);
    EXPECT_EQ(DWORD(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), dwFlags);
    return s_fNoDeviceSet ? static_cast<HDEVINFO>(INVALID_HANDLE_VALUE) : kDeviceSet;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD iMember,
                               PSP_DEVICE_INTERFACE_DATA pData)
{
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), pData->cbSize);
    if (iMember >= s_devices.size()) return FALSE;
    pData->Reserved = iMember;
    return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA pData,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W pDetail, DWORD cbDetail, PDWORD pcbRequired,
                          PSP_DEVINFO_DATA)
{
    const std::wstring path = PathOf(pData->Reserved);
    const DWORD cbRequired =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + DWORD(path.size() + 1) * sizeof(WCHAR);
    if (!pDetail) {
        if (pcbRequired) *pcbRequired = cbRequired;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), pDetail->cbSize);
    if (!s_devices[pData->Reserved].fDetail || cbDetail < cbRequired) return FALSE;
    std::memcpy(pDetail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI FakeDestroySet(HDEVINFO hSet)
{
    EXPECT_EQ(kDeviceSet, hSet);
    ++s_cSetsDestroyed;
    return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES,
                             DWORD dwCreation, DWORD, HANDLE)
{
    EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), dwAccess);
    EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), dwShare);
    EXPECT_EQ(DWORD(OPEN_EXISTING), dwCreation);
    for (size_t i = 0; i < s_devices.size(); ++i) {
        if (PathOf(i) == pszPath && s_devices[i].fOpens) {
            ++s_devices[i].cOpens;
            return reinterpret_cast<HANDLE>(0x1000 + i);
        }
    }
    return INVALID_HANDLE_VALUE;
}

BOOLEAN WINAPI FakeGetAttributes(HANDLE h, PHIDD_ATTRIBUTES pAttributes)
{
    FakeDevice* const pDevice = DeviceOf(h);
    if (!pDevice || !pDevice->fAttributes) return FALSE; // and leaves the record alone
    pAttributes->VendorID = pDevice->wVendorID;
    pAttributes->ProductID = pDevice->wProductID;
    return TRUE;
}

BOOLEAN WINAPI FakeSetFeature(HANDLE h, PVOID pv, ULONG cb)
{
    FakeDevice* const pDevice = DeviceOf(h);
    if (!pDevice) return FALSE;
    EXPECT_EQ(std::vector<BYTE>(32, 0),
              std::vector<BYTE>(static_cast<BYTE*>(pv), static_cast<BYTE*>(pv) + cb));
    ++pDevice->cRequests;
    return TRUE;
}

BOOL WINAPI FakeCloseDevice(HANDLE h)
{
    FakeDevice* const pDevice = DeviceOf(h);
    if (pDevice) ++pDevice->cCloses;
    return pDevice != nullptr;
}

class DeviceOperationTest : public RegistrySandbox {
protected:
    void SetUp() override
    {
        RegistrySandbox::SetUp();
        saved_ = g_platform;
        g_platform.HidD_GetHidGuid = FakeGetHidGuid;
        g_platform.SetupDiGetClassDevsW = FakeGetClassDevs;
        g_platform.SetupDiEnumDeviceInterfaces = FakeEnumInterfaces;
        g_platform.SetupDiGetDeviceInterfaceDetailW = FakeGetDetail;
        g_platform.SetupDiDestroyDeviceInfoList = FakeDestroySet;
        g_platform.CreateFileW = FakeCreateFile;
        g_platform.HidD_GetAttributes = FakeGetAttributes;
        g_platform.HidD_SetFeature = FakeSetFeature;
        g_platform.CloseDeviceHandle = FakeCloseDevice;
        s_devices.clear();
        s_fNoDeviceSet = false;
    }
    void TearDown() override
    {
        g_platform = saved_;
        RegistrySandbox::TearDown();
    }

    // Runs the operation with the list given; every device opened must be
    // closed again and the device set released.
    LONG Run(const std::vector<DWORD>& entries, DeviceOperation op)
    {
        s_cSetsDestroyed = 0;
        SetDword(L"Supported Device Count", static_cast<DWORD>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            SetDword((L"Supported Device Attribute " + std::to_wstring(i)).c_str(), entries[i]);
        }
        SupportedDeviceList list;
        const LONG result = list.RunDeviceOperation(op);
        for (const FakeDevice& device : s_devices) {
            EXPECT_EQ(device.cOpens, device.cCloses);
        }
        EXPECT_EQ(s_fNoDeviceSet ? 0 : 1, s_cSetsDestroyed);
        return result;
    }
    // One count per device, in the order of the enumeration.
    static std::vector<int> Tally(int FakeDevice::*pCount)
    {
        std::vector<int> counts;
        for (const FakeDevice& device : s_devices) {
            counts.push_back(device.*pCount);
        }
        return counts;
    }

private:
    TrayPlatform saved_;
};

using Counts = std::vector<int>;

TEST_F(DeviceOperationTest, EveryMatchingControllerReceivesOneAllZero32ByteReloadRequest)
{
    s_devices = {{0x845E, 0x0001}, {0x1234, 0x5678}, {0x845E, 0x0002}, {0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001, 0x845E0002}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0, 1, 1}), Tally(&FakeDevice::cRequests));
    EXPECT_EQ((Counts{1, 1, 1, 1}), Tally(&FakeDevice::cOpens)); // the stranger too, and closed again
}

TEST_F(DeviceOperationTest, PresenceSendsNothing)
{
    s_devices = {{0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_PRESENCE));
    EXPECT_EQ(0, Run({0x845E0002}, DEVOP_PRESENCE));
    EXPECT_EQ((Counts{0}), Tally(&FakeDevice::cRequests));
}

TEST_F(DeviceOperationTest, DeviceMatchingSeveralEntriesIsHandledOnce)
{
    s_devices = {{0x845E, 0x0001}};
    EXPECT_EQ(1, Run({0x845E0001, 0x845E0001, 0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1}), Tally(&FakeDevice::cRequests));
}

TEST_F(DeviceOperationTest, DeviceThatCannotBeOpenedCountsForNothing)
{
    s_devices = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    s_devices[0].fOpens = false;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{0, 1}), Tally(&FakeDevice::cRequests));

    s_devices.pop_back();
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, FailingDetailQueryEndsTheWalkWithTheResultSoFar)
{
    s_devices = {{0x845E, 0x0001}, {0x845E, 0x0001}, {0x845E, 0x0001}};
    s_devices[1].fDetail = false;
    EXPECT_EQ(1, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0, 0}), Tally(&FakeDevice::cOpens));

    s_devices[0].fDetail = false;
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, DeviceWhoseAttributesCannotBeReadCountsForNothing)
{
    // Neither a zero entry (a missing attribute) nor the ids of the device
    // before it may match a device that gives no ids.
    s_devices = {{0x845E, 0x0001}, {0x845E, 0x0001}};
    s_devices[1].fAttributes = false;
    EXPECT_EQ(1, Run({0x00000000, 0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{1, 0}), Tally(&FakeDevice::cRequests));

    s_devices.erase(s_devices.begin());
    EXPECT_EQ(0, Run({0x00000000, 0x845E0001}, DEVOP_PRESENCE));
}

TEST_F(DeviceOperationTest, NoDeviceSetMeansNoDevice)
{
    s_devices = {{0x845E, 0x0001}};
    s_fNoDeviceSet = true;
    EXPECT_EQ(0, Run({0x845E0001}, DEVOP_RELOAD));
    EXPECT_EQ((Counts{0}), Tally(&FakeDevice::cOpens));
}

} // namespace
