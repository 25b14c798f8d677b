// winprobe: looks at the desktop from outside the programs on it, for the
// demo and the end-to-end test. It finds windows and named mutexes, reads the
// popup menu and the notification area from the pixels on the screen, tells
// which program is in front, asks a window to close, and reads the access a
// registry key grants or sets it.
#include "screen_reading.h"

#include "tools/narrow.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char USAGE[] = R"(winprobe: looks at the Wine desktop from outside its programs.

Usage:
  winprobe window CLASS [TITLE] [--exe NAME]   a top-level window: its process and place
  winprobe menu                                the popup menu shown now, read from the screen:
                                               one line per item (enabled or grayed, marked or
                                               not) or separator, with the item's centre
  winprobe tray                                the first icon place of the taskbar's notification
                                               area: its centre and whether an icon is drawn there
  winprobe mutex NAME                          whether a named mutex exists
  winprobe foreground [--exe NAME]             the program whose window is in front (yes when it
                                               is NAME, if given)
  winprobe close CLASS [TITLE] [--exe NAME]    asks that window to close (WM_CLOSE)
  winprobe keyaccess KEY                       the DACL of HKEY_LOCAL_MACHINE\KEY (64-bit view), in
                                               SDDL ("D:P..." when it is protected)
  winprobe setkeyaccess KEY SDDL               gives HKEY_LOCAL_MACHINE\KEY (64-bit view) the owner and
                                               DACL of SDDL, as a test sets up a key the installer
                                               may not change
  winprobe --help

  --wait MS   ask again every 100 ms until the answer is yes, for at most MS milliseconds
  --save PPM  menu: also write the pixels it read to that file (to see what it saw)
  --gone      the answer is yes when the window, menu, icon or mutex is NOT there

A TITLE or CLASS of "*" matches any. Output is one "key=value ..." line per
thing found. Exit codes: 0 yes, 1 no (or not within --wait), 2 bad command line.
)";

struct Query {
    std::wstring verb;
    std::wstring className;
    std::wstring title;
    std::wstring exe;
    std::wstring savePath; // menu: the pixels read, as a PPM picture
    DWORD dwWaitMs = 0;
    bool fGone = false;
};

// The executable file name of a process, from a process snapshot: the same
// name automatic profile switching compares with the profile names.
std::wstring ExeName(DWORD pid)
{
    std::wstring name;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return name;
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL f = Process32FirstW(hSnapshot, &entry); f; f = Process32NextW(hSnapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            const wchar_t* psz = wcsrchr(entry.szExeFile, L'\\');
            name = psz ? psz + 1 : entry.szExeFile;
            break;
        }
    }
    CloseHandle(hSnapshot);
    return name;
}

bool Matches(const std::wstring& pattern, const wchar_t* psz)
{
    return pattern == L"*" || _wcsicmp(pattern.c_str(), psz) == 0;
}

struct WindowSearch {
    const Query* pQuery;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<WindowSearch*>(lParam);
    WCHAR szClass[256] = {};
    WCHAR szTitle[256] = {};
    GetClassNameW(hwnd, szClass, ARRAYSIZE(szClass));
    GetWindowTextW(hwnd, szTitle, ARRAYSIZE(szTitle));
    if (!Matches(pSearch->pQuery->className, szClass)) return TRUE;
    if (!pSearch->pQuery->title.empty() && !Matches(pSearch->pQuery->title, szTitle)) return TRUE;
    if (!pSearch->pQuery->exe.empty()) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (!Matches(pSearch->pQuery->exe, ExeName(pid).c_str())) return TRUE;
    }
    pSearch->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> FindWindows(const Query& query)
{
    WindowSearch search = {&query, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void PrintWindow(HWND hwnd)
{
    WCHAR szClass[256] = {};
    WCHAR szTitle[256] = {};
    GetClassNameW(hwnd, szClass, ARRAYSIZE(szClass));
    GetWindowTextW(hwnd, szTitle, ARRAYSIZE(szTitle));
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    RECT rc = {};
    GetWindowRect(hwnd, &rc);
    printf("window=%p class=\"%s\" title=\"%s\" pid=%lu exe=%s visible=%d left=%ld top=%ld right=%ld "
           "bottom=%ld\n",
           static_cast<void*>(hwnd), Narrow(szClass).c_str(), Narrow(szTitle).c_str(), pid,
           Narrow(ExeName(pid)).c_str(), IsWindowVisible(hwnd) ? 1 : 0, rc.left, rc.top, rc.right, rc.bottom);
}

// The screen's pixels in a rectangle, as 0x00RRGGBB, top row first.
std::vector<std::uint32_t> CaptureScreen(const RECT& rc)
{
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    std::vector<std::uint32_t> pixels;
    if (cx <= 0 || cy <= 0) return pixels;
    HDC hdcScreen = GetDC(nullptr);
    HDC hdcMemory = CreateCompatibleDC(hdcScreen);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = cx;
    bmi.bmiHeader.biHeight = -cy; // top-down
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pvBits = nullptr;
    HBITMAP hbm = CreateDIBSection(hdcScreen, &bmi, DIB_RGB_COLORS, &pvBits, nullptr, 0);
    if (hbm && pvBits) {
        HGDIOBJ hOld = SelectObject(hdcMemory, hbm);
        if (BitBlt(hdcMemory, 0, 0, cx, cy, hdcScreen, rc.left, rc.top, SRCCOPY)) {
            const auto* p = static_cast<const std::uint32_t*>(pvBits);
            pixels.assign(p, p + static_cast<size_t>(cx) * static_cast<size_t>(cy));
        }
        SelectObject(hdcMemory, hOld);
        DeleteObject(hbm);
    }
    DeleteDC(hdcMemory);
    ReleaseDC(nullptr, hdcScreen);
    return pixels;
}

// A binary PPM: the simplest picture format that every viewer and
// ImageMagick read.
void SavePicture(const std::wstring& path, const std::vector<std::uint32_t>& pixels, int cx, int cy)
{
    FILE* pFile = _wfopen(path.c_str(), L"wb");
    if (!pFile) return;
    fprintf(pFile, "P6\n%d %d\n255\n", cx, cy);
    for (std::uint32_t rgb : pixels) {
        const unsigned char rgbBytes[3] = {static_cast<unsigned char>(rgb >> 16),
                                           static_cast<unsigned char>(rgb >> 8),
                                           static_cast<unsigned char>(rgb)};
        fwrite(rgbBytes, 1, sizeof(rgbBytes), pFile);
    }
    fclose(pFile);
}

HWND ShownMenu()
{
    Query query;
    query.className = L"#32768";
    for (HWND hwnd : FindWindows(query))
        if (IsWindowVisible(hwnd)) return hwnd;
    return nullptr;
}

bool AskWindow(const Query& query)
{
    const std::vector<HWND> found = FindWindows(query);
    if (query.fGone) return found.empty();
    for (HWND hwnd : found)
        PrintWindow(hwnd);
    return !found.empty();
}

bool AskMenu(const Query& query)
{
    HWND hwnd = ShownMenu();
    if (query.fGone) return !hwnd;
    if (!hwnd) return false;
    RECT rc = {};
    GetWindowRect(hwnd, &rc);
    // A menu being drawn, or one with a tip passing over it, changes from one
    // look to the next: only a picture that holds still is read.
    const std::vector<std::uint32_t> pixels = CaptureScreen(rc);
    Sleep(150);
    if (pixels.empty() || CaptureScreen(rc) != pixels) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    const int cx = rc.right - rc.left;
    const std::vector<MenuRow> rows = ReadMenuRows(pixels.data(), cx, rc.bottom - rc.top);
    if (!query.savePath.empty()) SavePicture(query.savePath, pixels, cx, rc.bottom - rc.top);
    // A menu still being drawn shows no rows yet: not an answer.
    if (rows.empty()) return false;
    printf("menu pid=%lu exe=%s left=%ld top=%ld right=%ld bottom=%ld rows=%zu\n", pid,
           Narrow(ExeName(pid)).c_str(), rc.left, rc.top, rc.right, rc.bottom, rows.size());
    int iItem = 0;
    for (const MenuRow& row : rows) {
        const long yCentre = rc.top + (row.yTop + row.yBottom) / 2;
        if (row.fSeparator) {
            printf("separator y=%ld\n", yCentre);
            continue;
        }
        printf("item=%d x=%ld y=%ld state=%s mark=%s\n", iItem++, (rc.left + rc.right) / 2, yCentre,
               row.fEnabled ? "enabled" : "grayed", row.fMarked ? "yes" : "no");
    }
    return true;
}

// Wine's taskbar puts the first notification icon at its right end, in a
// place as wide as a small icon with a 2-pixel border on each side.
bool AskTray(const Query& query)
{
    HWND hwndTray = FindWindowW(L"Shell_TrayWnd", nullptr);
    if (!hwndTray || !IsWindowVisible(hwndTray)) return query.fGone;
    RECT rcTray = {};
    GetWindowRect(hwndTray, &rcTray);
    const std::vector<std::uint32_t> pixels = CaptureScreen(rcTray);
    if (pixels.empty()) return false;
    const int cx = rcTray.right - rcTray.left;
    const int cy = rcTray.bottom - rcTray.top;
    const int cxSlot = GetSystemMetrics(SM_CXSMICON) + 4;
    // The taskbar's own colour is what it shows most.
    const std::uint32_t background = MostCommonColour(pixels.data(), cx, 0, 0, cx, cy);
    const int cInk = CountInk(pixels.data(), cx, cx - cxSlot, 0, cx, cy, background);
    const bool fIcon = cInk >= 16;
    printf("tray x=%ld y=%ld icon=%s ink=%d\n", rcTray.right - cxSlot / 2, (rcTray.top + rcTray.bottom) / 2,
           fIcon ? "yes" : "no", cInk);
    return query.fGone ? !fIcon : fIcon;
}

bool AskMutex(const Query& query)
{
    HANDLE hMutex = OpenMutexW(SYNCHRONIZE, FALSE, query.className.c_str());
    const bool fExists = hMutex != nullptr;
    if (hMutex) CloseHandle(hMutex);
    printf("mutex=\"%s\" exists=%s\n", Narrow(query.className).c_str(), fExists ? "yes" : "no");
    return query.fGone ? !fExists : fExists;
}

bool AskForeground(const Query& query)
{
    HWND hwnd = GetForegroundWindow();
    if (!hwnd) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    const std::wstring exe = ExeName(pid);
    const bool fMatch = query.exe.empty() || Matches(query.exe, exe.c_str());
    // While waiting for a program, only its own answer is printed.
    if (fMatch || query.dwWaitMs == 0) printf("foreground pid=%lu exe=%s\n", pid, Narrow(exe).c_str());
    return fMatch;
}

bool AskClose(const Query& query)
{
    const std::vector<HWND> found = FindWindows(query);
    for (HWND hwnd : found) {
        PrintWindow(hwnd);
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    }
    return !found.empty();
}

// What RegGetKeySecurity gives back: the installed access, not what the
// installer meant to set.
bool AskKeyAccess(const Query& query)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, query.className.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY,
                      &hKey) != ERROR_SUCCESS)
        return query.fGone;
    DWORD cb = 0;
    RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, nullptr, &cb);
    std::vector<BYTE> sd(cb ? cb : 1);
    LPWSTR pszSddl = nullptr;
    if (RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, sd.data(), &cb) == ERROR_SUCCESS)
        ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &pszSddl, nullptr);
    RegCloseKey(hKey);
    if (!pszSddl) return false;
    printf("keyaccess sddl=%s\n", Narrow(pszSddl).c_str());
    LocalFree(pszSddl);
    return !query.fGone;
}

// Owner and DACL from SDDL ("O:SYD:P(A;;KR;;;WD)"): a key locked against its
// user, for the tests of what the installer does then.
bool SetKeyAccess(const Query& query)
{
    PSECURITY_DESCRIPTOR psd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(query.title.c_str(), SDDL_REVISION_1, &psd,
                                                              nullptr))
        return false;
    HKEY hKey = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, query.className.c_str(), 0,
                                   WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, &hKey);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(hKey, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, psd);
        RegCloseKey(hKey);
    }
    LocalFree(psd);
    printf("setkeyaccess status=%ld\n", static_cast<long>(status));
    return status == ERROR_SUCCESS;
}

int UsageError(const char* pszMessage)
{
    fprintf(stderr, "winprobe: %s\nTry 'winprobe --help'.\n", pszMessage);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Query query;
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (arg == L"--gone") {
            query.fGone = true;
        } else if (arg == L"--wait" || arg == L"--exe" || arg == L"--save") {
            if (i + 1 >= argc) return UsageError("--wait, --exe and --save need a value");
            const std::wstring value = argv[++i];
            if (arg == L"--exe") {
                query.exe = value;
            } else if (arg == L"--save") {
                query.savePath = value;
            } else {
                wchar_t* pEnd = nullptr;
                const unsigned long ul = wcstoul(value.c_str(), &pEnd, 10);
                if (value.empty() || *pEnd || ul > 600000)
                    return UsageError("--wait needs milliseconds, 0 to 600000");
                query.dwWaitMs = static_cast<DWORD>(ul);
            }
        } else if (!arg.empty() && arg[0] == L'-') {
            return UsageError(("unknown option " + Narrow(arg)).c_str());
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty())
        return UsageError(
            "name what to look at: window, menu, tray, mutex, foreground, close, keyaccess or setkeyaccess");
    query.verb = positional[0];

    bool (*pfnAsk)(const Query&) = nullptr;
    size_t cMin = 1, cMax = 1;
    if (query.verb == L"window" || query.verb == L"close") {
        pfnAsk = query.verb == L"window" ? AskWindow : AskClose;
        cMin = 2;
        cMax = 3;
    } else if (query.verb == L"mutex") {
        pfnAsk = AskMutex;
        cMin = cMax = 2;
    } else if (query.verb == L"menu") {
        pfnAsk = AskMenu;
    } else if (query.verb == L"tray") {
        pfnAsk = AskTray;
    } else if (query.verb == L"foreground") {
        pfnAsk = AskForeground;
    } else if (query.verb == L"keyaccess") {
        pfnAsk = AskKeyAccess;
        cMin = cMax = 2;
    } else if (query.verb == L"setkeyaccess") {
        pfnAsk = SetKeyAccess;
        cMin = cMax = 3;
    } else {
        return UsageError(("unknown question " + Narrow(query.verb)).c_str());
    }
    if (positional.size() < cMin || positional.size() > cMax) return UsageError("wrong number of arguments");
    if (positional.size() > 1) query.className = positional[1];
    if (positional.size() > 2) query.title = positional[2];

    const DWORD dwStart = GetTickCount();
    for (;;) {
        if (pfnAsk(query)) return 0;
        if (GetTickCount() - dwStart >= query.dwWaitMs) return 1;
        Sleep(100);
    }
}
