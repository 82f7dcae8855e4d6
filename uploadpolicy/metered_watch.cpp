#include "uploadpolicy/metered_watch.h"

#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <netlistmgr.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/registry_read.h"
#include "runtime/thread.h"
#include "uploadpolicy/lan_adapters.h"
#include "uploadpolicy/peer_class.h"

namespace {

constexpr char kThreadName[] = "UploadCost";
constexpr DWORD kLookSeconds = 60;
// Test benches ask more often; never less often than every minute.
constexpr char kLookEnv[] = "ZRVD_COST_POLL_SECONDS";

constexpr char kValueMonth[] = "UploadMonth";
constexpr char kValueInternet[] = "UploadMonthInternetBytes";
constexpr char kValueLan[] = "UploadMonthLanBytes";

constexpr char kMsgNoCost[] =
    "Connection cost not available (%s, 0x%08lX): internet peers are served as on any connection";
constexpr char kMsgMetered[] = "Connection metered (cost 0x%lX): internet peers %s";
constexpr char kMsgNotMetered[] = "Connection not metered (%s): internet peers are served";
constexpr char kMsgNewMonth[] = "New month %s: the monthly upload count starts afresh";
constexpr char kMsgBadCount[] =
    "Stored monthly upload count ignored (%s): the count of %s starts afresh";
constexpr char kMsgClockBehind[] =
    "The clock (%s) is before the month counted, %s: its count is kept until the clock passes it";
constexpr char kMsgCostFailed[] =
    "Connection cost question failed (0x%08lX): the last known cost stays in force; asking anew";
constexpr char kMsgCostBack[] = "Connection cost answered again";

// The published GUIDs, here so that no import library has to carry them.
const CLSID kClsidNetworkListManager = {
    0xdcb00c01, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
const IID kIidCostManager = {
    0xdcb00008, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
const IID kIidCostManagerEvents = {
    0xdcb00009, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
const IID kIidConnectionPointContainer = {
    0xb196b284, 0xbab4, 0x101a, {0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07}};
const IID kIidUnknown = {0, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};

struct Watch {
  // The stop reads these without a lock: at a DLL's process detach the thread
  // may have been ended while it held one.
  std::atomic<bool> started{false};
  std::atomic<bool> stopping{false};
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  zrvd::unique_handle thread_owner;  // the thread's own handle, once it runs
  std::atomic<HANDLE> thread{nullptr};
  // The saves' own lock: the finish saves first, before anything slow, and no
  // other lock of the engine is held around it.
  std::mutex save_mutex;
  // What the key holds now, so that an unchanged count is not written again.
  int32_t stored_month = 0;
  uint64_t stored_internet = 0;
  uint64_t stored_lan = 0;
};

Watch& State() {
  static Watch watch;
  return watch;
}

// The cost events only wake the thread, which asks again: a hint, not the answer.
// On the heap and counted: the cost manager may hold it past the reader's end.
class CostEvents final : public INetworkCostManagerEvents {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, kIidUnknown) || IsEqualIID(iid, kIidCostManagerEvents)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CostChanged(DWORD, NLM_SOCKADDR*) override { return Wake(); }
  HRESULT STDMETHODCALLTYPE DataPlanStatusChanged(NLM_SOCKADDR*) override { return Wake(); }

 private:
  static HRESULT Wake() {
    SetEvent(State().wake.get());
    return S_OK;
  }
  std::atomic<ULONG> m_refs{1};
};

struct MonthNow {
  int32_t month = 0;
  int64_t seconds_left = 0;
};

MonthNow ThisMonth() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  const LocalClock clock = {local.wYear, local.wMonth, local.wDay,
                            local.wHour, local.wMinute, local.wSecond};
  return {YearMonth(local.wYear, local.wMonth), SecondsToNextMonth(clock)};
}

zrvd::unique_hkey OpenEngineKey(REGSAM access) {
  zrvd::unique_hkey key;
  RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, access, key.put());
  return key;
}

// The month's count from the engine key, or a fresh one.
void LoadMonthCount() {
  const MonthNow now = ThisMonth();
  StoredMonthCount stored;
  {
    zrvd::unique_hkey key = OpenEngineKey(KEY_QUERY_VALUE);
    stored.month = ReadStoredValue(key.get(), kValueMonth, REG_DWORD);
    stored.internet_bytes = ReadStoredValue(key.get(), kValueInternet, REG_QWORD);
    stored.lan_bytes = ReadStoredValue(key.get(), kValueLan, REG_QWORD);
  }
  std::string why;
  const StoredVerdict verdict = CheckStoredCount(stored, now.month, &why);
  const std::string month = MonthText(now.month);
  const std::time_t clock = std::time(nullptr);
  Watch& watch = State();
  if (verdict == StoredVerdict::kThisMonth || verdict == StoredVerdict::kLater) {
    // The month only moves forward: a clock set back counts on in the stored month
    // (the thread's first look says so).
    const int32_t counted = static_cast<int32_t>(stored.month.value);
    // A budget spent before the restart is still spent: that is a change too.
    UploadBook::Shared().StartMonth(counted, stored.internet_bytes.value,
                                    stored.lan_bytes.value, now.seconds_left, clock);
    std::lock_guard<std::mutex> lock(watch.save_mutex);
    watch.stored_month = counted;
    watch.stored_internet = stored.internet_bytes.value;
    watch.stored_lan = stored.lan_bytes.value;
    return;
  }
  if (verdict == StoredVerdict::kBad) {
    LogInfo(kMsgBadCount, why.c_str(), month.c_str());
  } else if (stored.month.kind != StoredValue::Kind::kAbsent) {
    LogInfo(kMsgNewMonth, month.c_str());
  }
  UploadBook::Shared().StartMonth(now.month, 0, 0, now.seconds_left, clock);
}

// Writes the count when it moved: the bytes first, so that a crash between the
// writes leaves an old month (counted afresh), never new bytes under it.
void SaveMonthCount() {
  Watch& watch = State();
  std::lock_guard<std::mutex> lock(watch.save_mutex);
  const UploadBook::Figures figures = UploadBook::Shared().Read();
  // Nothing counted and nothing stored: the key stays as it was.
  const bool nothing = watch.stored_month == 0 && figures.month_internet_bytes == 0 &&
                       figures.month_lan_bytes == 0;
  const bool kept = figures.month == watch.stored_month &&
                    figures.month_internet_bytes == watch.stored_internet &&
                    figures.month_lan_bytes == watch.stored_lan;
  if (figures.month == 0 || nothing || kept) return;
  zrvd::unique_hkey key = OpenEngineKey(KEY_SET_VALUE);
  if (!key) return;
  const uint64_t internet = figures.month_internet_bytes;
  const uint64_t lan = figures.month_lan_bytes;
  const DWORD month = static_cast<DWORD>(figures.month);
  RegSetValueExA(key.get(), kValueInternet, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&internet),
                 sizeof(internet));
  RegSetValueExA(key.get(), kValueLan, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&lan),
                 sizeof(lan));
  RegSetValueExA(key.get(), kValueMonth, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&month),
                 sizeof(month));
  watch.stored_month = figures.month;
  watch.stored_internet = internet;
  watch.stored_lan = lan;
}

// The seconds to the clock's next month, when the thread looks again at the latest.
int64_t FollowMonth() {
  UploadBook& book = UploadBook::Shared();
  const MonthNow now = ThisMonth();
  const int32_t counted = book.Read().month;
  switch (StepOfMonth(counted, now.month)) {
    case MonthStep::kNew:
      LogInfo(kMsgNewMonth, MonthText(now.month).c_str());
      book.StartMonth(now.month, 0, 0, now.seconds_left, std::time(nullptr));
      break;
    case MonthStep::kClockBehind: {
      static int32_t told = 0;  // once per counted month: the thread's own
      if (told != counted) {
        LogInfo(kMsgClockBehind, MonthText(now.month).c_str(), MonthText(counted).c_str());
        told = counted;
      }
      break;
    }
    case MonthStep::kSame:
      break;
  }
  return now.seconds_left;
}

class CostReader {
 public:
  CostReader() {
    Connect();
    if (!m_costs) LogInfo(kMsgNoCost, "no INetworkCostManager", m_created);
  }
  ~CostReader() {
    Disconnect();
    m_events->Release();
  }

  // Asks and puts the answer in force; one line when being metered changes. A
  // failed question keeps the last known cost and asks a new manager next time:
  // the old one may be cut off from a restarted network list service.
  void Look() {
    DWORD flags = 0;
    if (m_made) {
      if (!m_costs) Connect();
      const HRESULT asked =
          m_costs ? m_costs->GetCost(&flags, nullptr) : static_cast<HRESULT>(m_created);
      if (FAILED(asked)) {
        if (!m_failing) LogInfo(kMsgCostFailed, static_cast<unsigned long>(asked));
        m_failing = true;
        Disconnect();
        if (m_looked) return;
        flags = 0;
      } else if (m_failing) {
        LogInfo(kMsgCostBack);
        m_failing = false;
      }
    }
    const ConnectionCost cost = CostOfFlags(flags);
    UploadBook& book = UploadBook::Shared();
    const bool metered = cost == ConnectionCost::kMetered;
    if (m_looked && metered == m_metered) {
      book.SetCost(cost);
      return;
    }
    if (metered) {
      LogInfo(kMsgMetered, static_cast<unsigned long>(flags),
              book.Read().settings.serve_on_metered
                  ? "are served anyway (UploadOnMeteredConnection = 1)"
                  : "are not served");
    } else if (m_looked) {
      LogInfo(kMsgNotMetered, cost == ConnectionCost::kUnknown ? "unknown" : "unrestricted");
    }
    m_looked = true;
    m_metered = metered;
    book.SetCost(cost);
  }

 private:
  void Connect() {
    const HRESULT created = CoCreateInstance(kClsidNetworkListManager, nullptr, CLSCTX_ALL,
                                             kIidCostManager, m_costs.put_void());
    m_created = static_cast<unsigned long>(created);
    if (FAILED(created)) return;
    m_made = true;
    zrvd::com_ptr<IConnectionPointContainer> container;
    if (SUCCEEDED(m_costs->QueryInterface(kIidConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(kIidCostManagerEvents, m_point.put())) &&
        FAILED(m_point->Advise(m_events, &m_cookie))) {
      m_point.reset();
      m_cookie = 0;
    }
  }
  void Disconnect() {
    if (m_point && m_cookie) m_point->Unadvise(m_cookie);
    m_cookie = 0;
    m_point.reset();
    m_costs.reset();
  }

  zrvd::com_ptr<INetworkCostManager> m_costs;
  zrvd::com_ptr<IConnectionPoint> m_point;
  CostEvents* m_events = new CostEvents;  // our reference; each Advise takes one more
  DWORD m_cookie = 0;
  unsigned long m_created = 0;
  bool m_made = false;  // a manager was had once: one that never was is not asked for again
  bool m_looked = false;
  bool m_metered = false;
  bool m_failing = false;
};

DWORD LookSeconds() {
  char text[16] = {};
  const DWORD length = GetEnvironmentVariableA(kLookEnv, text, sizeof(text));
  const long seconds = length > 0 && length < sizeof(text) ? std::strtol(text, nullptr, 10) : 0;
  return seconds >= 1 && seconds < static_cast<long>(kLookSeconds) ? static_cast<DWORD>(seconds)
                                                                   : kLookSeconds;
}

class WatchThread : public IThreadHandler {
 public:
  void Release() override { delete this; }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }

  int32_t Run() override {
    Watch& watch = State();
    {
      // The finish waits on the thread itself, not on an event it would set.
      HANDLE self = nullptr;
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                      SYNCHRONIZE, FALSE, 0);
      watch.thread_owner.reset(self);
      watch.thread = self;
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const DWORD look_ms = LookSeconds() * 1000;
    {
      CostReader costs;
      AddressChangeWatch addresses;
      DWORD adapters_read = GetTickCount();
      while (!watch.stopping) {
        costs.Look();
        const int64_t month_left = FollowMonth();
        SaveMonthCount();
        // Awake at the month's end: its first minute counts to it, and a spent
        // budget ends with its month.
        const DWORD wait_ms =
            month_left * 1000 < static_cast<int64_t>(look_ms) ? static_cast<DWORD>(month_left * 1000)
                                                              : look_ms;
        HANDLE waits[2] = {watch.wake.get(), addresses.Event()};
        const DWORD woke = WaitForMultipleObjects(waits[1] ? 2 : 1, waits, FALSE, wait_ms);
        if (watch.stopping) break;
        const bool changed = woke == WAIT_OBJECT_0 + 1;
        if (changed || GetTickCount() - adapters_read >= kLookSeconds * 1000) {
          if (changed) addresses.Rearm();
          LanPrefixes::Shared().Set(ReadOnLinkPrefixes());
          adapters_read = GetTickCount();
        }
      }
    }
    SaveMonthCount();
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
  }
};

}  // namespace

void LogBookChange(UploadBook::Change change, const UploadBook::Figures& figures) {
  if (change == UploadBook::Change::kNone) return;
  const unsigned budget_mb = static_cast<unsigned>(figures.settings.budget_bytes >> 20);
  if (change == UploadBook::Change::kBudgetReached) {
    LogInfo(kLogBudgetReached, budget_mb);
    return;
  }
  char used[32];
  std::snprintf(used, sizeof(used), "%.1f MiB",
                static_cast<double>(figures.month_internet_bytes) / (1 << 20));
  LogInfo(kLogBudgetFreed, budget_mb, used);
}

void StartMeteredWatch(IThreadManager* threads) {
  Watch& watch = State();
  if (threads == nullptr || watch.started.exchange(true)) return;
  // Before the first connection is classified and the first byte counted.
  LanPrefixes::Shared().Set(ReadOnLinkPrefixes());
  LoadMonthCount();
  auto* handler = new WatchThread;
  IThread* thread = threads->NewThread(handler, kThreadName, true, 0);
  if (thread == nullptr) {
    handler->Release();
  } else if (thread->Start() == 0) {
    return;
  }
  watch.started = false;
}

void SaveMonthCountNow() {
  if (State().started) SaveMonthCount();
}

void MonthCountKeyRemade() {
  Watch& watch = State();
  if (!watch.started) return;
  {
    std::lock_guard<std::mutex> lock(watch.save_mutex);
    watch.stored_month = 0;
    watch.stored_internet = watch.stored_lan = 0;
  }
  SaveMonthCount();
}

void* AskMeteredWatchToStop() {
  Watch& watch = State();
  if (!watch.started) return nullptr;
  if (!watch.stopping.exchange(true)) SetEvent(watch.wake.get());
  return watch.thread.load();
}
