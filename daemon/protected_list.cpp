#include "daemon/protected_list.h"

#include <windows.h>
#include <mbstring.h>

#include <cstring>

#include "daemon/daemon_names.h"
#include "daemon/daemon_window.h"
#include "daemon/process_walk.h"

namespace {

constexpr size_t kPathBuffer = MAX_PATH;

// Set up before WinMain and never deleted before exit: the list lives as long.
struct ProtectedList {
  ProtectedList() { InitializeCriticalSection(&lock); }
  ~ProtectedList() { DeleteCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  std::vector<std::string> paths;
};

ProtectedList& List() {
  static ProtectedList list;
  return list;
}

class ListLock {
 public:
  ListLock() { EnterCriticalSection(&List().lock); }
  ~ListLock() { LeaveCriticalSection(&List().lock); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;
};

// Short form when the file exists, else the text itself; then upper case.
void NormalizeInto(const char* path, char (&out)[kPathBuffer]) {
  out[0] = '\0';
  DWORD length = GetShortPathNameA(path, out, kPathBuffer);
  if (length == 0 || length >= kPathBuffer || out[0] == '\0') {
    std::strncpy(out, path, kPathBuffer - 1);
    out[kPathBuffer - 1] = '\0';
  }
  _mbsupr(reinterpret_cast<unsigned char*>(out));
}

// Constructed before WinMain so that the lock exists before the first command.
const bool g_listReady = (List(), true);

}  // namespace

bool PathContains(const char* outer, const char* inner) {
  char outer_short[kPathBuffer];
  char inner_short[kPathBuffer];
  NormalizeInto(outer, outer_short);
  NormalizeInto(inner, inner_short);
  return _mbsstr(reinterpret_cast<const unsigned char*>(outer_short),
                 reinterpret_cast<const unsigned char*>(inner_short)) != nullptr;
}

bool IsCoveredPath(const char* path) {
  ListLock hold;
  for (const std::string& stored : List().paths) {
    if (PathContains(stored.c_str(), path)) return true;
  }
  return false;
}

bool AddProtectedProcess(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  unsigned char copy[kPathBuffer] = {};
  _mbsnbcpy(copy, reinterpret_cast<const unsigned char*>(path), kPathBuffer - 1);
  copy[kPathBuffer - 1] = '\0';
  _mbsupr(copy);
  const char* text = reinterpret_cast<const char*>(copy);
  if (!IsCoveredPath(text)) {
    ListLock hold;
    List().paths.emplace_back(text);
  }
  return true;
}

void SnapshotProtectedPaths(std::vector<std::string>* out) {
  ListLock hold;
  *out = List().paths;
}

void ClearProtectedProcesses() {
  ListLock hold;
  List().paths.clear();
}

int MatchProtectedProcess(const char* path, void* context) {
  const auto* paths = static_cast<const std::vector<std::string>*>(context);
  for (const std::string& stored : *paths) {
    if (PathContains(stored.c_str(), path)) return 1;
  }
  return 0;
}

void OnWatchTimer() {
  std::vector<std::string> snapshot;
  SnapshotProtectedPaths(&snapshot);
  if (WalkProcesses(&snapshot, MatchProtectedProcess) == 1) return;
  if (FindWindowA(nullptr, kLauncherWindowTitle) != nullptr) return;
  OutputDebugStringA("All protected process and launch process quited!");
  KillTimer(g_hDaemonWnd, kWatchTimerId);
  PostQuitMessage(0);
}
