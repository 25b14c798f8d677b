// The process of the tray program: the single-instance test, the hidden
// window that is never shown, its window procedure and the message loop.
#pragma once

#include "tray/tray_app.h"

#include "common/tray_contract.h"

#include <windows.h>

// Exit code of a second instance: ERROR_ALREADY_EXISTS.
constexpr int EXIT_ALREADY_RUNNING = 183;

// The whole program: returns its exit code.
int RunTrayProgram(HINSTANCE hInstance);

// The parts of RunTrayProgram, for the tests that drive a real hidden window.
BOOL RegisterTrayWindowClass(HINSTANCE hInstance);
// Null when the window or the Tray App could not be created.
HWND CreateTrayWindow(HINSTANCE hInstance);
LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// The Tray App of the hidden window; null before WM_CREATE built it and after
// WM_DESTROY tore it down.
TrayApp* GetTrayApp();
