#include "daemon/protected_list.h"

#include <windows.h>
#include <mbstring.h>

#include <cstring>

#include "daemon/daemon_names.h"
#include "daemon/daemon_window.h"
#include "daemon/process_walk.h"
#include "engine/kovashare.h"

namespace {

constexpr size_t kPathBuffer = MAX_PATH;

// A stored path's short form costs a file-system lookup. With thousands of
// stored paths, looking every one up again for each add and each process of
// each tick would stall the main thread, so a normalized form is reused for
// this long; a file that appears or goes is noticed within one watch period.
constexpr DWORD kNormalizedFormTtlMs = 5000;

struct StoredPath {
  std::string text;        // upper case, at most 259 bytes
  std::string normalized;  // short form (or the text itself), upper case
  DWORD normalized_at = 0;
};

struct ProtectedList {
  ProtectedList() { InitializeCriticalSection(&lock); }
  ~ProtectedList() { DeleteCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  std::vector<StoredPath> paths;
};

// Constructed before WinMain runs (see g_listReady) and destroyed at exit.
ProtectedList& List() {
  static ProtectedList list;
  return list;
}
const bool g_listReady = (List(), true);

class ListLock {
 public:
  ListLock() { EnterCriticalSection(&List().lock); }
  ~ListLock() { LeaveCriticalSection(&List().lock); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;
};

// Short form when the file exists, else the text itself; then upper case.
std::string Normalize(const char* path) {
  char out[kPathBuffer] = {};
  DWORD length = GetShortPathNameA(path, out, kPathBuffer);
  if (length == 0 || length >= kPathBuffer || out[0] == '\0') {
    std::strncpy(out, path, kPathBuffer - 1);
    out[kPathBuffer - 1] = '\0';
  }
  _mbsupr(reinterpret_cast<unsigned char*>(out));
  return out;
}

bool Contains(const std::string& outer, const std::string& inner) {
  return _mbsstr(reinterpret_cast<const unsigned char*>(outer.c_str()),
                 reinterpret_cast<const unsigned char*>(inner.c_str())) != nullptr;
}

// Caller holds the lock.
const std::string& FreshNormalized(StoredPath& stored, DWORD now) {
  if (stored.normalized.empty() || now - stored.normalized_at >= kNormalizedFormTtlMs) {
    stored.normalized = Normalize(stored.text.c_str());
    stored.normalized_at = now;
  }
  return stored.normalized;
}

}  // namespace

bool PathContains(const char* outer, const char* inner) {
  return Contains(Normalize(outer), Normalize(inner));
}

bool IsCoveredPath(const char* path) {
  const std::string inner = Normalize(path);
  const DWORD now = GetTickCount();
  ListLock hold;
  for (StoredPath& stored : List().paths) {
    if (Contains(FreshNormalized(stored, now), inner)) return true;
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
    List().paths.push_back(StoredPath{text, std::string(), 0});
  }
  return true;
}

void SnapshotProtectedPaths(std::vector<std::string>* out) {
  const DWORD now = GetTickCount();
  ListLock hold;
  out->clear();
  out->reserve(List().paths.size());
  for (StoredPath& stored : List().paths) out->push_back(FreshNormalized(stored, now));
}

void ClearProtectedProcesses() {
  ListLock hold;
  List().paths.clear();
}

int MatchProtectedProcess(const char* path, void* context) {
  const auto* normalized_paths = static_cast<const std::vector<std::string>*>(context);
  const std::string inner = Normalize(path);
  for (const std::string& stored : *normalized_paths) {
    if (Contains(stored, inner)) return 1;
  }
  return 0;
}

bool ReportGameState() {
  std::vector<std::string> snapshot;
  SnapshotProtectedPaths(&snapshot);
  const bool running = WalkProcesses(&snapshot, MatchProtectedProcess) == 1;
  KovaShareSetGameRunning(running ? 1 : 0);
  return running;
}

void OnWatchTimer() {
  if (ReportGameState()) return;
  if (FindWindowA(nullptr, kLauncherWindowTitle) != nullptr) return;
  OutputDebugStringA("All protected process and launch process quited!");
  KillTimer(g_hDaemonWnd, kWatchTimerId);
  PostQuitMessage(0);
}
