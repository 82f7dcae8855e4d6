#include "httpserver/status_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "httpserver/response_head.h"
#include "server_fixture.h"

namespace http_test {
namespace {

std::atomic<int> g_verifyCalls{0};

std::string Json() { return "{\"x\":1}\n"; }
std::string Table() { return "table\n"; }
void VerifyAll() { ++g_verifyCalls; }

// The local paths answer a loopback peer only when its Host names this port on
// a loopback name, and /verify only without a foreign Origin: a page that a
// rebound name or a cross-origin form brings to loopback gets the 404 bytes,
// and the handler's own answers carry nosniff and no CORS header.
TEST_F(ServerTest, StatusAnswersOnlyLocalHostsAndOrigins) {
  StartServer()->AddHandler(new StatusHandler(StatusSource{&Json, &Table, &VerifyAll}));
  const std::string port = std::to_string(m_server->GetPort());
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
      {"POST /verify HTTP/1.1\r\nHost: [::1]:" + port, "HTTP/1.1 202 Accepted",
       "{\"verify\":\"requested\"}\n"},
      {"POST /verify HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://localhost:" + port,
       "HTTP/1.1 202 Accepted", "{\"verify\":\"requested\"}\n"},
      {"POST /verify HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://page.example",
       "", ""},
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
    if (row.request.rfind("POST", 0) == 0) ++verifies;
    const size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << row.request;
    const std::string head = answer.substr(0, end + 4);
    EXPECT_EQ(head.substr(0, head.find("\r\n")), row.status) << row.request;
    EXPECT_EQ(HeaderValue(head, "X-Content-Type-Options"), "nosniff") << row.request;
    EXPECT_EQ(head.find("Access-Control-"), std::string::npos) << row.request;
    EXPECT_EQ(answer.substr(end + 4), row.body) << row.request;
  }
  EXPECT_EQ(g_verifyCalls.load(), verifies);
  // Anywhere in 127.0.0.0/8 is this machine.
  zrvd::unique_socket peer = Connect(m_server->GetPort(), 10000, 0x7F0000FE);
  SendText(peer.get(), rows[0].request + "\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.get()).rfind(rows[0].status + "\r\n", 0), 0u);
}

}  // namespace
}  // namespace http_test
