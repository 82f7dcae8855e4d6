#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http_test_support.h"
#include "httpserver/http_log_text.h"
#include "httpserver/http_server.h"
#include "httpserver/response_head.h"
#include "server_fixture.h"

namespace http_test {
namespace {

const std::string kNotFound = kNotFoundAnswer;

// Answers "ok" and keeps the connection open.
IHttpHandler* OkHandler() {
  return new FunctionHandler([](IHttpRequest*, SOCKET socket) {
    SendText(socket, "HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok");
    return kHttpKeepOpen;
  });
}

std::string Ask(SOCKET socket, const std::string& request) {
  SendText(socket, request);
  std::string answer = ReadHead(socket);
  return answer + ReadExactly(socket, 2);
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok";

// Only the counter lines and the failure line of one connection's log, in order.
std::vector<std::string> LoopLines(const std::vector<std::string>& lines) {
  std::vector<std::string> loop;
  for (const std::string& line : lines) {
    if (line.rfind("\xBF\xAA\xCA\xBC", 0) == 0 || line == http_log::kReceiveFailed) {
      loop.push_back(line);
    }
  }
  return loop;
}

// Port 0 gets a port from the system; the accept thread logs it as listening.
TEST_F(ServerTest, StartsOnASystemPortAndLogsIt) {
  HttpServer* server = StartServer();
  const int port = server->GetPort();
  EXPECT_GT(port, 0);
  EXPECT_TRUE(m_threads->IsRegistered("HttpServer"));
  EXPECT_TRUE(WaitUntil([&] {
    return Log().Contains(http_log::kServerStarted) &&
           Log().Contains(Format(http_log::kListening, port, http_log::kSucceeded));
  }));
  EXPECT_TRUE(Connect(port).valid());
}

// Start is false when no accept thread can run; the port it took is given back.
TEST_F(ServerTest, StartFailsWithoutAnAcceptThread) {
  HttpServer* first = StartServer();
  HttpServer* second = new HttpServer(m_gate);
  EXPECT_FALSE(second->Start(m_threads, first->GetPort() + 1));  // "HttpServer" is taken
  const int refused_port = second->GetPort();
  second->Release();
  if (refused_port != 0) {
    zrvd::unique_socket peer = Connect(refused_port, 2000);
    EXPECT_FALSE(peer.valid()) << "nothing may listen on " << refused_port;
  }
  HttpServer* unmanaged = new HttpServer(m_gate);
  EXPECT_FALSE(unmanaged->Start(nullptr, 0));
  unmanaged->Release();
}

// A port another socket holds makes the server listen on a system-chosen one.
TEST_F(ServerTest, TakenPortFallsBackToAnother) {
  zrvd::unique_socket holder(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder.get(), 1), 0);
  int size = sizeof(address);
  ASSERT_EQ(getsockname(holder.get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int taken = ntohs(address.sin_port);

  m_server = new HttpServer(m_gate);
  ASSERT_TRUE(m_server->Start(m_threads, taken));
  EXPECT_NE(m_server->GetPort(), taken);
  EXPECT_GT(m_server->GetPort(), 0);
  zrvd::unique_socket peer = Connect(m_server->GetPort());
  SendText(peer.get(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.get()), kNotFound);
}

// With no handler that takes it, a request gets exactly the 404 bytes, then the end.
TEST_F(ServerTest, UnhandledRequestGetsThe404BytesAndClose) {
  HttpServer* server = StartServer();
  server->AddHandler(new FunctionHandler([](IHttpRequest*, SOCKET) { return kHttpDeclined; }));
  zrvd::unique_socket peer = Connect(server->GetPort());
  SendText(peer.get(), "GET /nothing HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.get()), kNotFound);
  EXPECT_TRUE(WaitUntil([] { return Log().Contains(http_log::kNoHandler); }));
  // Connection threads ask for a small reserved stack.
  EXPECT_EQ(m_threads->LastStackReserve(), http_limits::kConnectionStackReserve);
}

// A peer that ends before the blank line gets no answer; the log shows the failure.
TEST_F(ServerTest, PeerClosingBeforeTheBlankLineGetsNoAnswer) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());
  zrvd::unique_socket peer = Connect(server->GetPort());
  SendText(peer.get(), "GET / HTTP/1.1\r\nHost: x\r\n");
  shutdown(peer.get(), SD_SEND);
  EXPECT_EQ(ReadToEnd(peer.get()), "");
  EXPECT_TRUE(WaitUntil([] { return Log().Contains(http_log::kReceiveFailed); }));
}

// Three requests on one connection, then the peer leaves: counters 0 to 3, then the failure.
TEST_F(ServerTest, KeepAliveLoopCountsRequests) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());
  {
    zrvd::unique_socket peer = Connect(server->GetPort());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk) << i;
  }
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
  const std::vector<std::string> lines = Log().ThreadLinesOf(http_log::kConnectionRuns);
  const std::vector<std::string> expected = {
      Format(http_log::kKeepAliveRequest, 0), Format(http_log::kKeepAliveRequest, 1),
      Format(http_log::kKeepAliveRequest, 2), Format(http_log::kKeepAliveRequest, 3),
      http_log::kReceiveFailed};
  EXPECT_EQ(LoopLines(lines), expected);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), http_log::kConnectionClosed);
  EXPECT_TRUE(Log().Contains(http_log::kConnectionOpened));
}

// Handlers see upper-cased header names, joined repeats, decoded parameters and
// the URI without its query; a handler that closes the socket ends the connection.
TEST_F(ServerTest, HandlersSeeTheParsedRequest) {
  HttpServer* server = StartServer();
  server->AddHandler(new FunctionHandler([](IHttpRequest* request, SOCKET socket) {
    std::string body = std::string(request->GetMethod()) + "|" + request->GetURI() + "|" +
                       request->GetVersion() + "|" + request->GetHeader("RANGE") + "|" +
                       request->GetHeader("range") + "|" + request->GetHeader("X-TWICE") + "|" +
                       request->GetParam("a") + "|" + request->GetParam("b") + "|" +
                       request->GetParam("zz") + "|" + request->GetHeader("NOSPACE");
    SendText(socket, body);
    zrvd::unique_socket closing(socket);
    shutdown(socket, SD_SEND);
    return kHttpClosed;
  }));
  zrvd::unique_socket peer = Connect(server->GetPort());
  SendText(peer.get(),
           "PUT /path?a=%41%2&b=x+y&flag HTTP/1.1\r\nrange: bytes=1-2\r\nX-Twice: one\r\n"
           "x-twice: Two\r\nNoSpace:value\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.get()), "PUT|/path|HTTP/1.1|bytes=1-2||one\r\nTwo|A%2|x+y||value");
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
  EXPECT_TRUE(Log().Contains("URI: /path?a=%41%2&b=x+y&flag"));
  EXPECT_TRUE(Log().Contains("a -> A%2"));
  EXPECT_TRUE(Log().Contains("b -> x+y"));
  EXPECT_TRUE(Log().Contains("Method: PUT"));
  EXPECT_FALSE(Log().Contains(http_log::kReceiveFailed));
}

// The peer's class is the gate's for the connection's address, and comes with
// the request to whichever thread the handler asks on.
TEST_F(ServerTest, PeerClassComesWithTheRequest) {
  m_gate->lan_peer = 0x7F000002;
  HttpServer* server = StartServer();
  server->AddHandler(new FunctionHandler([](IHttpRequest* request, SOCKET socket) {
    bool lan = false;
    std::thread([&] { lan = request->PeerIsLan(); }).join();
    SendText(socket, std::string("HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\n") +
                         (lan ? "LN" : "IN"));
    return kHttpKeepOpen;
  }));
  zrvd::unique_socket internet = Connect(server->GetPort());
  zrvd::unique_socket lan = Connect(server->GetPort(), 10000, 0x7F000002);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\n";
  EXPECT_EQ(Ask(lan.get(), "GET / HTTP/1.1\r\n\r\n"), head + "LN");
  EXPECT_EQ(Ask(internet.get(), "GET / HTTP/1.1\r\n\r\n"), head + "IN");
  EXPECT_EQ(Ask(lan.get(), "GET / HTTP/1.1\r\n\r\n"), head + "LN");
}

// Handlers are asked in the order they were added until one answers.
TEST_F(ServerTest, HandlersAreAskedInOrder) {
  HttpServer* server = StartServer();
  std::atomic<int> declined{0}, last{0};
  server->AddHandler(new FunctionHandler([&](IHttpRequest*, SOCKET) {
    ++declined;
    return kHttpDeclined;
  }));
  server->AddHandler(OkHandler());
  server->AddHandler(new FunctionHandler([&](IHttpRequest*, SOCKET) {
    ++last;
    return kHttpKeepOpen;
  }));
  zrvd::unique_socket peer = Connect(server->GetPort());
  EXPECT_EQ(Ask(peer.get(), "GET /a HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_EQ(Ask(peer.get(), "GET /b HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_EQ(declined.load(), 2);
  EXPECT_EQ(last.load(), 0);
}

// Requests are answered one after the other however their bytes arrive: two
// in one piece, or one head in pieces with the next one's start behind it.
TEST_F(ServerTest, PipelinedRequestsAreBothAnswered) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());
  zrvd::unique_socket peer = Connect(server->GetPort());
  SendText(peer.get(), "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ReadExactly(peer.get(), 2 * kOk.size()), kOk + kOk);
  // A head in pieces, the last one carrying the start of the next request.
  for (const char* piece : {"GET /3 HT", "TP/1.1\r\nHost: x\r", "\n\r\nGET /4 HTTP/1.1\r\n"}) {
    SendText(peer.get(), piece);
    Sleep(50);
  }
  EXPECT_EQ(ReadExactly(peer.get(), kOk.size()), kOk);
  SendText(peer.get(), "\r\n");
  EXPECT_EQ(ReadExactly(peer.get(), kOk.size()), kOk);
}

// A head of exactly 16 KiB is served; one a byte longer is closed at once, by
// its size and long before the 30 s head time-out, without an answer, and the
// server goes on serving.
TEST_F(ServerTest, HeadSizeIsBounded) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());
  const std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
  std::string exact = start + std::string(16 * 1024 - start.size() - 4, 'p');
  exact += "\r\n\r\n";
  {
    zrvd::unique_socket peer = Connect(server->GetPort());
    EXPECT_EQ(Ask(peer.get(), exact), kOk);
  }
  {
    // A receive time-out (5 s) is not a close: ServerClosed tells them apart.
    zrvd::unique_socket peer = Connect(server->GetPort(), 5000);
    const DWORD send_timeout = 5000;
    setsockopt(peer.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout),
               sizeof(send_timeout));
    SendText(peer.get(), start + std::string(16 * 1024 - start.size() - 3, 'p') + "\r\n\r\n");
    EXPECT_TRUE(ServerClosed(peer.get()));
  }
  EXPECT_TRUE(WaitUntil([] { return Log().Contains(http_log::kReceiveFailed); }));
  zrvd::unique_socket peer = Connect(server->GetPort());
  EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
}

// A peer that dribbles its head is cut off when the head's time runs out, even
// though bytes keep coming; a silent new connection is cut off the same way.
TEST_F(ServerTest, SlowHeadsAreCutOff) {
  HttpServerLimits limits;
  limits.head_timeout_ms = 400;
  HttpServer* server = StartServer(limits);
  server->AddHandler(OkHandler());

  zrvd::unique_socket dribbler = Connect(server->GetPort());
  SendText(dribbler.get(), "GET / HTTP/1.1\r\n");
  bool closed = false;
  for (int i = 0; i < 100 && !closed; ++i) {
    SendText(dribbler.get(), "X");
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(dribbler.get(), &readable);
    timeval wait = {0, 50 * 1000};
    closed = select(0, &readable, nullptr, nullptr, &wait) > 0;
  }
  EXPECT_TRUE(closed) << "still open after 5 s of dribbling";
  EXPECT_EQ(ReadToEnd(dribbler.get()), "");

  zrvd::unique_socket silent = Connect(server->GetPort());
  EXPECT_TRUE(ServerClosed(silent.get()));
}

// An idle keep-alive connection is closed once its idle time runs out.
TEST_F(ServerTest, IdleKeepAliveConnectionsAreClosed) {
  HttpServerLimits limits;
  limits.idle_timeout_ms = 300;
  HttpServer* server = StartServer(limits);
  server->AddHandler(OkHandler());
  zrvd::unique_socket peer = Connect(server->GetPort());
  EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_TRUE(ServerClosed(peer.get()));
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
  const std::vector<std::string> expected = {Format(http_log::kKeepAliveRequest, 0),
                                             Format(http_log::kKeepAliveRequest, 1),
                                             http_log::kReceiveFailed};
  EXPECT_EQ(LoopLines(Log().ThreadLinesOf(http_log::kConnectionRuns)), expected);
}

// Past the bound a new connection is closed at once; the open ones are still served.
TEST_F(ServerTest, ConnectionCountIsBounded) {
  HttpServerLimits limits;
  limits.max_connections = 3;
  HttpServer* server = StartServer(limits);
  server->AddHandler(OkHandler());
  std::vector<zrvd::unique_socket> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(Connect(server->GetPort()));
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 3; }));

  zrvd::unique_socket refused = Connect(server->GetPort());
  EXPECT_TRUE(ServerClosed(refused.get()));
  EXPECT_TRUE(Log().Contains(Format(http_log::kTooManyConnections, 3)));
  for (auto& peer : peers) EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);

  peers.clear();
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
  zrvd::unique_socket later = Connect(server->GetPort());
  EXPECT_EQ(Ask(later.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
}

// At the bound the keep-alive connection idle the longest is closed to admit a
// new one; a connection yet to send its first request is not idle and stays.
TEST_F(ServerTest, LongestIdleGivesWayAtTheBound) {
  HttpServerLimits limits;
  limits.max_connections = 3;
  HttpServer* server = StartServer(limits);
  server->AddHandler(OkHandler());
  zrvd::unique_socket oldest = Connect(server->GetPort());
  EXPECT_EQ(Ask(oldest.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  Sleep(50);
  zrvd::unique_socket idle = Connect(server->GetPort());
  EXPECT_EQ(Ask(idle.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  zrvd::unique_socket fresh = Connect(server->GetPort());
  ASSERT_TRUE(WaitUntil([&] { return server->OpenConnections() == 3; }));

  zrvd::unique_socket admitted = Connect(server->GetPort());
  EXPECT_EQ(Ask(admitted.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_TRUE(ServerClosed(oldest.get()));
  EXPECT_TRUE(WaitUntil([&] { return server->OpenConnections() == 3; }));
  EXPECT_EQ(Ask(idle.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_EQ(Ask(fresh.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  bool logged = false;
  for (const std::string& line : Log().Lines()) {
    logged = logged || line.rfind("Http connection closed after ", 0) == 0;
  }
  EXPECT_TRUE(logged);
  EXPECT_FALSE(Log().Contains(Format(http_log::kTooManyConnections, 3)));
}

// At the bound, a peer at its own bound that reconnects again and again is
// refused by that bound and closes no other peer's idle connection.
TEST_F(ServerTest, PeerAtItsBoundClosesNoOtherPeersIdleConnection) {
  HttpServerLimits limits;
  limits.max_connections = 3;
  HttpServer* server = StartServer(limits);
  server->SetMaxConnectionsPerPeer(2);
  server->AddHandler(OkHandler());
  zrvd::unique_socket other = Connect(server->GetPort());
  EXPECT_EQ(Ask(other.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  std::vector<zrvd::unique_socket> own;
  for (int i = 0; i < 2; ++i) {
    own.push_back(Connect(server->GetPort(), 10000, 0x7F000002));
    EXPECT_EQ(Ask(own.back().get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  }
  for (int i = 0; i < 100; ++i) {
    zrvd::unique_socket again = Connect(server->GetPort(), 10000, 0x7F000002);
    ASSERT_TRUE(ServerClosed(again.get())) << i;
  }
  EXPECT_EQ(Ask(other.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  for (auto& peer : own) EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_TRUE(Log().Contains(Format(http_log::kTooManyFromPeer, 2, "127.0.0.2")));
  EXPECT_EQ(server->OpenConnections(), 3);
}

// A connection whose thread name stays taken is closed, not leaked; a name that
// frees up within the retries is served.
TEST_F(ServerTest, RefusedConnectionThreadClosesTheConnection) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());
  ASSERT_TRUE(WaitUntil([] { return Log().Contains(http_log::kServerStarted); }));

  m_threads->RefuseNext("HttpConn ", 3);
  zrvd::unique_socket refused = Connect(server->GetPort());
  EXPECT_TRUE(ServerClosed(refused.get()));
  EXPECT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
  bool logged = false;
  for (const std::string& line : Log().Lines()) {
    logged = logged || line.find("refused; connection closed") != std::string::npos;
  }
  EXPECT_TRUE(logged);

  m_threads->RefuseNext("HttpConn ", 2);
  zrvd::unique_socket served = Connect(server->GetPort());
  EXPECT_EQ(Ask(served.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
}

// An attached socket is made blocking and served like an accepted one; a
// server that cannot serve it closes it and says so.
TEST_F(ServerTest, AttachedSocketsAreServed) {
  HttpServer* server = StartServer();
  server->AddHandler(OkHandler());

  zrvd::unique_socket listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 2), 0);
  int size = sizeof(address);
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
  const int port = ntohs(address.sin_port);

  zrvd::unique_socket peer = Connect(port);
  SOCKET accepted = accept(listener.get(), nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);
  u_long non_blocking = 1;
  ioctlsocket(accepted, FIONBIO, &non_blocking);
  EXPECT_EQ(server->AttachSocket(accepted), 0);
  EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);
  EXPECT_EQ(Ask(peer.get(), "GET / HTTP/1.1\r\n\r\n"), kOk);

  HttpServer* unstarted = new HttpServer(m_gate);
  zrvd::unique_socket other = Connect(port);
  SOCKET other_accepted = accept(listener.get(), nullptr, nullptr);
  EXPECT_EQ(unstarted->AttachSocket(other_accepted), -1);
  EXPECT_TRUE(ServerClosed(other.get()));
  unstarted->Release();
}

}  // namespace
}  // namespace http_test
