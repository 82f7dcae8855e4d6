#include "uploadpolicy/upload_book.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(UploadBook, CostAndRefusal) {
  for (uint32_t flags : {0x2u, 0x4u, 0x10001u, 0x20001u, 0x40004u, 0x80001u}) {
    EXPECT_EQ(CostOfFlags(flags), ConnectionCost::kMetered) << flags;
  }
  const auto metered = ConnectionCost::kMetered;
  EXPECT_EQ(RefusalFor(metered, false, 0, 0), InternetRefusal::kMetered);
  EXPECT_EQ(RefusalFor(metered, true, 0, 0), InternetRefusal::kNone);
  EXPECT_EQ(RefusalFor(metered, true, 100, 100), InternetRefusal::kBudget);
  EXPECT_EQ(RefusalFor(ConnectionCost::kUnknown, false, 100, 99), InternetRefusal::kNone);
  EXPECT_EQ(RefusalFor(ConnectionCost::kUnrestricted, false, 0, 1ull << 40),
            InternetRefusal::kNone);
  EXPECT_EQ(RetryAfterSeconds(InternetRefusal::kBudget, 86400), 3600u);
  EXPECT_EQ(RetryAfterSeconds(InternetRefusal::kBudget, 90), 90u);
  EXPECT_EQ(RetryAfterSeconds(InternetRefusal::kBudget, 0), 1u);
}

// The calendar's month ends, leap years included.
TEST(UploadBook, SecondsToNextMonth) {
  EXPECT_EQ(SecondsToNextMonth({2026, 12, 31, 23, 59, 59}), 1);
  EXPECT_EQ(SecondsToNextMonth({2026, 12, 1, 0, 0, 0}), 31 * 86400);
  EXPECT_EQ(SecondsToNextMonth({2028, 2, 1, 0, 0, 0}), 29 * 86400);
  EXPECT_EQ(SecondsToNextMonth({2100, 2, 28, 12, 0, 0}), 12 * 3600);
  EXPECT_EQ(MonthText(202612), "2026-12");
}

// A stored count goes on in its own month and in one still to come by the clock
// (a clock set back), starts afresh in a later one, and cannot be right of
// another type or with no such month. The month only moves forward.
TEST(UploadBook, StoredCountTable) {
  using K = StoredValue::Kind;
  const StoredValue none = {};
  const auto right = [](uint64_t value) { return StoredValue{K::kRight, value}; };
  const StoredValue other = {K::kOther, 0};
  const struct {
    StoredMonthCount stored;
    StoredVerdict verdict;
  } rows[] = {
      {{none, none, none}, StoredVerdict::kAfresh},
      {{right(202612), right(5), right(6)}, StoredVerdict::kThisMonth},
      {{right(202611), right(5), none}, StoredVerdict::kAfresh},
      {{right(202512), right(5), none}, StoredVerdict::kAfresh},
      {{right(202701), right(5), none}, StoredVerdict::kLater},
      {{right(202613), none, none}, StoredVerdict::kBad},
      {{right(12), none, none}, StoredVerdict::kBad},
      {{other, right(5), none}, StoredVerdict::kBad},
      {{right(202612), other, none}, StoredVerdict::kBad},
  };
  for (const auto& row : rows) {
    std::string why;
    EXPECT_EQ(CheckStoredCount(row.stored, 202612, &why), row.verdict) << row.stored.month.value;
    EXPECT_EQ(why.empty(), row.verdict != StoredVerdict::kBad);
  }
  EXPECT_EQ(StepOfMonth(202612, 202701), MonthStep::kNew);
  EXPECT_EQ(StepOfMonth(202701, 202612), MonthStep::kClockBehind);
  EXPECT_EQ(StepOfMonth(202612, 202612), MonthStep::kSame);
}

// The book with a fake clock: LAN bytes are free; the budget is reached by the
// byte that fills it, which sets the stop flag; a lower or higher budget stops
// or frees at once; a new month starts afresh; a pause stops internet answers.
TEST(UploadBook, BudgetOverAMonth) {
  UploadBook book;
  const int64_t now = 1796651425;
  book.StartMonth(202612, 900, 0, 7200, now);
  EXPECT_EQ(book.SetSettings({false, 1000, true}), UploadBook::Change::kNone);
  EXPECT_EQ(book.AddBytes(true, 5000), UploadBook::Change::kNone);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kNone);
  EXPECT_FALSE(book.InternetStopFlag()->load());
  EXPECT_EQ(book.AddBytes(false, 99), UploadBook::Change::kNone);
  EXPECT_EQ(book.AddBytes(false, 1), UploadBook::Change::kBudgetReached);
  EXPECT_EQ(book.AddBytes(false, 1), UploadBook::Change::kNone);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kBudget);
  EXPECT_TRUE(book.InternetStopFlag()->load());
  EXPECT_EQ(book.RetryAfter(now + 5400), 1800u);
  EXPECT_EQ(book.SetSettings({false, 2000, true}), UploadBook::Change::kBudgetFreed);
  EXPECT_FALSE(book.InternetStopFlag()->load());
  EXPECT_EQ(book.SetSettings({false, 500, true}), UploadBook::Change::kBudgetReached);
  book.SetCost(ConnectionCost::kMetered);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kMetered);
  book.SetCost(ConnectionCost::kUnrestricted);

  const UploadBook::Figures before = book.Read();
  EXPECT_EQ(before.lan_bytes, 5000u);
  EXPECT_EQ(before.internet_bytes, 101u);
  EXPECT_EQ(before.month_internet_bytes, 1001u);
  EXPECT_EQ(book.StartMonth(202701, 0, 0, 31 * 86400, now + 7200),
            UploadBook::Change::kBudgetFreed);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kNone);
  const UploadBook::Figures after = book.Read();
  EXPECT_EQ(after.month, 202701);
  EXPECT_EQ(after.month_internet_bytes, 0u);
  EXPECT_EQ(after.internet_bytes, 101u);  // since start goes on
  book.SetPaused(true);
  EXPECT_TRUE(book.InternetStopFlag()->load());
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kNone);
}

// The budget itself decides what is told: a spent budget behind the metered
// refusal is still spent, and the sink hears each change once with its figures.
std::vector<std::pair<UploadBook::Change, uint64_t>> g_told;
void Tell(UploadBook::Change change, const UploadBook::Figures& figures) {
  g_told.emplace_back(change, figures.month_internet_bytes);
}

TEST(UploadBook, ChangesFollowTheBudget) {
  g_told.clear();
  UploadBook book;
  book.SetChangeSink(&Tell);
  book.SetCost(ConnectionCost::kMetered);
  book.StartMonth(202612, 100, 0, 7200, 0);
  EXPECT_EQ(book.SetSettings({true, 100, true}), UploadBook::Change::kBudgetReached);
  EXPECT_EQ(book.SetSettings({false, 100, true}), UploadBook::Change::kNone);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kMetered);
  EXPECT_EQ(book.SetSettings({false, 0, true}), UploadBook::Change::kBudgetFreed);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kMetered);
  const std::vector<std::pair<UploadBook::Change, uint64_t>> told = {
      {UploadBook::Change::kBudgetReached, 100}, {UploadBook::Change::kBudgetFreed, 100}};
  EXPECT_EQ(g_told, told);
}

// Internet turns side by side never send past the budget, whatever each asks;
// with none set a turn is what it asks.
TEST(UploadBook, TurnsStayWithinTheBudget) {
  UploadBook book;
  book.StartMonth(202612, 0, 0, 7200, 0);
  EXPECT_EQ(book.TakeInternetTurn(1 << 20), 1u << 20);
  book.SettleInternetTurn(1 << 20, 1000);
  constexpr uint64_t kBudget = 4 << 20;
  book.SetSettings({false, kBudget, true});
  std::vector<std::thread> answers;
  for (int i = 0; i < 16; ++i) {
    answers.emplace_back([&book, i] {
      // Some turns send less than they hold, as a peer that leaves does.
      while (uint64_t turn = book.TakeInternetTurn(1 << 20)) {
        book.SettleInternetTurn(turn, i % 4 == 0 ? turn - turn / 2 : turn);
      }
    });
  }
  for (std::thread& answer : answers) answer.join();
  EXPECT_EQ(book.Read().month_internet_bytes, kBudget);
  EXPECT_EQ(book.TakeInternetTurn(1), 0u);
  EXPECT_EQ(book.InternetRefused(), InternetRefusal::kBudget);
}

}  // namespace
