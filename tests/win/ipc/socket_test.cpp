#include "ipc/pxp_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "common/unique_any.h"
#include "tests/win/ipc/loopback_client.h"

namespace {

using Client = zrvd_test::LoopbackClient;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_listener.reset(new CPxpListenSocket(0, &m_port, 5, true, 0));
    ASSERT_NE(m_port, 0);
  }
  // A client connected to the listener and the accepted side of it.
  std::unique_ptr<CPxpSocket> Connect(std::unique_ptr<Client>* client) {
    client->reset(new Client(m_port));
    EXPECT_TRUE((*client)->Connected());
    return std::unique_ptr<CPxpSocket>(m_listener->Accept());
  }

  std::unique_ptr<CPxpListenSocket> m_listener;
  int32_t m_port = 0;
};

// A line ends at its LF and the CR stays; what follows is left for the next read.
TEST_F(SocketTest, ReceiveLineStopsAtLineFeed) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  client->Send("abc\r\nmore text");
  EXPECT_EQ(conn->ReceiveLine(), "abc\r\n");
  client->ShutdownSend();
  EXPECT_EQ(conn->ReceiveAll(), "more text");
}

// A peer that closes before its LF gives an empty line, bytes read or not.
TEST_F(SocketTest, ReceiveLineWithoutLineFeedIsEmpty) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  client->Send("no line end");
  client->ShutdownSend();
  EXPECT_EQ(conn->ReceiveLine(), "");
}

// 1500 waiting bytes come in one call: a full 1024-byte read, then 476.
TEST_F(SocketTest, ReceiveAllReadsPastOneBlock) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  const std::string data(1500, 'x');
  client->Send(data);
  Sleep(200);  // let every byte arrive before the read
  EXPECT_EQ(conn->ReceiveAll(), data);
}

// Exactly 1024 bytes leave the read waiting: it returns only once more bytes
// arrive or the peer closes.
TEST_F(SocketTest, ReceiveAllOfExactlyOneBlockWaitsForMore) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  client->Send(std::string(1024, 'a'));
  auto read = std::async(std::launch::async, [&] { return conn->ReceiveAll(); });
  EXPECT_EQ(read.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  client->Send("tail");
  EXPECT_EQ(read.get(), std::string(1024, 'a') + "tail");

  std::unique_ptr<Client> closing;
  auto conn2 = Connect(&closing);
  closing->Send(std::string(1024, 'b'));
  auto read2 = std::async(std::launch::async, [&] { return conn2->ReceiveAll(); });
  EXPECT_EQ(read2.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  closing->ShutdownSend();
  EXPECT_EQ(read2.get(), std::string(1024, 'b'));
}

// Past the receive limit both reads stop, the data is not returned and the
// flag shows it; within the limit everything is read.
TEST_F(SocketTest, ReceiveLimitCutsOffLongSenders) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  conn->LimitReceive(4096);
  client->Send(std::string(5000, 'x') + "\n");
  EXPECT_EQ(conn->ReceiveLine(), "");
  EXPECT_TRUE(conn->ReceiveLimitExceeded());
  EXPECT_EQ(conn->ReceiveAll(), "");

  std::unique_ptr<Client> second;
  auto conn2 = Connect(&second);
  conn2->LimitReceive(4096);
  second->Send("path\r\n" + std::string(8000, 'y'));
  Sleep(200);
  EXPECT_EQ(conn2->ReceiveLine(), "path\r\n");
  EXPECT_LE(conn2->ReceiveAll().size(), 4096u - 6 + 1);
  EXPECT_TRUE(conn2->ReceiveLimitExceeded());

  // A request that fits exactly is read whole and not flagged.
  std::unique_ptr<Client> exact;
  auto conn3 = Connect(&exact);
  conn3->LimitReceive(4096);
  exact->Send("p\r\n" + std::string(4093, 'z'));
  exact->ShutdownSend();
  EXPECT_EQ(conn3->ReceiveLine(), "p\r\n");
  EXPECT_EQ(conn3->ReceiveAll().size(), 4093u);
  EXPECT_FALSE(conn3->ReceiveLimitExceeded());
}

// A client that sends nothing is given up once the deadline passes.
TEST_F(SocketTest, DeadlineEndsSilentClients) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  conn->SetReceiveDeadline(300);
  EXPECT_EQ(conn->ReceiveLine(), "");
  EXPECT_TRUE(conn->ReceiveTimedOut());
  EXPECT_EQ(conn->ReceiveAll(), "");
}

// After Close, reads return empty text at once and the peer sees the end.
TEST_F(SocketTest, CloseEndsTheStream) {
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  conn->Close();
  conn->Close();
  EXPECT_EQ(conn->ReceiveLine(), "");
  EXPECT_EQ(conn->ReceiveAll(), "");
  EXPECT_TRUE(client->SeesEnd());
}

// A port that is taken is replaced by one the system chooses, on 127.0.0.1.
TEST_F(SocketTest, TakenPortFallsBackToAnother) {
  int32_t second_port = 0;
  CPxpListenSocket second(m_port, &second_port, 5, true, 0);
  EXPECT_NE(second_port, 0);
  EXPECT_NE(second_port, m_port);
  sockaddr_in bound = {};
  int size = sizeof(bound);
  ASSERT_EQ(getsockname(second.Handle(), reinterpret_cast<sockaddr*>(&bound), &size), 0);
  EXPECT_EQ(bound.sin_addr.s_addr, inet_addr("127.0.0.1"));
  EXPECT_EQ(ntohs(bound.sin_port), second_port);
}

// A non-blocking listener with nobody waiting answers null; a closed listener
// throws the accept text.
TEST_F(SocketTest, AcceptWithoutClientsAndAfterClose) {
  int32_t port = 0;
  CPxpListenSocket polling(0, &port, 5, true, 1);
  EXPECT_EQ(polling.Accept(), nullptr);
  polling.Close();
  const char* thrown = nullptr;
  try {
    polling.Accept();
  } catch (const char* text) {
    thrown = text;
  }
  ASSERT_NE(thrown, nullptr);
  EXPECT_STREQ(thrown, "Invalid Socket");
  EXPECT_NE(polling.LastAcceptError(), 0);
}

// Sockets made and destroyed on many threads at once keep the library count
// exact: the library stays up for the listener, which still accepts afterwards.
TEST_F(SocketTest, LibraryCountHoldsUnderConcurrentUse) {
  const long before = SocketLibraryUsers();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        CPxpSocket scratch;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(SocketLibraryUsers(), before);
  std::unique_ptr<Client> client;
  auto conn = Connect(&client);
  ASSERT_NE(conn, nullptr);
  client->Send("still here\n");
  EXPECT_EQ(conn->ReceiveLine(), "still here\n");
  EXPECT_EQ(SocketLibraryUsers(), before + 1);
}

// With every socket gone the library is cleaned up: the count is back to 0.
TEST(SocketLibrary, CountReturnsToZero) {
  const long before = SocketLibraryUsers();
  {
    int32_t port = 0;
    CPxpListenSocket listener(0, &port, 5, true, 0);
    CPxpSocket plain;
    EXPECT_EQ(SocketLibraryUsers(), before + 2);
  }
  EXPECT_EQ(SocketLibraryUsers(), before);
}

}  // namespace
