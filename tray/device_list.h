// The Supported Device List and the one routine that finds supported
// controllers among the present HID devices and sends them Reload Requests.
#pragma once

#include <windows.h>

constexpr LONG MAX_SUPPORTED_DEVICES = 256;

enum DeviceOperation {
    DEVOP_PRESENCE, // only tell whether a supported controller is present
    DEVOP_RELOAD,   // send every present supported controller a Reload Request
};

struct SupportedDevice {
    WORD wProductID; // low half
    WORD wVendorID;  // high half
};
static_assert(sizeof(SupportedDevice) == 4);

class SupportedDeviceList {
public:
    SupportedDeviceList(); // reads the list from the Parameters key
    ~SupportedDeviceList();
    SupportedDeviceList(const SupportedDeviceList&) = delete;
    SupportedDeviceList& operator=(const SupportedDeviceList&) = delete;

    static void ReadDword(void* pvData, LPCWSTR pszName);
    LONG RunDeviceOperation(DeviceOperation op);

    LONG cDevices = 0;
    SupportedDevice* rgAttributes = nullptr;

private:
    bool IsSupported(USHORT wVendorID, USHORT wProductID) const;
    bool HandleDevice(LPCWSTR pszDevicePath, DeviceOperation op) const;
};
