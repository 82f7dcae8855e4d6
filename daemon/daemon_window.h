// The daemon's hidden window: the launcher's commands and the watch timer
// arrive on it, and its message loop is the daemon's main loop.
#pragma once

#include <windows.h>

constexpr UINT_PTR kWatchTimerId = 1;  // WATCH_TIMER_ID
constexpr UINT kWatchPeriodMs = 5000;
// After an add the engine learns whether the game runs; a launcher's burst of
// adds is answered with one process walk, this long after the first of them.
constexpr UINT_PTR kGameCheckTimerId = 2;
constexpr UINT kGameCheckDelayMs = 200;

extern HWND g_hDaemonWnd;

bool CreateDaemonWindow(HINSTANCE instance);
void RunMessageLoop();
LRESULT CALLBACK DaemonWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void OnCopyData(const COPYDATASTRUCT* data);
