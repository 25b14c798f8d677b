// How the other processes meet the tray program: the hidden window they find
// by its class and title and post the reload message to, and the named
// mutexes by which one process sees that another is there.
#pragma once

#include <windows.h>

// The hidden window, which is never shown.
#define TRAY_WINDOW_CLASS L"quellin class"
#define TRAY_WINDOW_TITLE L"quellin window"

// Callback message of the tray icon (wParam 0, the icon id); with wParam 1
// it is the reload message that other processes send.
constexpr UINT WM_TRAYICON = WM_USER + 1;
constexpr WPARAM TRAYICON_NOTIFY = 0;
constexpr WPARAM TRAYICON_RELOAD = 1;

// Held by the running tray program; a second instance finds it and exits.
#define TRAY_INSTANCE_MUTEX_NAME L"quellin mutex"
// The property sheet component holds this mutex from before its sheet is
// shown until the sheet is closed, in whichever process opened it.
#define PROPERTY_SHEET_MUTEX_NAME L"tovarin mutex"
