// What the tests of the real quellin.exe, driven from outside, share: under
// Wine a desktop of their own with a notification area, a wait that keeps
// the test thread's messages flowing, the Parameters key as another program
// sees it, and whether the shell holds an icon for a window.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

inline constexpr DWORD OUTSIDE_WAIT_MS = 10000;

// A file beside the running test program.
std::wstring BesideThisProgram(const wchar_t* pszFile);

// Waits until pred() holds, dispatching this thread's messages meanwhile.
template <typename Pred> bool WaitFor(Pred pred, DWORD dwTimeoutMs = OUTSIDE_WAIT_MS)
{
    const DWORD dwStart = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - dwStart > dwTimeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    return true;
}

// Wine gives a desktop that is configured with a size a notification area of
// its own; the test thread and the programs it starts there share it. Once
// per process. On Windows only the user's desktop has a notification area:
// the tests stay on it.
void EnterTestDesktop(LPCWSTR pszDesktop);
// The desktop for STARTUPINFO's lpDesktop: the test desktop under Wine, the
// caller's (nullptr) on Windows.
LPWSTR StartupDesktop(LPCWSTR pszDesktop);

// Values of the Parameters key, as another program would see them.
void SetValue(LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb);
void SetDword(LPCWSTR pszName, DWORD dw);
std::vector<BYTE> GetValue(LPCWSTR pszName); // empty if missing

// A settings block filled with b, with no driver restart notice between any
// two of them.
std::vector<BYTE> Block(BYTE b);

// Whether the shell holds an icon for the window: a change of nothing
// succeeds only for an icon it knows.
bool IconShown(HWND hwnd);
