#include "statuspage/status_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "httpserver/response_head.h"
#include "tests/win/httpserver/server_fixture.h"

namespace http_test {
namespace {

std::atomic<int> g_verifyCalls{0};

std::string Json() { return "{\"x\":1}\n"; }
std::string Table() { return "table\n"; }
std::atomic<int> g_pauses{0};
void VerifyAll() { ++g_verifyCalls; }
// Resuming fails here, as a write the registry refuses does.
bool SetPaused(bool paused) {
  if (paused) ++g_pauses;
  return paused;
}
bool UiFile(const std::string& name, std::string* body, std::string* type) {
  if (name == "page.html") *body = "<meta content=\"{{token}}\">";
  else if (name == "page.js") *body = "js";
  else return false;
  *type = "text/plain";
  return true;
}
constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

// The local paths answer a loopback peer only when its Host names this port on
// a loopback name, without a foreign Origin, and an action only with the token:
// a page that a rebound name or a cross-origin form brings to loopback gets the
// 404 bytes, and the handler's own answers carry the page's security headers
// and no CORS header.
TEST_F(ServerTest, StatusAnswersOnlyLocalHostsAndOrigins) {
  StartServer()->AddHandler(
      new StatusHandler(StatusSource{&Json, &Table, &VerifyAll, &SetPaused, &UiFile, kToken}));
  const std::string port = std::to_string(m_server->GetPort());
  const std::string token = std::string("\r\nX-Status-Token: ") + kToken;
  struct Row {
    std::string request;
    std::string status;  // empty: the 404 bytes
    std::string body;
  };
  const std::vector<Row> rows = {
      {"GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + port, "HTTP/1.1 200 OK", Json()},
      {"GET /status?format=text HTTP/1.1\r\nHost: localhost:" + port, "HTTP/1.1 200 OK", Table()},
      {"GET /status HTTP/1.1\r\nHost: rebound.example:" + port, "", ""},
      {"GET /status HTTP/1.1\r\nHost: 127.0.0.1", "", ""},
      {"GET /status HTTP/1.0", "", ""},
      {"GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://page.example",
       "", ""},
      {"POST /verify HTTP/1.1\r\nHost: [::1]:" + port + token, "HTTP/1.1 202 Accepted",
       "{\"verify\":\"requested\"}\n"},
      {"POST /verify HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://localhost:" + port +
           token,
       "HTTP/1.1 202 Accepted", "{\"verify\":\"requested\"}\n"},
      {"POST /verify HTTP/1.1\r\nHost: 127.0.0.1:" + port, "", ""},
      {"POST /verify HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nX-Status-Token: 0123", "", ""},
      {"POST /pause HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://page.example" +
           token,
       "", ""},
      {"POST /pause HTTP/1.1\r\nHost: 127.0.0.1:" + port + token, "HTTP/1.1 200 OK",
       "{\"paused\":true}\n"},
      {"POST /resume HTTP/1.1\r\nHost: 127.0.0.1:" + port + token,
       "HTTP/1.1 500 Internal Server Error", "{\"error\":\"the setting could not be stored\"}\n"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port, "HTTP/1.1 200 OK",
       std::string("<meta content=\"") + kToken + "\">"},
      {"GET /ui/page.js HTTP/1.1\r\nHost: 127.0.0.1:" + port, "HTTP/1.1 200 OK", "js"},
      {"GET /ui/page.html HTTP/1.1\r\nHost: 127.0.0.1:" + port, "", ""},  // no unfilled page
      {"GET /ui/none.js HTTP/1.1\r\nHost: 127.0.0.1:" + port, "", ""},
      {"GET / HTTP/1.1\r\nHost: rebound.example:" + port, "", ""},
  };
  int verifies = 0;
  for (const Row& row : rows) {
    zrvd::unique_socket peer = Connect(m_server->GetPort());
    SendText(peer.get(), row.request + "\r\nContent-Length: 0\r\n\r\n");
    const std::string answer = ReadToEnd(peer.get());
    if (row.status.empty()) {
      EXPECT_EQ(answer, kNotFoundAnswer) << row.request;
      continue;
    }
    if (row.request.rfind("POST /verify", 0) == 0) ++verifies;
    const size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << row.request;
    const std::string head = answer.substr(0, end + 4);
    EXPECT_EQ(head.substr(0, head.find("\r\n")), row.status) << row.request;
    // The one header kept as the contract here; the browser test shows the others at work.
    EXPECT_EQ(HeaderValue(head, "Content-Security-Policy"),
              "default-src 'self'; frame-ancestors 'none'")
        << row.request;
    EXPECT_EQ(head.find("Access-Control-"), std::string::npos) << row.request;
    EXPECT_EQ(answer.substr(end + 4), row.body) << row.request;
  }
  EXPECT_EQ(g_verifyCalls.load(), verifies);
  EXPECT_EQ(g_pauses.load(), 1);
  // Anywhere in 127.0.0.0/8 is this machine.
  zrvd::unique_socket peer = Connect(m_server->GetPort(), 10000, 0x7F0000FE);
  SendText(peer.get(), rows[0].request + "\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.get()).rfind(rows[0].status + "\r\n", 0), 0u);
}

}  // namespace
}  // namespace http_test
