#include "controller_link.h"

#include "common/unique_handle.h"

#include <newdev.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cwchar>
#include <cwctype>

namespace vcontroller {

namespace {

const WCHAR BUS_INSTANCE[] = L"ROOT\\VCONTROLLER\\0000";
const GUID GUID_NULL_CLASS = {};                       // the class comes from the INF
const WCHAR BUS_HARDWARE_ID[] = L"VCONTROLLER\\BUS\0"; // a multi-string

struct DevInfoTraits {
    using Type = HDEVINFO;
    static HDEVINFO Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HDEVINFO h) { SetupDiDestroyDeviceInfoList(h); }
};
using DevInfo = UniqueHandle<DevInfoTraits>;

// The path of interface iMember of the set, or false past the last one.
bool InterfacePath(HDEVINFO hSet, const GUID& guid, DWORD iMember, std::wstring* pPath)
{
    SP_DEVICE_INTERFACE_DATA iface = {sizeof(iface)};
    if (!SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, iMember, &iface)) return false;
    DWORD cbNeeded = 0;
    SetupDiGetDeviceInterfaceDetailW(hSet, &iface, nullptr, 0, &cbNeeded, nullptr);
    std::vector<BYTE> buffer(cbNeeded + sizeof(WCHAR));
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    pDetail->cbSize = sizeof(*pDetail);
    pPath->clear();
    if (SetupDiGetDeviceInterfaceDetailW(hSet, &iface, pDetail, cbNeeded, nullptr, nullptr))
        *pPath = pDetail->DevicePath;
    return true;
}

DWORD Control(DWORD dwCode, const void* pIn, DWORD cbIn, void* pOut, DWORD cbOut,
              DWORD* pcbReturned = nullptr)
{
    FileHandle bus(OpenBus());
    if (bus.get() == INVALID_HANDLE_VALUE) return ERROR_FILE_NOT_FOUND;
    DWORD cbReturned = 0;
    if (DeviceIoControl(bus.get(), dwCode, const_cast<void*>(pIn), cbIn, pOut, cbOut, &cbReturned, nullptr)) {
        if (pcbReturned) *pcbReturned = cbReturned;
        return ERROR_SUCCESS;
    }
    switch (const DWORD dwError = GetLastError()) {
    case ERROR_FILE_NOT_FOUND: // STATUS_NO_SUCH_DEVICE on Windows
    case 433:                  // ERROR_NO_SUCH_DEVICE, the same under Wine
    case ERROR_BAD_UNIT:
        return ERROR_BAD_UNIT;
    case ERROR_DUP_NAME: // STATUS_OBJECT_NAME_COLLISION
    case ERROR_ALREADY_EXISTS:
        return ERROR_ALREADY_EXISTS;
    default:
        return dwError;
    }
}

std::wstring BesideProgram(const wchar_t* pszFile)
{
    WCHAR szPath[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring path(szPath, cch);
    path.resize(path.find_last_of(L'\\') + 1);
    return path + pszFile;
}

std::wstring InfBesideProgram()
{
    return BesideProgram(L"vcontroller.inf");
}

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>* pBytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    const DWORD cb = GetFileSize(file.get(), nullptr);
    pBytes->resize(cb);
    DWORD cbRead = 0;
    return ReadFile(file.get(), pBytes->data(), cb, &cbRead, nullptr) && cbRead == cb;
}

// The images the running drivers were installed from: a driver once loaded
// stays loaded until the system (under Wine, the prefix's Wine) restarts, so
// images built since cannot take over by installing again.
bool InstalledImagesAreThese(std::wstring* pError)
{
    WCHAR szSystem[MAX_PATH];
    GetSystemDirectoryW(szSystem, MAX_PATH);
    for (const wchar_t* pszImage : {L"vcbus.sys", L"vchid.sys"}) {
        std::vector<BYTE> ours, installed;
        if (!ReadWholeFile(BesideProgram(pszImage), &ours)) continue; // nothing to compare with
        if (!ReadWholeFile(std::wstring(szSystem) + L"\\drivers\\" + pszImage, &installed) ||
            installed != ours) {
            *pError = std::wstring(L"the installed ") + pszImage +
                      L" is another build than the one beside vcontroller.exe (make the Wine prefix anew)";
            return false;
        }
    }
    return true;
}

std::wstring ErrorText(const wchar_t* pszWhat, DWORD dwError)
{
    WCHAR sz[64];
    swprintf(sz, 64, L" failed (error %lu)", dwError);
    return pszWhat + std::wstring(sz);
}

bool WaitForBus(DWORD dwTimeoutMs)
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        FileHandle bus(OpenBus());
        if (bus.get() != INVALID_HANDLE_VALUE) return true;
        if (GetTickCount64() >= ullEnd) return false;
        Sleep(20);
    }
}

} // namespace

HANDLE OpenBus()
{
    DevInfo set(SetupDiGetClassDevsW(&GUID_DEVINTERFACE_VCONTROLLER_BUS, nullptr, nullptr,
                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.get() == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    std::wstring path;
    for (DWORD i = 0; InterfacePath(set.get(), GUID_DEVINTERFACE_VCONTROLLER_BUS, i, &path); ++i) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
    }
    return INVALID_HANDLE_VALUE;
}

bool InstallDrivers(bool* pfAlready, std::wstring* pError)
{
    *pfAlready = false;
    {
        FileHandle bus(OpenBus());
        if (bus.get() != INVALID_HANDLE_VALUE) {
            *pfAlready = true;
            return InstalledImagesAreThese(pError);
        }
    }
    const std::wstring inf = InfBesideProgram();
    if (GetFileAttributesW(inf.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *pError = L"no " + inf;
        return false;
    }

    // The bus is a root-enumerated device: made once, then found again.
    DevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (set.get() == INVALID_HANDLE_VALUE) {
        *pError = ErrorText(L"SetupDiCreateDeviceInfoList", GetLastError());
        return false;
    }
    SP_DEVINFO_DATA device = {sizeof(device)};
    if (SetupDiCreateDeviceInfoW(set.get(), BUS_INSTANCE, &GUID_NULL_CLASS, nullptr, nullptr, 0, &device)) {
        if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(BUS_HARDWARE_ID),
                                               sizeof(BUS_HARDWARE_ID))) {
            *pError = ErrorText(L"setting the bus's hardware id", GetLastError());
            return false;
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device)) {
            *pError = ErrorText(L"registering the bus device", GetLastError());
            return false;
        }
    } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
        *pError = ErrorText(L"creating the bus device", GetLastError());
        return false;
    }

    BOOL fReboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, BUS_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE,
                                            &fReboot)) {
        *pError = ErrorText(L"installing the drivers from vcontroller.inf", GetLastError());
        return false;
    }
    if (!WaitForBus(30000)) {
        *pError = L"the drivers are installed, but the bus does not answer";
        return false;
    }
    return true;
}

DWORD Plug(const VC_PLUG& plug)
{
    return Control(IOCTL_VC_PLUG, &plug, sizeof(plug), nullptr, 0);
}

DWORD Unplug(VC_CONTROLLER_ID id)
{
    return Control(IOCTL_VC_UNPLUG, &id, sizeof(id), nullptr, 0);
}

DWORD SetFault(const VC_FAULT& fault, ULONG* pcCompleted)
{
    ULONG cCompleted = 0;
    const DWORD dwResult =
        Control(IOCTL_VC_SET_FAULT, &fault, sizeof(fault), &cCompleted, sizeof(cCompleted));
    if (pcCompleted) *pcCompleted = cCompleted;
    return dwResult;
}

DWORD GetReports(VC_CONTROLLER_ID id, ReportLog* pLog, ULONG iFirst, ULONG cMax)
{
    std::vector<BYTE> buffer(sizeof(VC_REPORT_LOG) + cMax * sizeof(VC_REPORT_ENTRY));
    DWORD cbReturned = 0;
    const VC_REPORTS_QUERY query = {id, iFirst};
    const DWORD dwResult = Control(IOCTL_VC_GET_REPORTS, &query, sizeof(query), buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &cbReturned);
    if (dwResult != ERROR_SUCCESS) return dwResult;
    const auto* pHeader = reinterpret_cast<const VC_REPORT_LOG*>(buffer.data());
    const auto* rgEntries = reinterpret_cast<const VC_REPORT_ENTRY*>(pHeader + 1);
    pLog->llFrequency = pHeader->llFrequency ? pHeader->llFrequency : 1;
    pLog->llPlugTime = pHeader->llPlugTime;
    pLog->cReports = pHeader->cReports;
    pLog->entries.assign(rgEntries, rgEntries + pHeader->cEntries);
    return ERROR_SUCCESS;
}

DWORD GetSetting(VC_CONTROLLER_ID id, VC_SETTING* pSetting)
{
    BYTE buffer[sizeof(VC_SETTING)] = {};
    memcpy(buffer, &id, sizeof(id));
    const DWORD dwResult = Control(IOCTL_VC_GET_SETTING, buffer, sizeof(id), buffer, sizeof(buffer));
    if (dwResult == ERROR_SUCCESS) memcpy(pSetting, buffer, sizeof(*pSetting));
    return dwResult;
}

bool FindControllerPath(VC_CONTROLLER_ID id, std::wstring* pPath)
{
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    DevInfo set(SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.get() == INVALID_HANDLE_VALUE) return false;
    std::wstring path;
    for (DWORD i = 0; InterfacePath(set.get(), hidGuid, i, &path); ++i) {
        // No access is asked for: attributes can be read even from a device
        // that another program holds.
        FileHandle device(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        if (device.get() == INVALID_HANDLE_VALUE) continue;
        HIDD_ATTRIBUTES attributes = {sizeof(attributes)};
        if (HidD_GetAttributes(device.get(), &attributes) && attributes.VendorID == id.wVendorID &&
            attributes.ProductID == id.wProductID) {
            *pPath = path;
            return true;
        }
    }
    return false;
}

bool WaitForController(VC_CONTROLLER_ID id, bool fPresent, DWORD dwTimeoutMs)
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        std::wstring path;
        if (FindControllerPath(id, &path) == fPresent) return true;
        if (GetTickCount64() >= ullEnd) return false;
        Sleep(10);
    }
}

bool ParseControllerId(const wchar_t* psz, VC_CONTROLLER_ID* pId)
{
    if (!psz || wcslen(psz) != 9 || psz[4] != L':') return false;
    for (int i = 0; i < 9; ++i)
        if (i != 4 && !iswxdigit(psz[i])) return false;
    pId->wVendorID = static_cast<USHORT>(wcstoul(std::wstring(psz, 4).c_str(), nullptr, 16));
    pId->wProductID = static_cast<USHORT>(wcstoul(psz + 5, nullptr, 16));
    return true;
}

} // namespace vcontroller
