// The book of the player's uplink: bytes sent to LAN and to internet peers,
// since start and in the calendar month, held against the monthly budget and
// the connection's cost to decide whether internet peers are served. Portable;
// the engine's cost thread feeds it the month, the cost and the settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "runtime/stored_value.h"

// Log lines of a change of the budget.
constexpr char kLogBudgetReached[] =
    "Monthly upload budget of %u MiB reached: internet peers are not served until the month "
    "ends or the budget grows";
constexpr char kLogBudgetFreed[] =
    "Monthly upload budget: internet peers are served again (%u MiB, %s used)";

enum class ConnectionCost { kUnknown, kUnrestricted, kMetered };

// Windows' NLM_CONNECTION_COST flags: 0 is unknown, exactly "unrestricted" is
// unrestricted, anything else (fixed or variable plan, over or near the data
// limit, roaming, congested) is metered.
ConnectionCost CostOfFlags(uint32_t flags);

enum class InternetRefusal { kNone, kMetered, kBudget };

// Metered comes first: it is the reason that lasts beyond the month.
InternetRefusal RefusalFor(ConnectionCost cost, bool serve_on_metered, uint64_t budget_bytes,
                           uint64_t month_internet_bytes);

// Retry-After for a refused internet peer: a metered link is asked again each
// minute; a spent budget lasts until the month turns, but never more than an hour.
uint32_t RetryAfterSeconds(InternetRefusal refusal, int64_t seconds_to_next_month);

// A month as one number, 202612; and its text, "2026-12".
inline int32_t YearMonth(int32_t year, int32_t month) { return year * 100 + month; }
std::string MonthText(int32_t year_month);

// Local time, as the calendar month is counted.
struct LocalClock {
  int32_t year, month, day, hour, minute, second;
};
int64_t SecondsToNextMonth(const LocalClock& now);

// The month's count as the engine key holds it ("UploadMonth" REG_DWORD,
// "UploadMonthInternetBytes" and "UploadMonthLanBytes" REG_QWORD).
struct StoredMonthCount {
  StoredValue month, internet_bytes, lan_bytes;
};
enum class StoredVerdict { kThisMonth, kLater, kAfresh, kBad };
// kThisMonth: go on from the stored bytes. kLater: a month still to come by the
// clock (a clock set back, a reset before the time sync): its bytes are kept and
// counting goes on in it. kAfresh: nothing stored, or an earlier month. kBad,
// with the reason: a value of another type, or no such month.
StoredVerdict CheckStoredCount(const StoredMonthCount& stored, int32_t this_month,
                               std::string* why);

// The month only moves forward: the clock's month starts a new count only once
// it is later than the month being counted.
enum class MonthStep { kSame, kClockBehind, kNew };
MonthStep StepOfMonth(int32_t counted_month, int32_t clock_month);

// Safe from any thread: connection threads count and ask; the cost thread and
// the settings set.
class UploadBook {
 public:
  static UploadBook& Shared();

  struct Settings {
    bool serve_on_metered = false;  // "UploadOnMeteredConnection"
    uint64_t budget_bytes = 0;      // "UploadMonthlyLimitMB" in bytes; 0: none
    bool lan_uncapped = true;       // "LanPeersUncapped"
  };

  // Whether the month's budget came to be spent or free again with a call; the
  // budget itself decides, not the reason internet peers are refused.
  enum class Change { kNone, kBudgetReached, kBudgetFreed };
  struct Figures;
  // Told of each change, outside the book's lock, with the figures it left: the
  // one place that logs them. Set once, before the book is used.
  using ChangeSink = void (*)(Change change, const Figures& figures);
  void SetChangeSink(ChangeSink sink) { m_sink = sink; }

  // Counting goes on in `year_month` from the given bytes; `seconds_to_next_month`
  // from now (`now_s`, seconds since 1970) names when it ends.
  Change StartMonth(int32_t year_month, uint64_t internet_bytes, uint64_t lan_bytes,
                  int64_t seconds_to_next_month, int64_t now_s);
  Change SetSettings(const Settings& settings);
  void SetCost(ConnectionCost cost);
  void SetPaused(bool paused);

  // Body bytes sent to a peer of that kind.
  Change AddBytes(bool lan, uint64_t bytes);

  // The most an internet peer's next turn may send: `want`, or while a budget
  // is set no more than is left of it less what other turns hold; 0 when none
  // is left. What it grants is held until SettleInternetTurn, so that answers
  // side by side cannot send past the budget together.
  uint64_t TakeInternetTurn(uint64_t want);
  // Gives back what a turn held and counts what it sent.
  Change SettleInternetTurn(uint64_t held, uint64_t sent);

  // Why a new request of an internet peer is refused now.
  InternetRefusal InternetRefused() const;
  uint32_t RetryAfter(int64_t now_s) const;
  // True while an internet peer's answer under way must end: sharing is paused
  // or internet peers are refused.
  const std::atomic<bool>* InternetStopFlag() const { return &m_internetStop; }
  bool LanUncapped() const { return m_lanUncapped.load(); }

  struct Figures {
    ConnectionCost cost = ConnectionCost::kUnknown;
    Settings settings;
    InternetRefusal refused = InternetRefusal::kNone;
    int32_t month = 0;
    uint64_t lan_bytes = 0, internet_bytes = 0;  // since start
    uint64_t month_lan_bytes = 0, month_internet_bytes = 0;
  };
  Figures Read() const;

 private:
  Change UpdateLocked();
  // Ends a call that may have changed the budget's state: tells the sink.
  Change Report(Change change, std::unique_lock<std::mutex>& lock);

  mutable std::mutex m_mutex;
  Figures m_figures;
  bool m_paused = false;
  bool m_spent = false;
  uint64_t m_held = 0;  // granted to internet turns under way, not yet counted
  std::atomic<ChangeSink> m_sink{nullptr};
  int64_t m_monthEndsAt = 0;
  std::atomic<bool> m_internetStop{false};
  std::atomic<bool> m_lanUncapped{true};
};
