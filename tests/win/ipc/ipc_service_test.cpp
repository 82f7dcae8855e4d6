#include "ipc/ipc_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "tests/win/catalogue/test_support.h"
#include "tests/win/ipc/loopback_client.h"
#include "tests/win/ipc/test_threads.h"
#include "tests/win/ipc/tracker_sim_env.h"

namespace {

using zrvd_test::KeyExists;
using zrvd_test::LoopbackClient;

constexpr uint32_t kShortTimeoutMs = 1500;
const std::string kServiceRun = "In IPCService::Run()";
const std::string kMd5 = "0123456789abcdef0123456789abcdef";

std::string Inserting(const std::string& path) {
  return "\xB2\xE5\xC8\xEB\xCE\xC4\xBC\xFE: " + path;  // 插入文件: %s
}

// One listener for the whole process: its thread holds the name "p4pipc" for
// good. Clients get kShortTimeoutMs to send their request.
class IpcServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 0), &wsa);
    g_runtime = zrvd_test::TestThreads();
    auto* server = new IPCServer(0, kShortTimeoutMs);
    s_port = server->GetPort();
    ASSERT_TRUE(server->Start());
  }

  void SetUp() override {
    ASSERT_NE(s_port, 0);
    ASSERT_TRUE(zrvd_test::TestThreads()->WaitForRunning(1, 5000));
    const std::string address = zrvd_test::TrackerSimAddress();
    SHSetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "TrackerHost", REG_SZ,
                address.c_str(), static_cast<DWORD>(address.size() + 1));
  }
  void TearDown() override {
    zrvd_test::TestThreads()->RefuseNames(nullptr);
    // Every request thread has finished; only the listener runs.
    EXPECT_TRUE(zrvd_test::TestThreads()->WaitForRunning(1, 10000));
  }

  // Sends `request` in one piece and waits for the engine to close.
  void Exchange(const std::string& request, bool half_close = false) {
    LoopbackClient client(s_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(request));
    if (half_close) client.ShutdownSend();
    EXPECT_EQ(client.ReadToEnd(), "");
  }
  std::string Request(const std::string& path, const std::string& md5, const std::string& mode) {
    return path + "\r\n" + md5 + "\r\nhttp://cdn.example/f\r\n" + mode + "\r\n";
  }

  static int32_t s_port;
  zrvd_test::Sandbox m_box{"ipc"};
  zrvd_test::CapturingLog m_log;
};
int32_t IpcServiceTest::s_port = 0;

// A request written in one piece is shared, and the client sees the end of the
// stream only after the entry exists.
TEST_F(IpcServiceTest, WellFormedRequestIsShared) {
  const std::string path = m_box.MakeFile("a.pak", 131072);
  Exchange(Request(path, kMd5, "2"));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_TRUE(m_log.Has(kServiceRun));
  EXPECT_TRUE(m_log.Has(Inserting(path)));
}

// With a report, the tracker has the request by the time the client sees the end.
TEST_F(IpcServiceTest, ReportPrecedesTheClose) {
  ASSERT_NE(zrvd_test::TrackerSimAddress(), "") << "run under tools/tracker_sim.py";
  const std::string md5 = "ffffffffffffffffffffffffffff0001";
  const std::string path = m_box.MakeFile("r.pak", 131072);
  Exchange(Request(path, md5, "1"));
  EXPECT_NE(zrvd_test::TrackerSimRecord().find("md5=" + md5 + "&size=131072&mode=1&uid="),
            std::string::npos);
}

// Short and malformed requests register nothing; a second request on the same
// connection is ignored.
TEST_F(IpcServiceTest, MalformedRequestsRegisterNothing) {
  const std::string path = m_box.MakeFile("m.pak", 131072);
  Exchange(path + "\r\n", true);                                      // line 1 only
  Exchange(path + "\r\n" + kMd5 + "\r\nhttp://x/\r\n2", true);        // no CR LF after the mode
  Exchange(path + "\r\n" + kMd5 + "\nhttp://x/\n2\n", true);          // lone LFs
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_EQ(m_log.Count(kServiceRun), 3u);
  EXPECT_FALSE(m_log.Has(Inserting(path)));

  const std::string other = "ffffffffffffffffffffffffffff0002";
  Exchange(Request(path, kMd5, "2") + Request(path, other, "2"));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(other)));
}

// A request that fills whole 1024-byte reads is handled once the client
// half-closes its side.
TEST_F(IpcServiceTest, RestOfWholeBlocksIsHandledOnHalfClose) {
  const std::string path = m_box.MakeFile("b.pak", 131072);
  std::string rest = kMd5 + "\r\nhttp://x/";
  const std::string tail = "\r\n2\r\n";
  rest += std::string(1024 - rest.size() - tail.size(), 'u') + tail;
  ASSERT_EQ(rest.size(), 1024u);
  Exchange(path + "\r\n" + rest, true);
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5)));
}

// More than 64 KiB is dropped with a line and nothing registered.
TEST_F(IpcServiceTest, OversizedRequestIsDropped) {
  const std::string path = m_box.MakeFile("c.pak", 131072);
  Exchange(path + "\r\n" + kMd5 + "\r\n" + std::string(70 * 1024, 'u') + "\r\n2\r\n");
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_TRUE(m_log.Has("IPC request longer than 65536 bytes; dropped"));
  // A path line that never ends is cut off the same way.
  Exchange(std::string(70 * 1024, 'p'));
  EXPECT_EQ(m_log.Count("IPC request longer than 65536 bytes; dropped"), 2u);
}

// A client that connects and sends nothing is dropped when its time is up.
TEST_F(IpcServiceTest, SilentClientIsDropped) {
  LoopbackClient client(s_port);
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.ReadToEnd(), "");
  EXPECT_TRUE(m_log.Has("IPC client sent no request within 1500 ms; dropped"));
}

// When no thread can be had for a connection it is closed, not leaked, and the
// service goes on serving once threads are to be had again.
TEST_F(IpcServiceTest, RefusedThreadClosesTheConnection) {
  zrvd_test::TestThreads()->RefuseNames(
      [](const std::string& name) { return name.rfind("IPCSerive ", 0) == 0; });
  const std::string path = m_box.MakeFile("d.pak", 131072);
  Exchange(Request(path, kMd5, "2"));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_FALSE(m_log.Has(kServiceRun));
  bool logged = false;
  for (const std::string& line : m_log.Lines()) {
    logged |= line.rfind("No thread for the IPC request (IPCSerive ", 0) == 0;
  }
  EXPECT_TRUE(logged);

  zrvd_test::TestThreads()->RefuseNames(nullptr);
  Exchange(Request(path, kMd5, "2"));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5)));
}

// Many clients at once: every request is served on its own thread and every
// thread is gone afterwards.
TEST_F(IpcServiceTest, ManyClientsAtOnce) {
  constexpr int kClients = 40;
  std::vector<std::string> paths;
  for (int i = 0; i < kClients; ++i) paths.push_back(m_box.MakeFile(std::to_string(i) + ".pak", 131072));
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      char md5[33];
      snprintf(md5, sizeof(md5), "%032x", i + 1);
      LoopbackClient client(s_port);
      if (client.Connected() && client.Send(Request(paths[i], md5, "2"))) client.ReadToEnd();
    });
  }
  for (auto& t : clients) t.join();
  for (int i = 0; i < kClients; ++i) {
    char md5[33];
    snprintf(md5, sizeof(md5), "%032x", i + 1);
    EXPECT_TRUE(KeyExists(m_box.EntryPath(md5))) << md5;
  }
  EXPECT_EQ(m_log.Count(kServiceRun), static_cast<size_t>(kClients));
}

// A wanted port that is taken gives way to one the system chooses.
TEST_F(IpcServiceTest, TakenPortGivesAnother) {
  IPCServer second(s_port);
  EXPECT_NE(second.GetPort(), 0);
  EXPECT_NE(second.GetPort(), s_port);
}

}  // namespace
