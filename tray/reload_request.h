// The Reload Request on its way to one controller. The UI thread sends it
// and waits for it, but only so long: a controller that does not complete a
// feature report (a wireless link that stalls, a driver that pends it)
// must not keep the program from answering, nor the other controllers from
// their request.
#pragma once

#include <windows.h>

// Long enough for a feature report over a congested wireless link; the wait
// for the cancellation is added, so that a stalled controller costs the UI
// thread at most a quarter of a second.
constexpr DWORD RELOAD_REQUEST_LIMIT_MS = 200;
constexpr DWORD RELOAD_CANCEL_LIMIT_MS = 50;

// Requests that not even their cancellation ended keep their blocks until the
// system is done with them. A controller that holds this many gets no further
// request until one of them ends: another would only wait behind them.
constexpr int MAX_HELD_REQUESTS_PER_CONTROLLER = 4;
constexpr int MAX_HELD_REQUESTS = 16;

// Sends the all-zero Reload Request to the HID collection at the path, at
// the length of its feature report. A controller that cannot be opened for
// writing, or refuses or stalls the request, keeps its previous settings.
void SendReloadRequest(LPCWSTR pszDevicePath);

// Frees the blocks of held requests that the system has completed since;
// each round of requests starts with it.
void ReleaseEndedReloadRequests();
