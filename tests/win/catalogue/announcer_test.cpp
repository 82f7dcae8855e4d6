#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "catalogue/address_probe.h"
#include "catalogue/tracker_announcer.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "tests/win/catalogue/test_support.h"

namespace {

using zrvd_test::CaptureLog;
using zrvd_test::Sandbox;

constexpr char kUid[] = "00112233445566778899AABBCCDDEEFF";

// A loopback UDP socket standing in for the tracker host.
class TrackerSocket {
 public:
  TrackerSocket() : m_socket(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(m_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int size = sizeof(address);
    getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    DWORD timeout_ms = 500;
    setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout_ms),
               sizeof(timeout_ms));
  }
  int Port() const { return m_port; }
  // Everything that arrives until the socket stays quiet for half a second.
  std::vector<std::string> Received() {
    std::vector<std::string> datagrams;
    char buffer[65536];
    for (;;) {
      int got = recv(m_socket.get(), buffer, sizeof(buffer), 0);
      if (got <= 0) return datagrams;
      datagrams.emplace_back(buffer, static_cast<size_t>(got));
    }
  }

 private:
  zrvd::unique_socket m_socket;
  int m_port = 0;
};

// A loopback TCP listener standing in for the probe host; connections wait in
// its backlog, which is all the probe needs.
class ProbeListener {
 public:
  ProbeListener() : m_socket(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(m_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(m_socket.get(), 16);
    int size = sizeof(address);
    getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
  }
  int Port() const { return m_port; }
  void Close() { m_socket.reset(); }

 private:
  zrvd::unique_socket m_socket;
  int m_port = 0;
};

// Settings live in the engine key, here the sandbox's.
void SetSetting(const char* name, const std::string& value) {
  SHSetValueA(g_regRoot, g_regPath.c_str(), name, REG_SZ, value.c_str(),
              static_cast<DWORD>(value.size() + 1));
}

void WriteTyped(const Sandbox& box, const std::string& md5, const DWORD* type) {
  zrvd::unique_hkey key;
  RegCreateKeyExA(HKEY_CURRENT_USER, box.EntryPath(md5).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, key.put(), nullptr);
  if (type) RegSetValueExA(key.get(), "FileType", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(type), sizeof(*type));
}

std::string Md5(char c) { return std::string(32, c); }

class AnnouncerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 0), &wsa);
  }
  void SetUp() override {
    ResetLocalAddressTextForTest();
    g_userId = kUid;
    SetSetting("TrackerHost", "127.0.0.1:" + std::to_string(m_tracker.Port()));
    SetSetting("ProbeHost", "127.0.0.1:" + std::to_string(m_probe.Port()));
  }
  void TearDown() override {
    ResetLocalAddressTextForTest();
    SetAnnounceWaitForTest(nullptr);
  }

  std::string Header() const {
    // No HTTP server in this process: the port reads 0.
    return std::string("KeepAlive\r\ntype:add\r\nuid:") + kUid +
           "\r\nhash:127.0.0.1%200%20Hash%20Hash%20Hash\r\n";
  }

  CaptureLog m_log;
  Sandbox m_box{"announce"};
  TrackerSocket m_tracker;
  ProbeListener m_probe;
};

// Entries with a REG_DWORD FileType are announced by type; others never are.
TEST_F(AnnouncerTest, SendsTheCatalogueByteForByte) {
  const DWORD zero = 0, one = 1, two = 2;
  WriteTyped(m_box, Md5('a'), &zero);
  WriteTyped(m_box, Md5('b'), &two);
  WriteTyped(m_box, Md5('c'), nullptr);
  WriteTyped(m_box, Md5('d'), &one);
  ASSERT_TRUE(AnnounceCatalogue(true));
  std::vector<std::string> datagrams = m_tracker.Received();
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0], Header() + "md5:" + Md5('a') + "\r\nMD5:" + Md5('d') + "\r\n");
  EXPECT_TRUE(m_log.Contains("Local IP : 127.0.0.1"));
  EXPECT_TRUE(m_log.Contains("Send Shared Files:\r\n" + datagrams[0]));
}

TEST_F(AnnouncerTest, EmptyCatalogueSendsNothingAndSucceeds) {
  EXPECT_TRUE(AnnounceCatalogue(true));
  EXPECT_TRUE(m_tracker.Received().empty());
}

// A missing engine key fails the pass without a word.
TEST_F(AnnouncerTest, MissingEngineKeyFails) {
  g_regPath = m_box.RegPath() + "\\absent";
  EXPECT_FALSE(AnnounceCatalogue(true));
  EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(AnnouncerTest, UnresolvableTrackerFailsWithItsLine) {
  const DWORD zero = 0;
  WriteTyped(m_box, Md5('a'), &zero);
  SetSetting("TrackerHost", "no-such-tracker.invalid");
  EXPECT_FALSE(AnnounceCatalogue(true));
  // 无法解析域名<host>!
  EXPECT_TRUE(m_log.Contains("\xCE\xDE\xB7\xA8\xBD\xE2\xCE\xF6\xD3\xF2\xC3\xFB"
                        "no-such-tracker.invalid!"));
}

// A refusing probe host: the connect line, no datagram, and nothing kept.
TEST_F(AnnouncerTest, RefusingProbeHostSendsNothing) {
  const DWORD zero = 0;
  WriteTyped(m_box, Md5('a'), &zero);
  m_probe.Close();
  EXPECT_FALSE(AnnounceCatalogue(true));
  EXPECT_TRUE(m_tracker.Received().empty());
  bool connect_line = false;
  for (const std::string& line : m_log.Lines()) connect_line |= line.rfind("connect : ", 0) == 0;
  EXPECT_TRUE(connect_line);
  EXPECT_EQ(GetLocalAddressText(), "");
}

// After one success the kept text is used: the probe host may go away.
TEST_F(AnnouncerTest, ProbeResultIsKeptAfterSuccess) {
  const std::string first = GetLocalAddressText();
  ASSERT_EQ(first, "127.0.0.1%200%20Hash%20Hash%20Hash");
  m_probe.Close();
  SetSetting("ProbeHost", "no-such-probe.invalid");
  m_log.Clear();
  EXPECT_EQ(GetLocalAddressText(), first);
  EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(AnnouncerTest, UnresolvableProbeHostLogsLevelFourLine) {
  SetSetting("ProbeHost", "no-such-probe.invalid");
  EXPECT_EQ(GetLocalAddressText(), "");
  bool line = false;
  for (const std::string& l : m_log.Lines()) line |= l.rfind("gethostbyname : ", 0) == 0;
  EXPECT_TRUE(line);
}

// The loop waits five minutes after a failure and an hour after a success; the
// waits go through the seam, so the test sees the pauses the product would take.
std::vector<DWORD>* g_waits = nullptr;
HANDLE g_waitsDone = nullptr;

void RecordWait(DWORD ms) {
  g_waits->push_back(ms);
  if (g_waits->size() == 1) {
    // Mend the tracker for the next pass.
    SetSetting("TrackerHost", "127.0.0.1:" + std::string(getenv("ZRVD_TEST_TRACKER_PORT")));
  } else if (g_waits->size() == 2) {
    SetEvent(g_waitsDone);
    for (;;) Sleep(INFINITE);
  }
}

TEST_F(AnnouncerTest, LoopRetriesAfterTheShortWait) {
  const DWORD zero = 0;
  WriteTyped(m_box, Md5('a'), &zero);
  SetSetting("TrackerHost", "no-such-tracker.invalid");
  std::string port = std::to_string(m_tracker.Port());
  SetEnvironmentVariableA("ZRVD_TEST_TRACKER_PORT", port.c_str());
  _putenv(("ZRVD_TEST_TRACKER_PORT=" + port).c_str());
  std::vector<DWORD> waits;
  g_waits = &waits;
  zrvd::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_waitsDone = done.get();
  SetAnnounceWaitForTest(RecordWait);
  std::thread([] { RunAnnouncer(); }).detach();
  ASSERT_EQ(WaitForSingleObject(done.get(), 30000), WAIT_OBJECT_0);
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0], kAnnounceAfterFailureMs);
  EXPECT_EQ(waits[1], kAnnounceAfterSuccessMs);
  EXPECT_EQ(m_tracker.Received().size(), 1u);
}

}  // namespace
