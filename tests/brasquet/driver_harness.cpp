#include "driver_harness.h"

#include <tlhelp32.h>

#include <algorithm>
#include <string>

DriverLoader& Driver()
{
    static DriverLoader* s_pLoader = [] {
        auto* pLoader = new DriverLoader(false, DefaultDriverPath());
        pLoader->Load();
        return pLoader;
    }();
    return *s_pLoader;
}

// Seen through Wine's drive Z:, the file system's root.
std::wstring X86DriverPath()
{
#ifdef BRASQUET_X86_DLL
    if (sizeof(BRASQUET_X86_DLL) == 1) return L""; // configured without one
    std::string path = "Z:" BRASQUET_X86_DLL;
    std::replace(path.begin(), path.end(), '/', '\\');
    return std::wstring(path.begin(), path.end());
#else
    return L"";
#endif
}

IDirectInputEffectDriver* NewDriver()
{
    IDirectInputEffectDriver* pDriver = nullptr;
    Driver().Create(&pDriver);
    return pDriver;
}

HRESULT BindTo(IDirectInputEffectDriver* pDriver, LPCWSTR pszPath)
{
    WCHAR szPath[MAX_PATH];
    lstrcpynW(szPath, pszPath, MAX_PATH);
    DIHIDFFINITINFO init = {sizeof(init)};
    init.pwszDeviceInterface = szPath;
    return pDriver->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init);
}

HRESULT Unbind(IDirectInputEffectDriver* pDriver)
{
    return pDriver->DeviceID(DIRECTINPUT_VERSION, 0, FALSE, 0, nullptr);
}

BoundDriver::BoundDriver()
{
    controller.Start();
    pDriver = NewDriver();
}

BoundDriver::~BoundDriver()
{
    Release();
}

HRESULT BoundDriver::Bind()
{
    if (!pDriver) return E_UNEXPECTED;
    // A binding in place ends inside DeviceID with a last report of its own,
    // so the count of reports says nothing: wait for one through the new
    // handle.
    const DWORD iConnection = controller.ConnectionCount() + 1;
    const HRESULT hr = BindTo(pDriver, controller.Path());
    if (SUCCEEDED(hr) && !controller.WaitForReportOn(iConnection, 5000)) return E_UNEXPECTED;
    return hr;
}

ULONG BoundDriver::Release()
{
    if (!pDriver) return 0;
    const ULONG cRef = pDriver->Release();
    pDriver = nullptr;
    controller.WaitForNoConnection(5000);
    return cRef;
}

ReportBytes BytesOf(const MotorRecord& record)
{
    return {record.rgb[0], record.rgb[1], record.rgb[2], record.rgb[3]};
}

std::vector<BYTE> StrengthsOf(const std::vector<MotorRecord>& reports, size_t iFrom)
{
    std::vector<BYTE> strengths;
    for (size_t i = iFrom; i < reports.size(); ++i)
        strengths.push_back(reports[i].Strength());
    return strengths;
}

std::set<DWORD> ThreadIds()
{
    std::set<DWORD> ids;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry = {sizeof(entry)};
    for (BOOL fMore = Thread32First(hSnapshot, &entry); fMore; fMore = Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    }
    CloseHandle(hSnapshot);
    return ids;
}

DWORD ThreadCount()
{
    return static_cast<DWORD>(ThreadIds().size());
}

bool WaitForThreadCount(DWORD cThreads, DWORD dwTimeoutMs)
{
    const ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        if (ThreadCount() == cThreads) return true;
        if (GetTickCount64() >= ullEnd) return false;
        Sleep(10);
    }
}
