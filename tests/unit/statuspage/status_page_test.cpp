// The local page's rules: who may ask, which path is asked for, the token.
#include "statuspage/status_page.h"

#include <gtest/gtest.h>

#include "statuspage/local_only.h"

namespace {

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

  EXPECT_TRUE(TokenMatches("a1b2", "a1b2"));
  EXPECT_FALSE(TokenMatches("a1b3", "a1b2"));
  EXPECT_FALSE(TokenMatches("a1b", "a1b2"));
  EXPECT_FALSE(TokenMatches("", "")) << "no token made: nothing matches";
  EXPECT_EQ(FillPage("<a {{token}}>{{token}}{{tok", "T"), "<a T>T{{tok");
}

}  // namespace
