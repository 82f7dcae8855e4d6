#include "daemon/daemon_window.h"

#include <cstdio>

#include "daemon/command_record.h"
#include "daemon/daemon_names.h"
#include "daemon/protected_list.h"
#include "engine/kovashare.h"

HWND g_hDaemonWnd = nullptr;

namespace {
bool g_gameCheckPending = false;
}  // namespace

bool CreateDaemonWindow(HINSTANCE instance) {
  WNDCLASSEXA window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = DaemonWndProc;
  window_class.hInstance = instance;
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kDaemonWindowClass;
  if (RegisterClassExA(&window_class) == 0) return false;

  g_hDaemonWnd = CreateWindowExA(0, kDaemonWindowClass, kDaemonWindowTitle, WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance,
                                 nullptr);
  if (g_hDaemonWnd == nullptr) return false;
  // Never shown: other processes find it by class and title only.
  UpdateWindow(g_hDaemonWnd);
  SetTimer(g_hDaemonWnd, kWatchTimerId, kWatchPeriodMs, nullptr);
  return true;
}

void RunMessageLoop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void OnCopyData(const COPYDATASTRUCT* data) {
  if (data == nullptr) return;
  const DaemonCommand command = ParseCommandRecord(data->lpData, data->cbData);
  switch (command.kind) {
    case DaemonCommandKind::kAddProtected: {
      AddProtectedProcess(command.path.c_str());
      char line[MAX_PATH];
      std::snprintf(line, sizeof(line), "Add: %s", command.path.c_str());
      OutputDebugStringA(line);
      if (!g_gameCheckPending) {
        g_gameCheckPending =
            SetTimer(g_hDaemonWnd, kGameCheckTimerId, kGameCheckDelayMs, nullptr) != 0;
      }
      break;
    }
    case DaemonCommandKind::kQuit:
      OutputDebugStringA("Receive quit cmd");
      DestroyWindow(g_hDaemonWnd);
      break;
    case DaemonCommandKind::kIgnore:
      break;
  }
}

LRESULT CALLBACK DaemonWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      KillTimer(g_hDaemonWnd, kWatchTimerId);
      PostQuitMessage(0);
      return 0;
    // Shutdown or log-off: the process ends soon after WM_ENDSESSION returns, so the
    // month's count is saved and the mapping on the router removed here (3 s at
    // most in all; log lines are written straight to the file, nothing is buffered).
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam) {
        OutputDebugStringA("Session ends");
        KovaShareFinish();
      }
      return 0;
    case WM_COPYDATA:
      OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lparam));
      return 0;
    case WM_TIMER:
      if (wparam == kWatchTimerId) OnWatchTimer();
      if (wparam == kGameCheckTimerId) {
        KillTimer(g_hDaemonWnd, kGameCheckTimerId);
        g_gameCheckPending = false;
        ReportGameState();
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}
