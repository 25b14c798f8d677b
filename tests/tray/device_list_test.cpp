// The Supported Device List as read from the Parameters key, and the device
// operation against the virtual HID devices that Wine presents (vendor 0x845E,
// products 0x0001 and 0x0002).
#include "tray/device_list.h"

#include "tests/tray/failing_allocation.h"
#include "tests/tray/registry_sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class DeviceListTest : public RegistrySandbox {
protected:
    static void StoreList(const std::vector<DWORD>& entries)
    {
        SetDword(L"Supported Device Count", static_cast<DWORD>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            SetDword((L"Supported Device Attribute " + std::to_wstring(i)).c_str(), entries[i]);
        }
    }
    static DWORD Entry(const SupportedDeviceList& list, LONG i)
    {
        return (DWORD(list.rgAttributes[i].wVendorID) << 16) | list.rgAttributes[i].wProductID;
    }
};

TEST_F(DeviceListTest, CountIsClampedToZeroAnd256)
{
    for (DWORD i = 0; i < 300; ++i) {
        SetDword((L"Supported Device Attribute " + std::to_wstring(i)).c_str(), 0x10000 + i);
    }
    const struct {
        bool fStored;
        LONG stored;
        LONG cExpected;
    } cases[] = {{false, 0, 0}, {true, 0, 0},     {true, -1, 0},
                 {true, 2, 2},  {true, 256, 256}, {true, 300, 256}};
    for (const auto& c : cases) {
        if (c.fStored) SetDword(L"Supported Device Count", static_cast<DWORD>(c.stored));
        SupportedDeviceList list;
        ASSERT_EQ(c.cExpected, list.cDevices) << c.stored;
        EXPECT_EQ(c.cExpected == 0, list.rgAttributes == nullptr);
        for (LONG i = 0; i < list.cDevices; ++i) {
            ASSERT_EQ(0x10000 + DWORD(i), Entry(list, i)) << i;
        }
    }
}

TEST_F(DeviceListTest, MissingEntryStaysZero)
{
    StoreList({0x845E0001, 0x12345678, 0x845E0002});
    DeleteValue(L"Supported Device Attribute 1");
    SupportedDeviceList list;
    ASSERT_EQ(3, list.cDevices);
    EXPECT_EQ(0x845E0001u, Entry(list, 0));
    EXPECT_EQ(0u, Entry(list, 1));
    EXPECT_EQ(0x845E0002u, Entry(list, 2));
}

TEST_F(DeviceListTest, ListThatCannotBeAllocatedIsEmpty)
{
    StoreList({0x845E0001, 0x845E0002});
    FailNothrowAllocations(1, 1);
    SupportedDeviceList list;
    FailNothrowAllocations(0, 0);
    EXPECT_EQ(0, list.cDevices);
    EXPECT_EQ(nullptr, list.rgAttributes);

    RestoreMachineKey();
    EXPECT_EQ(0, list.RunDeviceOperation(DEVOP_PRESENCE));
}

TEST_F(DeviceListTest, VendorInTheHighHalfFindsWinesVirtualDevice)
{
    const struct {
        std::vector<DWORD> entries;
        LONG fExpected;
    } cases[] = {
        {{0x845E0001}, 1},
        {{0x0001845E}, 0}, // halves swapped
        {{}, 0},
        {{0x12340001, 0x845E0002}, 1},
    };
    for (const auto& c : cases) {
        StoreList(c.entries);
        SupportedDeviceList list;
        // SetupAPI looks for the present devices under the real HKEY_LOCAL_MACHINE.
        RestoreMachineKey();
        EXPECT_EQ(c.fExpected, list.RunDeviceOperation(DEVOP_PRESENCE)) << testing::PrintToString(c.entries);
        EXPECT_EQ(c.fExpected, list.RunDeviceOperation(DEVOP_RELOAD)) << testing::PrintToString(c.entries);
        RedirectMachineKey();
    }
}

} // namespace
