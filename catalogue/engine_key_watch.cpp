#include "catalogue/engine_key_watch.h"

#include "catalogue/registry_value.h"
#include "runtime/globals.h"
#include "runtime/log.h"

namespace {

constexpr DWORD kWatchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
// A share writes its entry value by value; waking on the first write would read
// a half-written entry. Reads wait this long after a change for the rest.
constexpr DWORD kSettleMs = 10;
// The longest a deleted key, which not every system signals, goes unnoticed;
// also the retry pause while the key cannot be had at all.
constexpr DWORD kKeyCheckMs = 1000;
// Names of entries are MD5 texts; room for longer names keeps the enumeration
// going past a foreign key instead of ending at it.
constexpr DWORD kNameBufferChars = 256;

constexpr char kMsgKeyRecreated[] = "Engine key %s was deleted; created it again";
constexpr char kMsgKeyReopened[] =
    "Engine key %s was deleted and made again by another program; watching the new key";

}  // namespace

EngineKeyWatch::EngineKeyWatch(CatalogueView* view)
    : m_view(view), m_changed(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

bool EngineKeyWatch::OpenKey() {
  const LONG status = RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_READ | KEY_NOTIFY,
                                    m_key.put());
  bool created = false;
  if (status != ERROR_SUCCESS) {
    // A key that never was is someone else's to create; one that went away
    // while the engine runs is put back, so that what others read from it
    // comes back.
    if (status != ERROR_FILE_NOT_FOUND || !m_hadKey) return false;
    if (RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_NOTIFY | KEY_SET_VALUE, nullptr, m_key.put(),
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    created = true;
  }
  const bool again = m_hadKey && (created || m_lost);
  m_hadKey = true;
  m_lost = false;
  if (!again) return true;
  LogInfo(created ? kMsgKeyRecreated : kMsgKeyReopened, g_regPath.c_str());
  m_known.clear();
  if (m_onRecreated) m_onRecreated();
  return true;
}

bool EngineKeyWatch::KeyDeleted() {
  return RegQueryInfoKeyA(m_key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
}

void EngineKeyWatch::ReadIntoView() {
  std::map<std::string, Known> known;
  CatalogueView::Entries entries;
  for (DWORD index = 0;; ++index) {
    char name[kNameBufferChars];
    DWORD name_chars = kNameBufferChars;
    FILETIME written = {};
    const LONG status = RegEnumKeyExA(m_key.get(), index, name, &name_chars, nullptr, nullptr,
                                      nullptr, &written);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    const std::string key_name(name, name_chars);
    const auto last = m_known.find(key_name);
    const bool same_time =
        last != m_known.end() && CompareFileTime(&last->second.written, &written) == 0;
    Known now{written, same_time, false, CatalogueEntry()};
    if (same_time && last->second.settled) {
      now = last->second;
    } else {
      zrvd::unique_hkey sub;
      if (RegOpenKeyExA(m_key.get(), name, 0, KEY_QUERY_VALUE, sub.put()) != ERROR_SUCCESS) {
        continue;
      }
      now.readable =
          ReadCatalogueEntry(sub.get(), kLookupPathLimit, kLookupTimeLimit, &now.entry);
    }
    // An unreadable entry stays out of the view: lookups of it go to the
    // registry, which answers as it always has.
    if (now.readable) entries.emplace(key_name, now.entry);
    known.emplace(key_name, std::move(now));
  }
  m_known.swap(known);
  m_view->Replace(entries);
}

bool EngineKeyWatch::Refresh() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!m_key && !OpenKey()) break;
    const bool armed =
        m_changed && RegNotifyChangeKeyValue(m_key.get(), TRUE, kWatchedChanges, m_changed.get(),
                                             TRUE) == ERROR_SUCCESS;
    // Asked after arming: a deletion after this wakes the wait or meets its
    // next check. A key of the same name may exist again by now; the handle
    // still names the deleted one and would never be told of a change.
    if (KeyDeleted()) {
      m_key.reset();
      m_lost = true;
      continue;
    }
    if (armed) {
      ReadIntoView();
      if (m_onChanged) m_onChanged();
      return true;
    }
    m_key.reset();
  }
  m_known.clear();
  m_view->Clear();
  if (m_onChanged) m_onChanged();
  return false;
}

bool EngineKeyWatch::WaitForChange(DWORD timeout_ms) {
  if (!m_key || !m_changed) {
    Sleep(timeout_ms);
    return true;
  }
  if (WaitForSingleObject(m_changed.get(), timeout_ms) == WAIT_OBJECT_0) {
    Sleep(kSettleMs);
    return true;
  }
  // Not every system signals a deleted key, and asking for the key by its name
  // would find one made again at once: the handle itself is asked.
  return KeyDeleted();
}

void EngineKeyWatch::Release() { delete this; }

int32_t EngineKeyWatch::Run() {
  for (;;) {
    Refresh();
    while (!WaitForChange(kKeyCheckMs)) {
    }
  }
}

int32_t EngineKeyWatch::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

EngineKeyWatch::~EngineKeyWatch() = default;
