#include "uploadpolicy/served_stats.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

// Totals keep everything; the window keeps the last 60 seconds only; files are
// one per MD5 text whatever its case, most bytes first, cut to the count asked.
TEST(ServedStats, WindowAndTop) {
  ServedStats stats;
  stats.AddRequest(1000);
  stats.AddBytes("aaaa", "C:\\a", 100, 1000);
  stats.AddRequest(1030);
  stats.AddBytes("AAAA", "C:\\a", 50, 1030);
  stats.AddBytes("bbbb", "C:\\b", 400, 1059);
  stats.AddBytes("cccc", "C:\\c", 10, 1059);

  ServedStats::Figures at = stats.Read(1059, 2);
  EXPECT_EQ(at.requests, 2u);
  EXPECT_EQ(at.bytes, 560u);
  EXPECT_EQ(at.requests_60s, 2u);
  EXPECT_EQ(at.bytes_60s, 560u);
  ASSERT_EQ(at.top.size(), 2u);
  EXPECT_EQ(at.top[0].md5, "BBBB");
  EXPECT_EQ(at.top[1].md5, "AAAA");
  EXPECT_EQ(at.top[1].bytes, 150u);

  at = stats.Read(1060, 10);  // second 1000 has left the window
  EXPECT_EQ(at.requests_60s, 1u);
  EXPECT_EQ(at.bytes_60s, 460u);
  EXPECT_EQ(at.top.size(), 3u);
  // A slot reused by a later second starts from nothing.
  stats.AddBytes("cccc", "C:\\c", 1, 1120);
  at = stats.Read(1120, 10);
  EXPECT_EQ(at.bytes_60s, 1u);
  EXPECT_EQ(at.bytes, 561u);
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
