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
#include "engine/globals.h"
#include "engine/log.h"
#include "engine/thread.h"
#include "identity/md5.h"

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
constexpr char kMsgIdle[] =
    "File checks run at idle priority; background mode refused (error %lu)";

struct Checker {
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  std::atomic<bool> started{false};
  std::atomic<bool> all{false};
  bool (*game_running)() = nullptr;
  std::mutex mutex;  // guards the two figures below, never held across I/O
  uint64_t failed = 0;
  std::string checking;
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
  bool (*running)() = State().game_running;
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

// Milliseconds of GetTickCount widened past its 49-day wrap; only the check's
// own thread calls it (XP has no GetTickCount64).
uint64_t NowMs() {
  static DWORD last = GetTickCount();
  static uint64_t total = 0;
  const DWORD now = GetTickCount();
  total += static_cast<DWORD>(now - last);
  last = now;
  return total;
}

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

// Reads the whole file through one handle, checked against the entry before and
// after, so the digest is of the very file the entry describes.
Outcome HashFile(const CatalogueEntry& entry, const std::string& md5) {
  zrvd::unique_hfile file(CreateFileA(entry.local_path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  int64_t size = 0;
  // A changed or missing file is the lookup's and the pruning's business.
  if (!file || !OpenFileMatchesEntry(file.get(), entry, &size)) return Outcome::kUndecided;
  std::vector<uint8_t> buffer(kPieceBytes);
  MD5Context context = {};
  MD5Init(&context);
  ReadBudget budget(ReadBudgetSetting());
  budget.Start(NowMs());
  for (;;) {
    if (GameRunning()) {
      while (GameRunning()) Sleep(kGameWaitMs);
      budget.Start(NowMs());
    }
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), kPieceBytes, &got, nullptr)) {
      return Outcome::kUndecided;
    }
    if (got == 0) break;
    MD5Update(&context, buffer.data(), got);
    if (const uint32_t delay = budget.DelayAfter(got, NowMs())) Sleep(delay);
  }
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
    }
  }
}

void EnterBackgroundMode() {
  // Background mode (Vista on) lowers I/O priority too; older systems, and
  // Wine, refuse it, and idle CPU priority is what is left.
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

}  // namespace

void StartFileVerifier(IThreadManager* manager, bool (*game_running)()) {
  Checker& checker = State();
  if (manager == nullptr || !checker.wake || checker.started.exchange(true)) return;
  checker.game_running = game_running;
  auto* handler = new FileCheckThread;
  IThread* thread = manager->NewThread(handler, kThreadName, true, 0);
  if (thread == nullptr) {
    handler->Release();
    checker.started = false;
    return;
  }
  thread->Start();
}

void RequestFileCheck(bool all) {
  Checker& checker = State();
  if (all) checker.all = true;
  if (checker.wake) SetEvent(checker.wake.get());
}

FileCheckFigures ReadFileCheckFigures() {
  Checker& checker = State();
  std::lock_guard<std::mutex> lock(checker.mutex);
  return FileCheckFigures{checker.failed, checker.checking};
}
