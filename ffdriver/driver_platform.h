// The calls through which the driver keeps time, waits and writes to its
// controller. Each member defaults to the real Windows call; an Effect
// Driver uses the system's set unless a test hands it one that answers
// these calls itself. Everything else in the driver calls Windows directly.
#pragma once

#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

// Windows 10 1803 and later; older headers lack the name.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

struct DriverPlatform {
    // The Rumble Thread's clock and its waits.
    BOOL(WINAPI* QueryPerformanceCounter)(LARGE_INTEGER*) = ::QueryPerformanceCounter;
    BOOL(WINAPI* QueryPerformanceFrequency)(LARGE_INTEGER*) = ::QueryPerformanceFrequency;
    HANDLE(WINAPI* CreateWaitableTimerExW)
    (LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) = ::CreateWaitableTimerExW;
    BOOL(WINAPI* SetWaitableTimer)
    (HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL) = ::SetWaitableTimer;
    DWORD(WINAPI* WaitForMultipleObjects)(DWORD, const HANDLE*, BOOL, DWORD) = ::WaitForMultipleObjects;
    VOID(WINAPI* Sleep)(DWORD) = ::Sleep;

    // The Motor Report, the end of a write that takes too long, and the
    // report length of the device it goes to.
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;
    BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED) = ::CancelIoEx;
    DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD) = ::WaitForSingleObject;
    BOOLEAN(WINAPI* HidD_GetPreparsedData)(HANDLE, PHIDP_PREPARSED_DATA*) = ::HidD_GetPreparsedData;
    NTSTATUS(WINAPI* HidP_GetCaps)(PHIDP_PREPARSED_DATA, PHIDP_CAPS) = ::HidP_GetCaps;
    BOOLEAN(WINAPI* HidD_FreePreparsedData)(PHIDP_PREPARSED_DATA) = ::HidD_FreePreparsedData;
};

// The real calls.
const DriverPlatform& SystemPlatform();
