// Automatic profile switching: the profile named like the executable of the
// process that owns the foreground window becomes the current setting.
#include "tray/tray_app.h"

#include "tray/tray_platform.h"

#include <tlhelp32.h>

#include <cwchar>

void TrayApp::CheckForeground()
{
    KillTimer(hwnd, IDT_FOREGROUND);
    const DWORD cCommandsBefore = cAutoChangeCommands;

    DWORD pid = 0;
    g_platform.GetWindowThreadProcessId(g_platform.GetForegroundWindow(), &pid);
    // No window in the foreground gives no process: the tick does nothing and
    // the next process to come to the foreground is compared with the last
    // one really examined. An unchanged foreground process costs no more than
    // this; the sheet test comes only after that.
    if (pid != 0 && pid != dwLastForegroundPid && !pLauncher->IsSheetOpen() && pSettings->fModified == 0) {
        SwitchToProcessProfile(pid);
        dwLastForegroundPid = pid; // recorded whether or not a profile matched
    }

    // Armed again only now, so no tick can come while this one runs (for
    // instance during the restart notice of the store). When the user turned
    // switching off meanwhile, the command killed the timer, and arming it
    // again would keep switching profiles under a menu that says it is off;
    // when the user turned it on again, the command armed it already.
    if (cAutoChangeCommands == cCommandsBefore) ArmForegroundTimer(FOREGROUND_INTERVAL_MS);
}

void TrayApp::SwitchToProcessProfile(DWORD pid)
{
    HANDLE hSnapshot = g_platform.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return;

    PROCESSENTRY32W pe = {sizeof(pe)};
    BOOL fFound = g_platform.Process32FirstW(hSnapshot, &pe);
    while (fFound && pe.th32ProcessID != pid)
        fFound = g_platform.Process32NextW(hSnapshot, &pe);

    if (fFound) {
        pe.szExeFile[ARRAYSIZE(pe.szExeFile) - 1] = L'\0';
        const WCHAR* pszSlash = wcsrchr(pe.szExeFile, L'\\');
        WCHAR szExeName[MAX_PATH];
        wcscpy(szExeName, pszSlash ? pszSlash + 1 : pe.szExeFile);

        // Profile 0 never takes part. _wcsicmp of the system runtime, whose
        // locale the program never changes, folds exactly A to Z; a match
        // with the current profile does not end the search.
        for (LONG i = 1; i < pSettings->cProfiles; i++) {
            if (i != pSettings->iCurrent && _wcsicmp(szExeName, pSettings->rgpszNames[i]) == 0) {
                ApplyAndAnnounce(i, TRUE);
                break;
            }
        }
    }
    CloseHandle(hSnapshot);
}
