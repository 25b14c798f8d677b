#include "tray/device_list.h"

#include "tray/reload_request.h"
#include "tray/settings_store.h"
#include "tray/tray_platform.h"

#include "common/unique_handle.h"

#include <strsafe.h>

#include <algorithm>
#include <memory>
#include <new>

SupportedDeviceList::SupportedDeviceList()
{
    cDevices = 0;
    ReadDword(&cDevices, L"Supported Device Count");
    cDevices = std::clamp<LONG>(cDevices, 0, MAX_SUPPORTED_DEVICES);
    if (cDevices == 0) return;

    rgAttributes = new (std::nothrow) SupportedDevice[cDevices]();
    if (!rgAttributes) {
        // Without the list no device can be recognised: the icon stays away
        // and no Reload Request goes out.
        cDevices = 0;
        return;
    }

    // A missing entry stays 0 and matches only a device reporting ids 0 and 0.
    for (LONG i = 0; i < cDevices; ++i) {
        WCHAR szName[64];
        StringCchPrintfW(szName, ARRAYSIZE(szName), L"Supported Device Attribute %d", i);
        ReadDword(&rgAttributes[i], szName);
    }
}

SupportedDeviceList::~SupportedDeviceList()
{
    delete[] rgAttributes;
}

void SupportedDeviceList::ReadDword(void* pvData, LPCWSTR pszName)
{
    SettingsStore::ReadValue(pvData, REG_DWORD, sizeof(DWORD), pszName);
}

bool SupportedDeviceList::IsSupported(USHORT wVendorID, USHORT wProductID) const
{
    for (LONG i = 0; i < cDevices; ++i) {
        if (rgAttributes[i].wVendorID == wVendorID && rgAttributes[i].wProductID == wProductID) return true;
    }
    return false;
}

namespace {

// A device opened through the platform seam is closed through it too.
struct DeviceHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { g_platform.CloseDeviceHandle(h); }
};
using DeviceHandle = UniqueHandle<DeviceHandleTraits>;

} // namespace

// Opens one present HID device and, if it is a supported controller, carries
// out the operation on it. True when the device is supported.
bool SupportedDeviceList::HandleDevice(LPCWSTR pszDevicePath, DeviceOperation op) const
{
    // Access 0 is enough for the ids, and no other program's open without
    // sharing refuses it: a remapper or a game that holds the controller
    // does not make the icon vanish.
    bool fSupported = false;
    {
        const DeviceHandle device(g_platform.CreateFileW(pszDevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                         nullptr));
        if (device.get() == INVALID_HANDLE_VALUE) return false;
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        // A device whose ids cannot be read is nobody's controller: its ids
        // must not be taken from a stale or zero-filled record. The class
        // driver answers from its own record of the collection, without
        // asking the controller, so one whose requests stall answers too.
        fSupported = g_platform.HidD_GetAttributes(device.get(), &attributes) &&
                     IsSupported(attributes.VendorID, attributes.ProductID);
    }
    if (fSupported && op == DEVOP_RELOAD) SendReloadRequest(pszDevicePath);
    return fSupported;
}

LONG SupportedDeviceList::RunDeviceOperation(DeviceOperation op)
{
    // Requests that a controller held past their bound and has completed
    // since give their blocks back, whether it is still there or not.
    if (op == DEVOP_RELOAD) ReleaseEndedReloadRequests();

    GUID guidHid;
    g_platform.HidD_GetHidGuid(&guidHid);

    const HDEVINFO hDevInfo =
        g_platform.SetupDiGetClassDevsW(&guidHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hDevInfo == INVALID_HANDLE_VALUE) return 0;

    // Every matching device gets the operation: two controllers connected
    // both receive the Reload Request.
    LONG fFound = 0;
    for (DWORD iMember = 0;; ++iMember) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {sizeof(interfaceData)};
        if (!g_platform.SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &guidHid, iMember, &interfaceData))
            break;

        // The first query fails by design and reports the size needed. A
        // buffer always holds at least the fixed part, whose cbSize is set
        // below, whatever size was reported.
        DWORD cbDetail = 0;
        g_platform.SetupDiGetDeviceInterfaceDetailW(hDevInfo, &interfaceData, nullptr, 0, &cbDetail, nullptr);
        cbDetail = std::max<DWORD>(cbDetail, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        std::unique_ptr<BYTE[]> pbDetail(new (std::nothrow) BYTE[cbDetail]());
        if (!pbDetail) break;
        auto* const pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(pbDetail.get());
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

        // A device that went away between the two queries ends the walk; what
        // was found so far stands.
        if (!g_platform.SetupDiGetDeviceInterfaceDetailW(hDevInfo, &interfaceData, pDetail, cbDetail, nullptr,
                                                         nullptr)) {
            break;
        }

        if (HandleDevice(pDetail->DevicePath, op)) fFound = 1;
    }

    g_platform.SetupDiDestroyDeviceInfoList(hDevInfo);
    return fFound;
}
