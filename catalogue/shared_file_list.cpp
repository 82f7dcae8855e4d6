#include "catalogue/shared_file_list.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "catalogue/engine_key_watch.h"
#include "catalogue/entry_name.h"
#include "catalogue/file_check.h"
#include "catalogue/registry_value.h"
#include "catalogue/tracker_announcer.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/log.h"

namespace {

// 不存在的MD5: %s
constexpr char kMsgNoSuchMd5[] = "\xB2\xBB\xB4\xE6\xD4\xDA\xB5\xC4MD5: %s";
// 打开键 %s 失败!
constexpr char kMsgOpenKeyFailed[] = "\xB4\xF2\xBF\xAA\xBC\xFC %s \xCA\xA7\xB0\xDC!";
// 删除文件列表项: %s
constexpr char kMsgRemovingItem[] =
    "\xC9\xBE\xB3\xFD\xCE\xC4\xBC\xFE\xC1\xD0\xB1\xED\xCF\xEE: %s";
// 服务文件%s: %s
constexpr char kMsgServing[] = "\xB7\xFE\xCE\xF1\xCE\xC4\xBC\xFE%s: %s";
// 删除注册表键值: %s
constexpr char kMsgDeletingKey[] = "\xC9\xBE\xB3\xFD\xD7\xA2\xB2\xE1\xB1\xED\xBC\xFC\xD6\xB5: %s";

constexpr char kThreadName[] = "FileList";
constexpr char kWatchThreadName[] = "CatalogueWatch";

// The pruning reads shorter paths than the lookup does, so a long path is
// served but never pruned.
constexpr DWORD kPrunePathLimit = 255;
constexpr DWORD kPruneTimeLimit = 255;
// Sub key names are enumerated into 255 characters, the NUL included.
constexpr DWORD kNameBufferChars = 255;

std::atomic<void (*)()> g_keyRecreatedHook{nullptr};
std::atomic<void (*)()> g_keyChangedHook{nullptr};

std::mutex g_catalogueMutex;
std::atomic<void (*)()> g_lockWaitingHook{nullptr};
std::atomic<void (*)()> g_lockStepHook{nullptr};

bool IsCurrent(const CatalogueEntry& entry) {
  return FileExists(entry.local_path) &&
         !FileChanged(entry.local_path, entry.length, entry.modify_time);
}

// Builds the catalogue once: prune, then start its thread. Other first callers
// wait on the static's guard in Instance until this has returned.
SharedFileList* CreateCatalogue() {
  static std::unique_ptr<SharedFileList> holder(new SharedFileList());
  SharedFileList* list = holder.get();
  list->PruneEntries();
  // Without a thread manager (tools and tests that load the catalogue alone)
  // the catalogue still answers lookups; it just has no thread.
  if (IThreadManager* runtime = g_runtime) {
    if (IThread* thread = runtime->NewThread(list, kThreadName, true, 0)) thread->Start();
    list->StartWatch(runtime);
  }
  return list;
}

}  // namespace

CatalogueLock::CatalogueLock() {
  if (g_catalogueMutex.try_lock()) return;
  if (void (*hook)() = g_lockWaitingHook.load()) hook();
  g_catalogueMutex.lock();
}

CatalogueLock::~CatalogueLock() { g_catalogueMutex.unlock(); }

void CatalogueLock::Step() {
  if (void (*hook)() = g_lockStepHook.load()) hook();
}

void SetCatalogueTestHooks(void (*waiting)(), void (*step)()) {
  g_lockWaitingHook = waiting;
  g_lockStepHook = step;
}

SharedFileList* SharedFileList::Instance() {
  // A function-local static is initialised exactly once even when connection
  // threads race the engine start here; latecomers block until it is done.
  static SharedFileList* const instance = CreateCatalogue();
  return instance;
}

void SharedFileList::SetKeyRecreatedHook(void (*hook)()) { g_keyRecreatedHook = hook; }
void SharedFileList::SetKeyChangedHook(void (*hook)()) { g_keyChangedHook = hook; }

void SharedFileList::StartWatch(IThreadManager* manager) {
  auto* watch = new EngineKeyWatch(&m_view);
  if (void (*hook)() = g_keyRecreatedHook.load()) watch->SetOnRecreated(hook);
  if (void (*hook)() = g_keyChangedHook.load()) watch->SetOnChanged(hook);
  IThread* thread = manager->NewThread(watch, kWatchThreadName, true, 0);
  if (thread == nullptr) {
    watch->Release();
    return;
  }
  thread->Start();
}

bool SharedFileList::ReadFromRegistry(const std::string& md5, CatalogueEntry* entry,
                                      bool log_miss) {
  if (!IsUsableEntryName(md5)) {
    if (log_miss) LogInfo(kMsgNoSuchMd5, md5.c_str());
    return false;
  }
  const std::string key_path = g_regPath + "\\" + md5;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, key_path.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
    if (log_miss) LogInfo(kMsgNoSuchMd5, md5.c_str());
    return false;
  }
  return ReadCatalogueEntry(key.get(), kLookupPathLimit, kLookupTimeLimit, entry);
}

void SharedFileList::DeleteEntry(const std::string& md5) {
  // Deletion failures are left alone: the next lookup meets the entry again.
  RegDeleteKeyA(g_regRoot, (g_regPath + "\\" + md5).c_str());
  m_view.Erase(md5);
}

bool SharedFileList::FindEntry(const std::string& md5, CatalogueEntry* entry) {
  if (m_view.Find(md5, entry)) return true;
  return ReadFromRegistry(md5, entry, true);
}

bool SharedFileList::RecheckEntry(const std::string& md5, const CatalogueEntry& seen,
                                  CatalogueEntry* fresh) {
  CatalogueLock lock;
  CatalogueEntry stored;
  if (!ReadFromRegistry(md5, &stored, false)) return false;
  if (!(stored == seen)) {
    *fresh = stored;
    return true;
  }
  CatalogueLock::Step();
  DeleteEntry(md5);
  return false;
}

bool SharedFileList::MarkVerified(const std::string& md5, const CatalogueEntry& seen) {
  if (!IsUsableEntryName(md5)) return false;
  CatalogueLock lock;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, (g_regPath + "\\" + md5).c_str(), 0, KEY_ALL_ACCESS,
                    key.put()) != ERROR_SUCCESS) {
    return false;
  }
  CatalogueEntry stored;
  if (!ReadCatalogueEntry(key.get(), kLookupPathLimit, kLookupTimeLimit, &stored) ||
      !(stored == seen)) {
    return false;
  }
  CatalogueLock::Step();
  return WriteDwordValue(key.get(), kVerifiedValue, 1) == ERROR_SUCCESS;
}

bool SharedFileList::DeleteIfUnchanged(const std::string& md5, const CatalogueEntry& seen) {
  CatalogueLock lock;
  CatalogueEntry stored;
  if (!ReadFromRegistry(md5, &stored, false) || !(stored == seen)) return false;
  CatalogueLock::Step();
  DeleteEntry(md5);
  return true;
}

std::string SharedFileList::GetLocalPath(const std::string& md5) {
  CatalogueEntry entry;
  if (!FindEntry(md5, &entry)) return std::string();
  // The view may lag the registry by a moment: one fresher try before deleting.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (IsCurrent(entry)) return entry.local_path;
    if (!RecheckEntry(md5, entry, &entry)) return std::string();
  }
  return std::string();
}

void SharedFileList::PruneEntries() {
  zrvd::unique_hkey engine;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_ALL_ACCESS, engine.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  // Deleting during the enumeration would shift the indexes under it.
  std::vector<std::string> doomed;
  for (DWORD index = 0;; ++index) {
    char name[kNameBufferChars];
    DWORD name_chars = kNameBufferChars;
    if (RegEnumKeyExA(engine.get(), index, name, &name_chars, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    zrvd::unique_hkey sub;
    if (RegOpenKeyExA(engine.get(), name, 0, KEY_ALL_ACCESS, sub.put()) != ERROR_SUCCESS) {
      LogInfo(kMsgOpenKeyFailed, name);
      continue;
    }
    CatalogueEntry entry;
    if (!ReadCatalogueEntry(sub.get(), kPrunePathLimit, kPruneTimeLimit, &entry)) continue;
    sub.reset();
    if (!IsCurrent(entry) || IsOlderThan30Days(entry.modify_time)) {
      LogInfo(kMsgRemovingItem, entry.local_path.c_str());
      doomed.emplace_back(name, name_chars);
    } else {
      LogInfo(kMsgServing, name, entry.local_path.c_str());
    }
  }
  for (const std::string& name : doomed) {
    LogInfo(kMsgDeletingKey, name.c_str());
    RegDeleteKeyA(engine.get(), name.c_str());
  }
}

// The static holder owns the one object until the process ends. Its thread's
// Run never returns, so the framework never releases it either; should it ever,
// leaving the object to the holder keeps it from being deleted twice.
void SharedFileList::Release() {}

int32_t SharedFileList::Run() { RunAnnouncer(); }

int32_t SharedFileList::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

SharedFileList::~SharedFileList() = default;
