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

// A loopback peer is answered only under a loopback Host with this port, and a
// state change only from no Origin or a loopback one: what a page reached
// through a rebound name or posting from another site would send is refused.
TEST(LocalOnly, HostAndOriginTable) {
  struct Row {
    const char* host;
    const char* origin;
    bool changes_state;
    bool allowed;
  };
  const Row rows[] = {
      {"127.0.0.1:8123", "", false, true},
      {"localhost:8123", "", false, true},
      {"[::1]:8123", "", false, true},
      {"LocalHost:8123", "", false, true},  // names compare as DNS does
      {" 127.0.0.1:8123 ", "", false, true},
      {"127.0.0.1:8123", "http://page.example", false, true},  // a read: no CORS, unread
      {"", "", false, false},
      {"127.0.0.1", "", false, false},
      {"127.0.0.1:80", "", false, false},
      {"127.0.0.1:08123", "", false, false},
      {"127.0.0.2:8123", "", false, false},
      {"rebound.example:8123", "", false, false},
      {"localhost.:8123", "", false, false},
      {"localhost:8123\r\nlocalhost:8123", "", false, false},  // two Host lines
      {"127.0.0.1:8123", "", true, true},
      {"127.0.0.1:8123", "http://127.0.0.1:8123", true, true},
      {"[::1]:8123", "HTTP://LOCALHOST:8123", true, true},
      {"127.0.0.1:8123", "http://page.example", true, false},
      {"127.0.0.1:8123", "null", true, false},
      {"127.0.0.1:8123", "http://localhost:8124", true, false},
      {"127.0.0.1:8123", "https://localhost:8123", true, false},
      {"127.0.0.1:8123", "http://[::1]:8123", true, false},
      {"rebound.example:8123", "http://localhost:8123", true, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsLocalRequest(row.host, row.origin, row.changes_state, 8123), row.allowed)
        << row.host << " | " << row.origin << " | " << row.changes_state;
  }
  EXPECT_FALSE(IsLocalRequest("127.0.0.1:0", "", false, 0)) << "port unknown";
}

}  // namespace
