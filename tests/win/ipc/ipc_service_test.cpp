#include "ipc/ipc_server.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/win/catalogue/test_support.h"
#include "tests/win/ipc/loopback_client.h"
#include "tests/win/support/test_threads.h"

namespace {

using zrvd_test::KeyExists;
using zrvd_test::LoopbackClient;

constexpr uint32_t kShortTimeoutMs = 1500;
const std::string kServiceRun = "In IPCService::Run()";
const std::string kMd5 = "0123456789abcdef0123456789abcdef";

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
  zrvd_test::CaptureLog m_log;
};
int32_t IpcServiceTest::s_port = 0;

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

// When no thread can be had for a connection it is closed, not leaked, and the
// service goes on serving once threads are to be had again.
TEST_F(IpcServiceTest, RefusedThreadClosesTheConnection) {
  zrvd_test::TestThreads()->RefuseNames(
      [](const std::string& name) { return name.rfind("IPCSerive ", 0) == 0; });
  const std::string path = m_box.MakeFile("d.pak", 131072);
  Exchange(Request(path, kMd5, "2"));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_FALSE(m_log.Contains(kServiceRun));
  bool logged = false;
  for (const std::string& line : m_log.Lines()) {
    logged |= line.rfind("No thread for the IPC request (IPCSerive ", 0) == 0;
  }
  EXPECT_TRUE(logged);

  zrvd_test::TestThreads()->RefuseNames(nullptr);
  Exchange(Request(path, kMd5, "2"));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5)));
}

}  // namespace
