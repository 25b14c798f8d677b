#include "tests/tray/fake_controllers.h"

#include <gtest/gtest.h>

#include <winioctl.h>
#include <hidclass.h>

#include <cstddef>
#include <cstring>
#include <string>

std::vector<FakeController> g_fakeControllers;
bool g_fNoDeviceSet;
int g_cDeviceSetsDestroyed;

namespace {

const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const HDEVINFO kDeviceSet = reinterpret_cast<HDEVINFO>(0x5E7);
constexpr size_t kFirstHandle = 0x1000; // controller i opens with access 0 as kFirstHandle + i
// and for reading and writing as kReadWriteHandle + i + 0x100 * n, a handle of
// its own for each open
constexpr size_t kReadWriteHandle = 0x100000;
constexpr size_t kFirstPreparsed = 0x5000;
size_t g_cReadWriteOpens;
// As the system writes them into OVERLAPPED.Internal (STATUS_PENDING is the
// one windows.h has).
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusDeviceNotConnected = 0xC000009D;

// A Reload Request that went out, until the handle it went out on is closed:
// the system's OVERLAPPED and report bytes as the program gave them.
struct FakeRequest {
    size_t iController;
    HANDLE hDevice;
    OVERLAPPED* pov;
    const BYTE* pbReport;
    ULONG cbReport;
    bool fCancelled = false; // CancelIoEx was called; a cancellation ends the request only later
};
std::vector<FakeRequest> g_requests;

std::wstring PathOf(size_t i)
{
    return L"\\\\?\\hid#fake#" + std::to_wstring(i);
}

FakeController* ControllerOf(HANDLE h, bool* pfReadWrite = nullptr)
{
    const size_t v = reinterpret_cast<size_t>(h);
    const bool fReadWrite = v >= kReadWriteHandle;
    if (pfReadWrite) *pfReadWrite = fReadWrite;
    const size_t i = fReadWrite ? (v - kReadWriteHandle) & 0xFF : v - kFirstHandle;
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
                             DWORD dwCreation, DWORD dwFlags, HANDLE)
{
    const bool fReadWrite = dwAccess != 0;
    if (fReadWrite) {
        EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), dwAccess);
        EXPECT_TRUE(dwFlags & FILE_FLAG_OVERLAPPED); // else no wait for a request could be bounded
    }
    EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), dwShare);
    EXPECT_EQ(DWORD(OPEN_EXISTING), dwCreation);
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        FakeController& controller = g_fakeControllers[i];
        if (PathOf(i) == pszPath && controller.fPlugged && controller.fOpens &&
            (controller.fShared || !fReadWrite)) {
            ++controller.cOpens;
            if (fReadWrite) ++controller.cReadWriteOpens;
            if (!fReadWrite) return reinterpret_cast<HANDLE>(kFirstHandle + i);
            return reinterpret_cast<HANDLE>(kReadWriteHandle + 0x100 * g_cReadWriteOpens++ + i);
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
// of the collection's feature report, or 32 bytes where that is unknown, in
// a block of its own: none the system still holds.
BOOL WINAPI FakeDeviceIoControl(HANDLE h, DWORD dwCode, LPVOID pvIn, DWORD cbIn, LPVOID pvOut, DWORD cbOut,
                                LPDWORD, LPOVERLAPPED pov)
{
    bool fReadWrite = false;
    FakeController* const pController = ControllerOf(h, &fReadWrite);
    if (!pController) return FALSE;
    EXPECT_TRUE(fReadWrite);
    EXPECT_EQ(DWORD(IOCTL_HID_SET_FEATURE), dwCode);
    EXPECT_EQ(nullptr, pvOut);
    EXPECT_EQ(0u, cbOut);
    if (!pov) {
        ADD_FAILURE() << "a Reload Request without an OVERLAPPED cannot be waited for a bounded time";
        return FALSE;
    }
    const auto* const pbReport = static_cast<const BYTE*>(pvIn);
    const size_t cbExpected =
        pController->fCaps && pController->cbFeatureReport != 0 ? pController->cbFeatureReport : 32;
    EXPECT_EQ(std::vector<BYTE>(cbExpected, 0), std::vector<BYTE>(pbReport, pbReport + cbIn));
    for (const FakeRequest& request : g_requests) {
        EXPECT_NE(request.pov, pov) << "an OVERLAPPED the system holds is used again";
        EXPECT_NE(request.pbReport, pbReport) << "a report the system holds is used again";
    }
    ++pController->cRequests;

    const size_t iController = pController - &g_fakeControllers[0];
    if (pController->answer == REQUEST_REFUSED) {
        pov->Internal = kStatusDeviceNotConnected;
        g_requests.push_back({iController, h, pov, pbReport, cbIn});
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    pov->Internal = STATUS_PENDING;
    pov->InternalHigh = 0;
    g_requests.push_back({iController, h, pov, pbReport, cbIn});
    if (pController->answer == REQUEST_TAKEN) {
        pov->Internal = kStatusSuccess;
        pov->InternalHigh = cbIn;
        if (pov->hEvent) SetEvent(pov->hEvent);
    } else {
        ++pController->cStalled;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

FakeRequest* RequestOf(HANDLE h, const OVERLAPPED* pov)
{
    for (FakeRequest& request : g_requests) {
        if (request.hDevice == h && request.pov == pov) return &request;
    }
    return nullptr;
}

void Complete(FakeRequest& request, ULONG_PTR status)
{
    request.pov->Internal = status;
    if (request.pov->hEvent) SetEvent(request.pov->hEvent);
    --g_fakeControllers[request.iController].cStalled;
}

// The wait is the system's own, on the request's event: a stalled request
// keeps the thread as long as it would, but for a wait without end, which
// would only hang the test.
DWORD WINAPI FakeWaitForRequest(HANDLE hDone, DWORD dwMilliseconds)
{
    for (FakeRequest& request : g_requests) {
        if (request.pov->hEvent == hDone || request.hDevice == hDone) {
            FakeController& controller = g_fakeControllers[request.iController];
            controller.rgdwWaitsMs.push_back(dwMilliseconds);
            if (request.fCancelled && request.pov->Internal == STATUS_PENDING &&
                controller.answer == REQUEST_CANCELLED)
                Complete(request, kStatusCancelled);
            if (dwMilliseconds == INFINITE && request.pov->Internal == STATUS_PENDING) {
                ADD_FAILURE() << "the UI thread waits without end for a request that stalls";
                return WAIT_TIMEOUT;
            }
            break;
        }
    }
    return WaitForSingleObject(hDone, dwMilliseconds);
}

BOOL WINAPI FakeCancelIoEx(HANDLE h, LPOVERLAPPED pov)
{
    FakeRequest* const pRequest = RequestOf(h, pov);
    if (!pRequest || pov->Internal != STATUS_PENDING) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    ++g_fakeControllers[pRequest->iController].cCancels;
    pRequest->fCancelled = true;
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
    for (auto it = g_requests.begin(); it != g_requests.end();) {
        if (it->hDevice != h) {
            ++it;
            continue;
        }
        EXPECT_NE(ULONG_PTR(STATUS_PENDING), it->pov->Internal)
            << "a device closed under its pending request";
        it = g_requests.erase(it);
    }
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
    g_platform.DeviceIoControl = FakeDeviceIoControl;
    g_platform.WaitForRequest = FakeWaitForRequest;
    g_platform.CancelIoEx = FakeCancelIoEx;
    g_platform.CloseDeviceHandle = FakeCloseDevice;
    g_platform.HidD_GetPreparsedData = FakeGetPreparsedData;
    g_platform.HidP_GetCaps = FakeGetCaps;
    g_platform.HidD_FreePreparsedData = FakeFreePreparsedData;
    g_fakeControllers.clear();
    g_fNoDeviceSet = false;
    g_cDeviceSetsDestroyed = 0;
    EXPECT_TRUE(g_requests.empty()) << "an earlier test left requests pending";
    g_requests.clear();
}

void ExpectEveryControllerClosed()
{
    for (size_t i = 0; i < g_fakeControllers.size(); ++i) {
        EXPECT_EQ(g_fakeControllers[i].cOpens, g_fakeControllers[i].cCloses + g_fakeControllers[i].cStalled)
            << "controller " << i;
        EXPECT_EQ(g_fakeControllers[i].cPreparsed, g_fakeControllers[i].cPreparsedFreed)
            << "controller " << i;
    }
}

void EndStalledRequests()
{
    for (FakeRequest& request : g_requests) {
        if (request.pov->Internal != STATUS_PENDING) continue;
        EXPECT_EQ(std::vector<BYTE>(request.cbReport, 0),
                  std::vector<BYTE>(request.pbReport, request.pbReport + request.cbReport))
            << "the block of a pending request was given back";
        Complete(request, kStatusSuccess);
    }
}
