#include "driver_harness.h"

#include <tlhelp32.h>
#include <winternl.h>

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

std::wstring X86DriverPath()
{
    // The check kit holds the x86 programs and their DLL in x86\ beside the
    // x64\ folder of this program.
    WCHAR szProgram[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szProgram, ARRAYSIZE(szProgram));
    std::wstring kit(szProgram, cch);
    kit.erase(kit.rfind(L'\\') + 1);
    kit += L"..\\x86\\brasquet.dll";
    WCHAR szKit[MAX_PATH];
    const DWORD cchKit = GetFullPathNameW(kit.c_str(), ARRAYSIZE(szKit), szKit, nullptr);
    if (cchKit > 0 && cchKit < ARRAYSIZE(szKit) && GetFileAttributesW(szKit) != INVALID_FILE_ATTRIBUTES)
        return szKit;
#ifdef BRASQUET_X86_DLL
    // The build tree's, which Wine shows through drive Z:, the file system's root.
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

// Whether the routine a thread of this process was started with lies in a
// loaded brasquet.dll.
static bool StartedInTheDriver(DWORD dwThreadId)
{
    HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, dwThreadId);
    if (hThread == nullptr) return false;
    PVOID pvStart = nullptr;
    const NTSTATUS status = NtQueryInformationThread(hThread, ThreadQuerySetWin32StartAddress, &pvStart,
                                                     sizeof(pvStart), nullptr);
    CloseHandle(hThread);
    HMODULE hModule = nullptr;
    if (status != 0 || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           static_cast<LPCWSTR>(pvStart), &hModule))
        return false;
    WCHAR szPath[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(hModule, szPath, ARRAYSIZE(szPath));
    const std::wstring path(szPath, cch);
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    return _wcsicmp(name.c_str(), L"brasquet.dll") == 0;
}

std::set<DWORD> ThreadIds()
{
    std::set<DWORD> ids;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry = {sizeof(entry)};
    for (BOOL fMore = Thread32First(hSnapshot, &entry); fMore; fMore = Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId() && StartedInTheDriver(entry.th32ThreadID))
            ids.insert(entry.th32ThreadID);
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
