#include "uploadpolicy/served_stats.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Totals keep everything; the window keeps the last 60 seconds only; files are
// one per MD5 text whatever its case, most bytes first, cut to the count asked.
TEST(ServedStats, WindowAndTop) {
  static int64_t now = 1000;
  ServedStats stats([] { return now; });
  stats.AddRequest();
  stats.AddBytes("aaaa", "C:\\a", 100);
  now = 1030;
  stats.AddRequest();
  stats.AddBytes("AAAA", "C:\\a", 50);
  now = 1059;
  stats.AddBytes("bbbb", "C:\\b", 400);
  stats.AddBytes("cccc", "C:\\c", 10);

  ServedStats::Figures at = stats.Read(2);
  EXPECT_EQ(at.requests, 2u);
  EXPECT_EQ(at.bytes, 560u);
  EXPECT_EQ(at.requests_60s, 2u);
  EXPECT_EQ(at.bytes_60s, 560u);
  ASSERT_EQ(at.top.size(), 2u);
  EXPECT_EQ(at.top[0].md5, "BBBB");
  EXPECT_EQ(at.top[1].md5, "AAAA");
  EXPECT_EQ(at.top[1].bytes, 150u);

  now = 1060;
  at = stats.Read(10);  // second 1000 has left the window
  EXPECT_EQ(at.requests_60s, 1u);
  EXPECT_EQ(at.bytes_60s, 460u);
  EXPECT_EQ(at.top.size(), 3u);
  // A slot reused by a later second starts from nothing.
  now = 1120;
  stats.AddBytes("cccc", "C:\\c", 1);
  at = stats.Read(10);
  EXPECT_EQ(at.bytes_60s, 1u);
  EXPECT_EQ(at.bytes, 561u);
}

// The seconds are the steady clock's, which no one sets: a step of the wall
// clock (back half a minute, on an hour) would count seconds twice or blank
// the window and the history.
TEST(ServedStats, StampedByTheSteadyClock) {
  const auto steady = [] {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
  };
  const int64_t before = steady();
  const int64_t stamp = ServedStats::SteadySeconds();
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, steady());
}

// The ten-minute history: one sample a second, oldest first, ending now; a
// second nothing was sent in reads 0, also when its slot holds a second ten
// minutes older (no timer clears it).
TEST(ServedStats, RateHistoryRing) {
  RateHistory ring;
  ring.Add(1000, 5);
  ring.Add(1000, 7);
  ring.Add(1598, 3);
  std::vector<uint64_t> rate = ring.Read(1599);
  ASSERT_EQ(rate.size(), 600u);
  EXPECT_EQ(rate[0], 12u);    // second 1000
  EXPECT_EQ(rate[598], 3u);   // second 1598
  EXPECT_EQ(rate[599], 0u);   // now
  rate = ring.Read(1600);     // 1000 has left; its slot is now second 1600's
  EXPECT_EQ(rate[0], 0u);
  EXPECT_EQ(rate[599], 0u);
  EXPECT_EQ(rate[597], 3u);
  ring.Add(1600, 1);
  EXPECT_EQ(ring.Read(1600)[599], 1u) << "a reused slot starts from nothing";
  EXPECT_EQ(ring.Read(2300), std::vector<uint64_t>(600, 0));
}

}  // namespace
