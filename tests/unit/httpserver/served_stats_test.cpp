#include "httpserver/served_stats.h"

#include <gtest/gtest.h>

#include "httpserver/local_only.h"

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

TEST(LocalOnly, LoopbackIsTheWholeSlashEight) {
  EXPECT_TRUE(IsLoopbackAddress(0x7F000001));  // 127.0.0.1
  EXPECT_TRUE(IsLoopbackAddress(0x7FFFFFFE));  // 127.255.255.254
  EXPECT_FALSE(IsLoopbackAddress(0x0AFA0002));  // 10.250.0.2
  EXPECT_FALSE(IsLoopbackAddress(0x80000001));  // 128.0.0.1
  EXPECT_FALSE(IsLoopbackAddress(0));
}

}  // namespace
