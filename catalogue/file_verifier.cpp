#include "catalogue/file_verifier.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "catalogue/entry_name.h"
#include "catalogue/file_check.h"
#include "catalogue/read_budget.h"
#include "catalogue/registry_value.h"
#include "catalogue/shared_file_list.h"
#include "common/unique_any.h"
#include "identity/md5.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

constexpr char kThreadName[] = "FileCheck";
constexpr char kBudgetValue[] = "VerifyReadMBps";
constexpr char kSwitchValue[] = "VerifyFiles";
constexpr DWORD kPieceBytes = 1 << 20;
// Entries written by other programs wake no one: a pass now and then finds them.
constexpr DWORD kIdlePassMs = 10 * 60 * 1000;
constexpr DWORD kGameWaitMs = 1000;
#ifndef THREAD_MODE_BACKGROUND_BEGIN
#define THREAD_MODE_BACKGROUND_BEGIN 0x00010000
#endif

constexpr char kMsgMismatch[] =
    "File check: %s does not match its MD5 %s; entry deleted, the file is no longer shared";
constexpr char kMsgMatched[] = "File check: %s matches its MD5 %s";
constexpr char kMsgBackground[] = "File checks run in background mode (low I/O and CPU priority)";
constexpr char kMsgNoThread[] =
    "File checks not started: no thread for them; trying again at the next pass";
constexpr char kMsgIdle[] =
    "File checks run at idle priority; background mode refused (error %lu)";

struct Checker {
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  std::atomic<bool> all{false};
  std::atomic<bool (*)()> game_running{nullptr};
  std::mutex start_mutex;  // guards the thread's start and the two below
  IThreadManager* manager = nullptr;
  bool running = false;
  std::mutex mutex;  // guards the two figures below, never held across I/O
  uint64_t failed = 0;
  std::string checking;
  std::vector<FailedFile> recent;
};

Checker& State() {
  static Checker checker;
  return checker;
}

void SetChecking(const std::string& md5) {
  Checker& checker = State();
  std::lock_guard<std::mutex> lock(checker.mutex);
  checker.checking = md5;
}

bool GameRunning() {
  bool (*running)() = State().game_running.load();
  return running != nullptr && running();
}

// A REG_DWORD of the engine key; `fallback` when absent or of another type.
DWORD ReadSetting(const char* name, DWORD fallback) {
  zrvd::unique_hkey key;
  DWORD value = fallback;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
          ERROR_SUCCESS ||
      !ReadDwordValue(key.get(), name, &value)) {
    return fallback;
  }
  return value;
}

uint64_t ReadBudgetSetting() {
  return static_cast<uint64_t>(ReadSetting(kBudgetValue, kDefaultVerifyReadMBps)) << 20;
}

bool ChecksEnabled() { return ReadSetting(kSwitchValue, 1) != 0; }

// Milliseconds that never wrap.
uint64_t NowMs() { return GetTickCount64(); }

bool IsMd5Text(const std::string& name) {
  if (name.size() != 32) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

enum class Outcome { kMatch, kMismatch, kUndecided };

// Opens the file for a check at `offset`, sharing everything: other programs
// may delete, rename or replace it meanwhile. INVALID_HANDLE_VALUE unless the
// file still has the entry's size and time.
HANDLE OpenAt(const CatalogueEntry& entry, int64_t offset) {
  zrvd::unique_hfile file(CreateFileA(entry.local_path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  int64_t size = 0;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!file || !OpenFileMatchesEntry(file.get(), entry, &size) ||
      !SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) {
    return INVALID_HANDLE_VALUE;
  }
  return file.release();
}

// Reads the whole file, checked against the entry at every open and at the
// end, so the digest is of the file the entry describes. The file is closed
// before every wait (for the game, for the budget) and opened again after it.
// A file that changed or went meanwhile is the lookup's and the pruning's
// business: undecided, without a line.
Outcome HashFile(const CatalogueEntry& entry, const std::string& md5) {
  std::vector<uint8_t> buffer(kPieceBytes);
  MD5Context context = {};
  MD5Init(&context);
  ReadBudget budget(ReadBudgetSetting());
  budget.Start(NowMs());
  zrvd::unique_hfile file;
  int64_t offset = 0;
  for (;;) {
    if (GameRunning()) {
      file.reset();
      while (GameRunning()) Sleep(kGameWaitMs);
      budget.Start(NowMs());
    }
    if (!file) {
      file.reset(OpenAt(entry, offset));
      if (!file) return Outcome::kUndecided;
    }
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), kPieceBytes, &got, nullptr)) {
      return Outcome::kUndecided;
    }
    if (got == 0) break;
    offset += got;
    MD5Update(&context, buffer.data(), got);
    if (const uint32_t delay = budget.DelayAfter(got, NowMs())) {
      file.reset();
      Sleep(delay);
    }
  }
  int64_t size = 0;
  if (!OpenFileMatchesEntry(file.get(), entry, &size)) return Outcome::kUndecided;
  uint8_t digest[16];
  MD5Final(&context, digest);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < 16; ++i) {
    const char high = kHex[digest[i] >> 4];
    const char low = kHex[digest[i] & 15];
    if ((md5[2 * i] | 0x20) != high || (md5[2 * i + 1] | 0x20) != low) return Outcome::kMismatch;
  }
  return Outcome::kMatch;
}

struct Candidate {
  std::string md5;
  CatalogueEntry entry;
};

std::vector<Candidate> ReadCandidates(bool all) {
  std::vector<Candidate> found;
  zrvd::unique_hkey engine;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_READ, engine.put()) != ERROR_SUCCESS) {
    return found;
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD name_chars = sizeof(name);
    const LONG status =
        RegEnumKeyExA(engine.get(), index, name, &name_chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    Candidate candidate{std::string(name, name_chars), CatalogueEntry()};
    if (!IsMd5Text(candidate.md5)) continue;
    zrvd::unique_hkey sub;
    if (RegOpenKeyExA(engine.get(), name, 0, KEY_QUERY_VALUE, sub.put()) != ERROR_SUCCESS ||
        !ReadCatalogueEntry(sub.get(), kLookupPathLimit, kLookupTimeLimit, &candidate.entry)) {
      continue;
    }
    if (all || !candidate.entry.verified) found.push_back(std::move(candidate));
  }
  return found;
}

void CheckOne(const Candidate& candidate) {
  SetChecking(candidate.md5);
  const Outcome outcome = HashFile(candidate.entry, candidate.md5);
  SetChecking(std::string());
  SharedFileList* list = SharedFileList::Instance();
  if (outcome == Outcome::kMatch) {
    if (list->MarkVerified(candidate.md5, candidate.entry)) {
      LogInfo(kMsgMatched, candidate.entry.local_path.c_str(), candidate.md5.c_str());
    }
  } else if (outcome == Outcome::kMismatch) {
    if (list->DeleteIfUnchanged(candidate.md5, candidate.entry)) {
      LogInfo(kMsgMismatch, candidate.entry.local_path.c_str(), candidate.md5.c_str());
      Checker& checker = State();
      std::lock_guard<std::mutex> lock(checker.mutex);
      ++checker.failed;
      if (checker.recent.size() == kRecentFailed) checker.recent.erase(checker.recent.begin());
      checker.recent.push_back(
          FailedFile{candidate.md5, candidate.entry.local_path, candidate.entry.length});
    }
  }
}

void EnterBackgroundMode() {
  // Background mode lowers I/O priority too; where it is refused (Wine), idle
  // CPU priority is what is left.
  if (SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN)) {
    LogInfo(kMsgBackground);
    return;
  }
  const DWORD error = GetLastError();
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
  LogInfo(kMsgIdle, static_cast<unsigned long>(error));
}

class FileCheckThread : public IThreadHandler {
 public:
  void Release() override { delete this; }
  int32_t Run() override {
    EnterBackgroundMode();
    Checker& checker = State();
    for (;;) {
      // A share arriving during a pass sets the event again: the next pass finds it.
      const bool all = checker.all.exchange(false);
      if (ChecksEnabled()) {
        for (const Candidate& candidate : ReadCandidates(all)) {
          // Switched off half-way: the rest stay pending.
          if (!ChecksEnabled()) break;
          CheckOne(candidate);
        }
      }
      WaitForSingleObject(checker.wake.get(), kIdlePassMs);
    }
  }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }
};

// Starts the thread unless it runs; a refusal is logged and left for the next
// request of a pass to try again. Called with `start_mutex` held.
void StartThreadLocked(Checker& checker) {
  if (checker.running || checker.manager == nullptr || !checker.wake) return;
  auto* handler = new FileCheckThread;
  IThread* thread = checker.manager->NewThread(handler, kThreadName, true, 0);
  if (thread == nullptr) {
    handler->Release();
    LogInfo(kMsgNoThread);
    return;
  }
  // An auto-delete thread that fails to start has released its handler.
  if (thread->Start() != 0) {
    LogInfo(kMsgNoThread);
    return;
  }
  checker.running = true;
}

}  // namespace

void StartFileVerifier(IThreadManager* manager, bool (*game_running)()) {
  Checker& checker = State();
  if (manager == nullptr) return;
  std::lock_guard<std::mutex> lock(checker.start_mutex);
  if (checker.manager != nullptr) return;
  checker.game_running = game_running;
  checker.manager = manager;
  StartThreadLocked(checker);
}

void RequestFileCheck(bool all) {
  Checker& checker = State();
  if (all) checker.all = true;
  {
    std::lock_guard<std::mutex> lock(checker.start_mutex);
    StartThreadLocked(checker);
  }
  if (checker.wake) SetEvent(checker.wake.get());
}

FileCheckFigures ReadFileCheckFigures() {
  Checker& checker = State();
  std::lock_guard<std::mutex> lock(checker.mutex);
  return FileCheckFigures{checker.failed, checker.checking, checker.recent};
}
