#include "httpserver/served_stats.h"

#include <vector>

#include <gtest/gtest.h>

#include "httpserver/local_only.h"
#include "httpserver/status_page.h"

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

// Which local path a request asks for; only the POSTs change state. A UI name
// cannot climb out of /ui/ or name a hidden file.
TEST(StatusPage, PathsAndToken) {
  struct Row {
    const char* method;
    const char* uri;
    LocalPath path;
  };
  const Row rows[] = {
      {"GET", "/status", LocalPath::kStatus},   {"GET", "/", LocalPath::kPage},
      {"GET", "/ui/page.js", LocalPath::kUiFile}, {"GET", "/ui/uPlot.min.css", LocalPath::kUiFile},
      {"GET", "/ui/", LocalPath::kNone},        {"GET", "/ui/../status", LocalPath::kNone},
      {"GET", "/ui/.hidden", LocalPath::kNone}, {"GET", "/ui/a/b.js", LocalPath::kNone},
      {"POST", "/pause", LocalPath::kPause},    {"POST", "/resume", LocalPath::kResume},
      {"POST", "/verify", LocalPath::kVerify},  {"GET", "/pause", LocalPath::kNone},
      {"POST", "/", LocalPath::kNone},          {"HEAD", "/status", LocalPath::kNone},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(LocalPathOf(row.method, row.uri), row.path) << row.method << " " << row.uri;
  }
  EXPECT_TRUE(ChangesState(LocalPath::kVerify));
  EXPECT_FALSE(ChangesState(LocalPath::kPage));

  EXPECT_TRUE(TokenMatches("a1b2", "a1b2"));
  EXPECT_FALSE(TokenMatches("a1b3", "a1b2"));
  EXPECT_FALSE(TokenMatches("a1b", "a1b2"));
  EXPECT_FALSE(TokenMatches("", "")) << "no token made: nothing matches";
  EXPECT_EQ(FillPage("<a {{token}}>{{token}}{{tok", "T"), "<a T>T{{tok");
}

}  // namespace
