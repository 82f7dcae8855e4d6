#include "uploadpolicy/upload_book.h"

#include <cstdio>

ConnectionCost CostOfFlags(uint32_t flags) {
  if (flags == 0) return ConnectionCost::kUnknown;
  return flags == 1 ? ConnectionCost::kUnrestricted : ConnectionCost::kMetered;
}

InternetRefusal RefusalFor(ConnectionCost cost, bool serve_on_metered, uint64_t budget_bytes,
                           uint64_t month_internet_bytes) {
  if (cost == ConnectionCost::kMetered && !serve_on_metered) return InternetRefusal::kMetered;
  if (budget_bytes != 0 && month_internet_bytes >= budget_bytes) return InternetRefusal::kBudget;
  return InternetRefusal::kNone;
}

uint32_t RetryAfterSeconds(InternetRefusal refusal, int64_t seconds_to_next_month) {
  if (refusal != InternetRefusal::kBudget) return 60;
  if (seconds_to_next_month < 1) return 1;
  return seconds_to_next_month > 3600 ? 3600 : static_cast<uint32_t>(seconds_to_next_month);
}

std::string MonthText(int32_t year_month) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04d-%02d", static_cast<int>(year_month / 100),
                static_cast<int>(year_month % 100));
  return text;
}

int64_t SecondsToNextMonth(const LocalClock& now) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int32_t y = now.year;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const int32_t month = now.month >= 1 && now.month <= 12 ? now.month : 1;
  const int64_t days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  const int64_t elapsed = (static_cast<int64_t>(now.day) - 1) * 86400 + now.hour * 3600 +
                          now.minute * 60 + now.second;
  const int64_t left = days * 86400 - elapsed;
  return left > 0 ? left : 1;
}

StoredVerdict CheckStoredCount(const StoredMonthCount& stored, int32_t this_month,
                               std::string* why) {
  for (const StoredValue* value : {&stored.month, &stored.internet_bytes, &stored.lan_bytes}) {
    if (value->kind == StoredValue::Kind::kOther) {
      *why = "a value of another type";
      return StoredVerdict::kBad;
    }
  }
  if (stored.month.kind == StoredValue::Kind::kAbsent) return StoredVerdict::kAfresh;
  const uint64_t month = stored.month.value;
  if (month % 100 < 1 || month % 100 > 12 || month / 100 < 1970) {
    *why = "no such month";
    return StoredVerdict::kBad;
  }
  if (month > static_cast<uint64_t>(this_month)) return StoredVerdict::kLater;
  return month == static_cast<uint64_t>(this_month) ? StoredVerdict::kThisMonth
                                                    : StoredVerdict::kAfresh;
}

MonthStep StepOfMonth(int32_t counted_month, int32_t clock_month) {
  if (clock_month > counted_month) return MonthStep::kNew;
  return clock_month == counted_month ? MonthStep::kSame : MonthStep::kClockBehind;
}

UploadBook& UploadBook::Shared() {
  static UploadBook book;
  return book;
}

UploadBook::Change UploadBook::UpdateLocked() {
  m_figures.refused = RefusalFor(m_figures.cost, m_figures.settings.serve_on_metered,
                                 m_figures.settings.budget_bytes, m_figures.month_internet_bytes);
  m_internetStop = m_paused || m_figures.refused != InternetRefusal::kNone;
  m_lanUncapped = m_figures.settings.lan_uncapped;
  const uint64_t budget = m_figures.settings.budget_bytes;
  const bool spent = budget != 0 && m_figures.month_internet_bytes >= budget;
  if (spent == m_spent) return Change::kNone;
  m_spent = spent;
  return spent ? Change::kBudgetReached : Change::kBudgetFreed;
}

UploadBook::Change UploadBook::Report(Change change, std::unique_lock<std::mutex>& lock) {
  const ChangeSink sink = m_sink.load();
  if (change == Change::kNone || sink == nullptr) return change;
  const Figures figures = m_figures;
  lock.unlock();
  sink(change, figures);
  return change;
}

UploadBook::Change UploadBook::StartMonth(int32_t year_month, uint64_t internet_bytes,
                                          uint64_t lan_bytes, int64_t seconds_to_next_month,
                                          int64_t now_s) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_figures.month = year_month;
  m_figures.month_internet_bytes = internet_bytes;
  m_figures.month_lan_bytes = lan_bytes;
  m_monthEndsAt = now_s + seconds_to_next_month;
  return Report(UpdateLocked(), lock);
}

UploadBook::Change UploadBook::SetSettings(const Settings& settings) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_figures.settings = settings;
  return Report(UpdateLocked(), lock);
}

void UploadBook::SetCost(ConnectionCost cost) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_figures.cost = cost;
  UpdateLocked();
}

void UploadBook::SetPaused(bool paused) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_paused = paused;
  UpdateLocked();
}

UploadBook::Change UploadBook::AddBytes(bool lan, uint64_t bytes) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (lan) {
    m_figures.lan_bytes += bytes;
    m_figures.month_lan_bytes += bytes;
    return Change::kNone;
  }
  m_figures.internet_bytes += bytes;
  m_figures.month_internet_bytes += bytes;
  return Report(UpdateLocked(), lock);
}

uint64_t UploadBook::TakeInternetTurn(uint64_t want) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // Held even with no budget, so that one set meanwhile sees every turn under way.
  const uint64_t budget = m_figures.settings.budget_bytes;
  const uint64_t taken = m_figures.month_internet_bytes + m_held;
  const uint64_t left = budget == 0 ? want : taken < budget ? budget - taken : 0;
  const uint64_t granted = want < left ? want : left;
  m_held += granted;
  return granted;
}

UploadBook::Change UploadBook::SettleInternetTurn(uint64_t held, uint64_t sent) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held -= held < m_held ? held : m_held;
  }
  return AddBytes(false, sent);
}

InternetRefusal UploadBook::InternetRefused() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_figures.refused;
}

uint32_t UploadBook::RetryAfter(int64_t now_s) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return RetryAfterSeconds(m_figures.refused, m_monthEndsAt - now_s);
}

UploadBook::Figures UploadBook::Read() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_figures;
}
