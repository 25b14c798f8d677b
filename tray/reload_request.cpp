#include "tray/reload_request.h"

#include "common/device_contract.h"
#include "tray/tray_platform.h"

#include <winioctl.h>
#include <hidclass.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// What the system uses until the request completes: the OVERLAPPED, the
// report's bytes and the handle the request went out on. The controller's
// path follows the report, so that its held requests can be counted.
struct RequestBlock {
    OVERLAPPED ov;
    HANDLE hDevice;
    LPCWSTR pszPath;
    BYTE rgbReport[1];
};

// The blocks of requests that their cancellation did not end. Only the UI
// thread sends requests, so only it touches the list.
RequestBlock* g_rgpHeld[MAX_HELD_REQUESTS];

// The length of the collection's feature report; the Reload Request's own
// where the device does not tell it.
ULONG FeatureReportLength(HANDLE hDevice)
{
    ULONG cb = RELOAD_REQUEST_SIZE;
    PHIDP_PREPARSED_DATA pPreparsed = nullptr;
    if (!g_platform.HidD_GetPreparsedData(hDevice, &pPreparsed)) return cb;
    HIDP_CAPS caps = {};
    if (g_platform.HidP_GetCaps(pPreparsed, &caps) == HIDP_STATUS_SUCCESS &&
        caps.FeatureReportByteLength != 0)
        cb = caps.FeatureReportByteLength;
    g_platform.HidD_FreePreparsedData(pPreparsed);
    return cb;
}

// A zeroed block for a report of cb bytes, its own event in the OVERLAPPED,
// and the handle it will own.
RequestBlock* AllocateBlock(HANDLE hDevice, ULONG cb, LPCWSTR pszDevicePath)
{
    const size_t cbReport = (size_t(cb) + 1) & ~size_t(1); // the path after it stays aligned
    const size_t cbPath = (wcslen(pszDevicePath) + 1) * sizeof(WCHAR);
    auto* const pBlock = static_cast<RequestBlock*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, offsetof(RequestBlock, rgbReport) + cbReport + cbPath));
    if (!pBlock) return nullptr;
    auto* const pszPath = reinterpret_cast<LPWSTR>(pBlock->rgbReport + cbReport);
    memcpy(pszPath, pszDevicePath, cbPath);
    pBlock->pszPath = pszPath;
    pBlock->hDevice = hDevice;
    // Without an event of its own the request is waited for on the device
    // handle, which the system signals when an I/O on it completes.
    pBlock->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return pBlock;
}

void FreeBlock(RequestBlock* pBlock)
{
    if (pBlock->ov.hEvent) CloseHandle(pBlock->ov.hEvent);
    g_platform.CloseDeviceHandle(pBlock->hDevice);
    HeapFree(GetProcessHeap(), 0, pBlock);
}

// Sends the request and waits for it a bounded time. True when it ended,
// taken or refused; false when the system still holds it.
bool SendAndWait(RequestBlock* pBlock, ULONG cb)
{
    if (g_platform.DeviceIoControl(pBlock->hDevice, IOCTL_HID_SET_FEATURE, pBlock->rgbReport, cb, nullptr, 0,
                                   nullptr, &pBlock->ov))
        return true;
    // Refused at once: unplugged, or the report is not the collection's.
    if (GetLastError() != ERROR_IO_PENDING) return true;
    const HANDLE hDone = pBlock->ov.hEvent ? pBlock->ov.hEvent : pBlock->hDevice;
    if (g_platform.WaitForRequest(hDone, RELOAD_REQUEST_LIMIT_MS) == WAIT_OBJECT_0) return true;
    g_platform.CancelIoEx(pBlock->hDevice, &pBlock->ov);
    // The cancellation completes the request, usually at once. A stack that
    // does not pass it on to the controller's driver (Wine's HID class
    // driver does not) leaves the request with the system.
    g_platform.WaitForRequest(hDone, RELOAD_CANCEL_LIMIT_MS);
    return HasOverlappedIoCompleted(&pBlock->ov);
}

} // namespace

void ReleaseEndedReloadRequests()
{
    for (RequestBlock*& pHeld : g_rgpHeld) {
        if (pHeld && HasOverlappedIoCompleted(&pHeld->ov)) {
            FreeBlock(pHeld);
            pHeld = nullptr;
        }
    }
}

// The Reload Request, all zero, at the length the HID class driver takes for
// the collection's feature report, which may be longer than the request.
void SendReloadRequest(LPCWSTR pszDevicePath)
{
    RequestBlock** ppFree = nullptr;
    int cHeldByController = 0;
    for (RequestBlock*& pHeld : g_rgpHeld) {
        if (!pHeld) {
            if (!ppFree) ppFree = &pHeld;
        } else if (CompareStringOrdinal(pHeld->pszPath, -1, pszDevicePath, -1, TRUE) == CSTR_EQUAL) {
            cHeldByController++;
        }
    }
    // With no room to keep one more request that might not end, none goes
    // out: its block could be neither freed nor kept.
    if (!ppFree || cHeldByController >= MAX_HELD_REQUESTS_PER_CONTROLLER) return;

    const HANDLE hDevice = g_platform.CreateFileW(pszDevicePath, GENERIC_READ | GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_OVERLAPPED, nullptr);
    // Held by a program that does not share it: the controller keeps its
    // settings until the next request.
    if (hDevice == INVALID_HANDLE_VALUE) return;

    const ULONG cb = std::max<ULONG>(FeatureReportLength(hDevice), 1);
    RequestBlock* const pBlock = AllocateBlock(hDevice, cb, pszDevicePath);
    if (!pBlock) {
        g_platform.CloseDeviceHandle(hDevice);
        return;
    }
    // A controller that refuses keeps its previous settings; there is
    // nothing better to do about it here.
    if (SendAndWait(pBlock, cb))
        FreeBlock(pBlock);
    else
        *ppFree = pBlock; // never freed nor used again until the system is done with it
}
