#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/file_check.h"
#include "catalogue/number_text.h"
#include "http_test_support.h"
#include "httpserver/http_file_handler.h"
#include "httpserver/http_log_text.h"
#include "httpserver/response_head.h"
#include "server_fixture.h"
#include "tests/win/support/temp_folder.h"

namespace http_test {
namespace {

const std::string kNotFound = kNotFoundAnswer;
const char kMd5A[] = "0123456789abcdef0123456789ABCDEF";
const char kMd5Small[] = "11111111111111111111111111111111";
const char kMd5Big[] = "22222222222222222222222222222222";
const char kMd5Gone[] = "33333333333333333333333333333333";
const char kMd5Huge[] = "44444444444444444444444444444444";
const char kMd5Held[] = "55555555555555555555555555555555";
constexpr int64_t k3GiB = 3LL << 30;
constexpr int64_t kMarkerOffset = 2500000000LL;

// The catalogue as the tests set it up: MD5 text to local path.
std::mutex g_catalogueLock;
std::map<std::string, std::string> g_catalogue;

std::string LookUp(const std::string& md5) {
  std::lock_guard<std::mutex> lock(g_catalogueLock);
  auto found = g_catalogue.find(md5);
  return found == g_catalogue.end() ? std::string() : found->second;
}

// The entry a share of `path` writes now: its size and modify time.
CatalogueEntry EntryOf(const std::string& path) {
  CatalogueEntry entry;
  entry.local_path = path;
  zrvd::unique_hfile file(OpenForAttributes(path));
  LARGE_INTEGER size;
  if (file && GetFileSizeEx(file.get(), &size)) {
    entry.length = size.HighPart != 0 ? 0xFFFFFFFF : size.LowPart;
    entry.modify_time = FormatModifyTime(file.get());
  }
  return entry;
}

bool Find(const std::string& md5, CatalogueEntry* entry) {
  const std::string path = LookUp(md5);
  if (path.empty()) return false;
  *entry = EntryOf(path);
  return true;
}

// Counted: a recheck is where a real catalogue drops a stale entry.
std::atomic<int> g_rechecks{0};
bool NoFresherEntry(const std::string&, const CatalogueEntry&, CatalogueEntry*) {
  ++g_rechecks;
  return false;
}

const SharedFileSource kSource = {&Find, &NoFresherEntry};

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + (i >> 8) + seed) & 0xFF);
  return data;
}

// The suite's files, removed with their folder when the suite ends.
zrvd_test::TempFolder* g_files = nullptr;

std::string TempPath(const std::string& name) { return g_files->File(name); }

// Writes `data` at `offset` of a file of `size` bytes (sparse where not written).
bool WriteFileAt(const std::string& path, int64_t size, int64_t offset, const std::string& data) {
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER position;
  position.QuadPart = size;
  if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
    return false;
  }
  position.QuadPart = offset;
  DWORD written = 0;
  return SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) &&
         WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size();
}

struct Answer {
  std::string head;
  std::string body;
};

Answer Get(SOCKET socket, const std::string& md5, const std::string& headers,
           const std::string& version = "HTTP/1.1") {
  SendText(socket, "GET /" + md5 + " " + version + "\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
  Answer answer;
  answer.head = ReadHead(socket);
  const std::string length = HeaderValue(answer.head, "Content-length");
  if (!length.empty()) answer.body = ReadExactly(socket, std::stoul(length));
  return answer;
}

std::string StatusLine(const std::string& head) { return head.substr(0, head.find("\r\n")); }

class FileHandlerTest : public ServerTest {
 protected:
  static void SetUpTestSuite() {
    g_files = new zrvd_test::TempFolder("http");
    s_small = Pattern(1000, 1);
    ASSERT_TRUE(WriteFileAt(TempPath("a.bin"), 1000, 0, s_small));
    ASSERT_TRUE(WriteFileAt(TempPath("b501.bin"), 501, 0, Pattern(501, 2)));
    s_marker = Pattern(4096, 3);
    ASSERT_TRUE(WriteFileAt(TempPath("huge.bin"), k3GiB, kMarkerOffset, s_marker));
    ASSERT_TRUE(WriteFileAt(TempPath("big.bin"), 64 << 20, 0, "x"));
    std::lock_guard<std::mutex> lock(g_catalogueLock);
    g_catalogue[kMd5A] = TempPath("a.bin");
    g_catalogue[kMd5Small] = TempPath("b501.bin");
    g_catalogue[kMd5Huge] = TempPath("huge.bin");
    g_catalogue[kMd5Big] = TempPath("big.bin");
    g_catalogue[kMd5Gone] = TempPath("never-written.bin");
  }
  static void TearDownTestSuite() {
    delete g_files;
    g_files = nullptr;
  }

  void SetUp() override {
    ServerTest::SetUp();
    StartServer()->AddHandler(new HttpFileHandler(m_gate, kSource));
  }

  zrvd::unique_socket Peer() { return Connect(m_server->GetPort()); }

  static std::string s_small;
  static std::string s_marker;
};
std::string FileHandlerTest::s_small;
std::string FileHandlerTest::s_marker;

// Every row of the range table on one keep-alive connection: status, length,
// Content-Range and the very bytes. Malformed values serve the whole file; an
// end past the file is cut to its last byte.
TEST_F(FileHandlerTest, RangeTable) {
  struct Row {
    std::string headers;
    const char* status;
    size_t begin;
    size_t length;
  };
  const std::vector<Row> rows = {
      {"", "HTTP/1.1 200 OK", 0, 1000},
      {"Range: bytes=100-\r\n", "HTTP/1.1 206 Partial Content", 100, 900},
      {"range: bytes=100-199\r\n", "HTTP/1.1 206 Partial Content", 100, 100},
      {"RANGE: bytes=0-\r\n", "HTTP/1.1 200 OK", 0, 1000},
      {"Range: bytes=0-0\r\n", "HTTP/1.1 200 OK", 0, 1000},
      {"Range: bytes=-500\r\n", "HTTP/1.1 206 Partial Content", 0, 501},
      {"Range: bytes=0-99,200-299\r\n", "HTTP/1.1 206 Partial Content", 0, 100},
      {"Range: bytes=250-0\r\n", "HTTP/1.1 206 Partial Content", 250, 750},
      {"Range: bytes=900-1999\r\n", "HTTP/1.1 206 Partial Content", 900, 100},
      {"Range: bytes=0-9223372036854775807\r\n", "HTTP/1.1 200 OK", 0, 1000},
      {"Range: items=1-2\r\n", "HTTP/1.1 200 OK", 0, 1000},
      {"Range: bytes=100\r\n", "HTTP/1.1 200 OK", 0, 1000},
  };
  zrvd::unique_socket peer = Peer();
  for (const Row& row : rows) {
    Answer answer = Get(peer.get(), kMd5A, row.headers);
    EXPECT_EQ(StatusLine(answer.head), row.status) << row.headers;
    EXPECT_EQ(HeaderValue(answer.head, "Content-length"), std::to_string(row.length));
    EXPECT_EQ(HeaderValue(answer.head, "Content-Range"),
              "bytes " + std::to_string(row.begin) + "-" +
                  std::to_string(row.begin + row.length - 1) + "/1000");
    EXPECT_EQ(answer.body, s_small.substr(row.begin, row.length)) << row.headers;
    EXPECT_EQ(HeaderValue(answer.head, "Connection"), "");
  }
  // bytes=-500 of a 501-byte file is all of it: a 200.
  Answer whole = Get(peer.get(), kMd5Small, "Range: bytes=-500\r\n");
  EXPECT_EQ(StatusLine(whole.head), "HTTP/1.1 200 OK");
  EXPECT_EQ(whole.body.size(), 501u);
}

// The a.bin example, byte for byte; the connection stays open afterwards.
TEST_F(FileHandlerTest, ABinExample) {
  zrvd::unique_socket peer = Peer();
  SendText(peer.get(), std::string("GET /") + kMd5A + " HTTP/1.1\r\nRange: bytes=100-\r\n\r\n");
  EXPECT_EQ(ReadHead(peer.get()),
            "HTTP/1.1 206 Partial Content\r\n"
            "Date: Mon, 24 May 2004 01:36:26 GMT\r\n"
            "Accept-Ranges: bytes\r\n"
            "Content-length: 900\r\n"
            "Content-Range: bytes 100-999/1000\r\n"
            "Content-Type: application/octet-stream\r\n"
            "Content-Disposition: filename=\"" +
                FileNameOfPath(TempPath("a.bin")) + "\"\r\n\r\n");
  EXPECT_EQ(ReadExactly(peer.get(), 900), s_small.substr(100));
  EXPECT_EQ(Get(peer.get(), kMd5A, "").body, s_small);

  EXPECT_TRUE(Log().Contains(Format(http_log::kRequestedFile, TempPath("a.bin").c_str())));
  EXPECT_TRUE(Log().Contains("endOffsetStr: -"));
  EXPECT_TRUE(Log().Contains("beginOffset: 100"));
  EXPECT_TRUE(Log().Contains("endOffset: 0"));
  EXPECT_TRUE(WaitUntil([] { return Log().Contains(Format(http_log::kSentTotal, "900", "900")); }));
}

// A range the file cannot satisfy gets 416 with the size; the keep-alive rule holds.
TEST_F(FileHandlerTest, UnsatisfiableRangesGet416) {
  zrvd::unique_socket peer = Peer();
  for (const char* range : {"bytes=1000-", "bytes=5000-6000", "bytes=200-100"}) {
    Answer answer = Get(peer.get(), kMd5A, std::string("Range: ") + range + "\r\n");
    EXPECT_EQ(answer.head, BuildUnsatisfiableHead(1000, true)) << range;
    EXPECT_EQ(answer.body, "");
  }
  EXPECT_EQ(Get(peer.get(), kMd5A, "Range: bytes=999-\r\n").body, s_small.substr(999));

  zrvd::unique_socket closing = Peer();
  Answer answer = Get(closing.get(), kMd5A, "Range: bytes=1000-\r\n", "HTTP/1.0");
  EXPECT_EQ(answer.head, BuildUnsatisfiableHead(1000, false));
  EXPECT_TRUE(ServerClosed(closing.get()));
}

// The keep-alive table, over the wire; a closing answer says so in its head.
TEST_F(FileHandlerTest, KeepAliveTable) {
  struct Row {
    const char* version;
    const char* connection;
    bool stays_open;
  };
  for (const Row& row : {Row{"HTTP/1.0", "keep-alive", true}, Row{"HTTP/1.0", "", false},
                         Row{"HTTP/1.0", "Keep-Alive", false}, Row{"HTTP/1.1", "", true},
                         Row{"HTTP/1.1", "Close", true}, Row{"HTTP/1.1", "close", false}}) {
    zrvd::unique_socket peer = Peer();
    const std::string header =
        *row.connection ? std::string("Connection: ") + row.connection + "\r\n" : "";
    Answer answer = Get(peer.get(), kMd5A, header, row.version);
    EXPECT_EQ(answer.body, s_small) << row.version << " " << row.connection;
    EXPECT_EQ(HeaderValue(answer.head, "Connection"), row.stays_open ? "" : "close");
    if (row.stays_open) {
      EXPECT_EQ(Get(peer.get(), kMd5A, header, row.version).body, s_small);
    } else {
      EXPECT_TRUE(ServerClosed(peer.get())) << row.version << " " << row.connection;
    }
  }
}

// Not a GET, no 32 hex digits, an unknown MD5 or a missing file: the 404 bytes, then the end.
TEST_F(FileHandlerTest, NotFoundAnswers) {
  const std::vector<std::string> requests = {
      std::string("POST /") + kMd5A + " HTTP/1.1\r\n\r\n",
      std::string("get /") + kMd5A + " HTTP/1.1\r\n\r\n",
      "GET /0123456789abcdef0123456789abcde HTTP/1.1\r\n\r\n",
      "GET /0123456789abcdef0123456789abcdeg HTTP/1.1\r\n\r\n",
      "GET /0123456789abcdef 0123456789abcdef HTTP/1.1\r\n\r\n",
      "GET /ffffffffffffffffffffffffffffffff HTTP/1.1\r\n\r\n",
      std::string("GET /") + kMd5Gone + " HTTP/1.1\r\n\r\n",
  };
  for (const std::string& request : requests) {
    zrvd::unique_socket peer = Peer();
    SendText(peer.get(), request);
    EXPECT_EQ(ReadToEnd(peer.get()), kNotFound) << request;
  }
  EXPECT_TRUE(Log().Contains(Format(http_log::kRequestedFile, "")));
}

// A file that another program holds without sharing reads gets the 404 bytes and
// its path in the log, as any request does; no recheck, so its entry stays, and
// once the holder lets go it is served again.
TEST_F(FileHandlerTest, FileHeldWithoutReadSharingKeepsItsEntry) {
  const std::string path = TempPath("held.bin");
  const std::string data = Pattern(700, 7);
  ASSERT_TRUE(WriteFileAt(path, 700, 0, data));
  {
    std::lock_guard<std::mutex> lock(g_catalogueLock);
    g_catalogue[kMd5Held] = path;
  }
  {
    zrvd::unique_hfile holder(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    const int rechecks = g_rechecks;
    zrvd::unique_socket peer = Peer();
    SendText(peer.get(), std::string("GET /") + kMd5Held + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadToEnd(peer.get()), kNotFound);
    EXPECT_EQ(g_rechecks, rechecks);
  }
  EXPECT_TRUE(Log().Contains(Format(http_log::kRequestedFile, path.c_str())));
  zrvd::unique_socket peer = Peer();
  EXPECT_EQ(Get(peer.get(), kMd5Held, "").body, data);
  DeleteFileA(path.c_str());
}

// The MD5 alone picks the file: what follows it in the path, and the query, do not matter.
TEST_F(FileHandlerTest, TextAfterTheMd5IsIgnored) {
  zrvd::unique_socket peer = Peer();
  Answer answer = Get(peer.get(), std::string(kMd5A) + "/name.bin?x=1", "Range: bytes=10-19\r\n");
  EXPECT_EQ(answer.body, s_small.substr(10, 10));
  answer = Get(peer.get(), std::string("/") + kMd5A, "", "HTTP/1.1");  // "//" then 31 digits
  EXPECT_EQ(ReadToEnd(peer.get()), "");
  EXPECT_EQ(answer.head, kNotFound);
}

// The handler answers under the gate it is given: while internet peers are
// refused one gets the gate's Retry-After and no byte of the file; a LAN peer
// is served, its bytes counted as LAN bytes and as served.
TEST_F(FileHandlerTest, AnswersUnderItsGate) {
  m_gate->lan_peer = 0x7F000002;
  m_gate->refused = true;
  m_gate->retry_after = 77;
  zrvd::unique_socket internet = Peer();
  SendText(internet.get(), std::string("GET /") + kMd5A + " HTTP/1.1\r\n\r\n");
  const std::string refused = ReadToEnd(internet.get());
  EXPECT_EQ(StatusLine(refused), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(HeaderValue(refused, "Retry-After"), "77");

  zrvd::unique_socket lan = Connect(m_server->GetPort(), 10000, 0x7F000002);
  const Answer answer = Get(lan.get(), kMd5A, "");
  EXPECT_EQ(StatusLine(answer.head), "HTTP/1.1 200 OK");
  EXPECT_EQ(answer.body, s_small);
  EXPECT_TRUE(WaitUntil([&] { return m_gate->served_bytes == s_small.size(); }));
  EXPECT_EQ(m_gate->served_requests, 1u);
  EXPECT_EQ(m_gate->lan_bytes, answer.head.size() + s_small.size());
  EXPECT_EQ(m_gate->internet_bytes, 0u);
}

// A catalogue that vouches for a file and sees it replaced right afterwards, before
// the handler opens it (by a file of the same size, written a minute earlier);
// asked again, it vouches only while the path still holds the first content.
struct SwappingCatalogue {
  std::string path;
  std::string first;
  std::string second;
  int lookups = 0;
};
SwappingCatalogue* g_swapping = nullptr;

std::string ReadWholeFile(const std::string& path) {
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string data(4096, '\0');
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), &data[0], static_cast<DWORD>(data.size()), &got, nullptr)) {
    return std::string();
  }
  data.resize(got);
  return data;
}

bool FindSwapping(const std::string&, CatalogueEntry* entry) {
  SwappingCatalogue& catalogue = *g_swapping;
  ++catalogue.lookups;
  *entry = EntryOf(catalogue.path);
  const std::string fresh = catalogue.path + ".new";
  WriteFileAt(fresh, catalogue.second.size(), 0, catalogue.second);
  {
    zrvd::unique_hfile file(CreateFileA(fresh.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written;
    GetFileTime(file.get(), nullptr, nullptr, &written);
    ULARGE_INTEGER earlier{{written.dwLowDateTime, written.dwHighDateTime}};
    earlier.QuadPart -= 60ULL * 10000000ULL;
    written = {earlier.LowPart, earlier.HighPart};
    SetFileTime(file.get(), nullptr, nullptr, &written);
  }
  MoveFileExA(fresh.c_str(), catalogue.path.c_str(), MOVEFILE_REPLACE_EXISTING);
  return true;
}

bool RecheckSwapping(const std::string&, const CatalogueEntry&, CatalogueEntry* fresh) {
  SwappingCatalogue& catalogue = *g_swapping;
  ++catalogue.lookups;
  if (ReadWholeFile(catalogue.path) != catalogue.first) return false;
  *fresh = EntryOf(catalogue.path);
  return true;
}

// A file replaced between the catalogue's check and the open is not served under
// the old MD5: the peer gets the 404 bytes, not the new content.
TEST_F(FileHandlerTest, FileReplacedAfterTheLookupIsNotServed) {
  SwappingCatalogue catalogue;
  catalogue.path = TempPath("swapped.bin");
  catalogue.first = Pattern(3000, 5);
  catalogue.second = Pattern(3000, 6);
  ASSERT_TRUE(WriteFileAt(catalogue.path, 3000, 0, catalogue.first));
  g_swapping = &catalogue;
  // Both run until the process ends, as every started server does; a thread
  // manager of its own, since the fixture's already has an "HttpServer".
  HttpServer* server = new HttpServer(m_gate);
  ASSERT_TRUE(server->Start(new TestThreadManager, 0));
  server->AddHandler(
      new HttpFileHandler(m_gate, SharedFileSource{&FindSwapping, &RecheckSwapping}));
  {
    zrvd::unique_socket peer = Connect(server->GetPort());
    SendText(peer.get(), std::string("GET /") + kMd5A + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadToEnd(peer.get()), kNotFound);
  }
  EXPECT_GE(catalogue.lookups, 2);
  EXPECT_TRUE(WaitUntil([server] { return server->OpenConnections() == 0; }));
  g_swapping = nullptr;
  DeleteFileA(catalogue.path.c_str());
}

// A range past the end of the file promises only the file's bytes: all of them
// go out, the totals agree and the connection stays open for the next request.
TEST_F(FileHandlerTest, RangePastTheEndKeepsTheConnection) {
  zrvd::unique_socket peer = Peer();
  Answer answer = Get(peer.get(), kMd5A, "Range: bytes=900-1999\r\n");
  EXPECT_EQ(HeaderValue(answer.head, "Content-Range"), "bytes 900-999/1000");
  EXPECT_EQ(answer.body, s_small.substr(900));
  EXPECT_TRUE(WaitUntil([] { return Log().Contains(Format(http_log::kSentTotal, "100", "100")); }));
  EXPECT_EQ(Get(peer.get(), kMd5A, "Range: bytes=0-9\r\n").body, s_small.substr(0, 10));
}

// A 3 GiB file is served from offset 2,500,000,000 with all digits in the head.
TEST_F(FileHandlerTest, FilesPast2GiBAreServed) {
  zrvd::unique_socket peer = Peer();
  Answer answer = Get(peer.get(), kMd5Huge, "Range: bytes=2500000000-2500004095\r\n");
  EXPECT_EQ(StatusLine(answer.head), "HTTP/1.1 206 Partial Content");
  EXPECT_EQ(HeaderValue(answer.head, "Content-Range"), "bytes 2500000000-2500004095/3221225472");
  EXPECT_EQ(answer.body, s_marker);

  answer = Get(peer.get(), kMd5Huge, "Range: bytes=3221225471-\r\n");
  EXPECT_EQ(HeaderValue(answer.head, "Content-Range"), "bytes 3221225471-3221225471/3221225472");
  EXPECT_EQ(answer.body, std::string(1, '\0'));

  SendText(peer.get(), std::string("GET /") + kMd5Huge + " HTTP/1.1\r\nRange: bytes=" +
                           Int64ToString(kMarkerOffset) + "-\r\n\r\n");
  const std::string head = ReadHead(peer.get());
  EXPECT_EQ(HeaderValue(head, "Content-length"), Int64ToString(k3GiB - kMarkerOffset));
  EXPECT_EQ(ReadExactly(peer.get(), s_marker.size()), s_marker);
}

// A peer that goes away mid-body: the short send is logged, then the totals, and
// the connection ends.
TEST_F(FileHandlerTest, PeerLeavingMidBodyIsLogged) {
  {
    zrvd::unique_socket peer = Peer();
    SendText(peer.get(), std::string("GET /") + kMd5Big + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(HeaderValue(ReadHead(peer.get()), "Content-length"), std::to_string(64 << 20));
    ReadExactly(peer.get(), 100000);
    linger reset = {1, 0};
    setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof(reset));
  }
  const std::string short_send_start(http_log::kShortSend, 8);
  const std::string totals_start(http_log::kSentTotal, 8);
  bool short_send = false, totals = false;
  EXPECT_TRUE(WaitUntil([&] {
    for (const std::string& line : Log().Lines()) {
      short_send = short_send || line.rfind(short_send_start, 0) == 0;
      totals = totals || (line.rfind(totals_start, 0) == 0 &&
                          line.find(" / " + std::to_string(64 << 20)) != std::string::npos);
    }
    return short_send && totals && m_server->OpenConnections() == 0;
  }));
}

// A peer that takes a little of its answer now and then, fewer bytes than the
// minimum over a window of sending time, is dropped with a line that says so.
TEST_F(FileHandlerTest, PeerBelowTheMinimumRateIsDropped) {
  HttpServerLimits limits;
  limits.min_rate_window_ms = 1000;
  limits.min_rate_bytes = 32 * 1024;
  limits.send_buffer_bytes = 16 * 1024;
  // Both run until the process ends, as every started server does.
  HttpServer* server = new HttpServer(m_gate, limits);
  ASSERT_TRUE(server->Start(new TestThreadManager, 0));
  server->AddHandler(new HttpFileHandler(m_gate, kSource));
  zrvd::unique_socket peer = Connect(server->GetPort(), 200);
  int small_buffer = 4096;
  setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small_buffer),
             sizeof(small_buffer));
  SendText(peer.get(), std::string("GET /") + kMd5Big + " HTTP/1.1\r\n\r\n");
  // 1 KiB every 100 ms, about 10 KiB/s: a byte now and then, never a stall.
  const std::string too_slow_start(http_log::kTooSlow, 30);
  const auto dropped = [&] {
    for (const std::string& line : Log().Lines()) {
      if (line.rfind(too_slow_start, 0) == 0) return true;
    }
    return false;
  };
  char buffer[1024];
  for (int i = 0; i < 100 && !dropped(); ++i) {
    recv(peer.get(), buffer, sizeof(buffer), 0);
    Sleep(100);
  }
  EXPECT_TRUE(dropped()) << "still served after 10 s";
  EXPECT_TRUE(WaitUntil([&] { return server->OpenConnections() == 0; }));
}

// At the bound with no connection idle, the answer that took the fewest bytes
// over its last window gives way to a new connection when that is below the
// eviction rate, and says so; a peer several times faster keeps its answer
// going; with none that slow the next new connection is refused.
TEST_F(FileHandlerTest, SlowestAnswerGivesWayAtTheBound) {
  HttpServerLimits limits;
  limits.max_connections = 2;
  limits.min_rate_window_ms = 2000;
  limits.min_rate_bytes = 1024;
  limits.evict_below_bytes = 128 * 1024;
  limits.send_buffer_bytes = 64 * 1024;
  // Both run until the process ends, as every started server does.
  HttpServer* server = new HttpServer(m_gate, limits);
  ASSERT_TRUE(server->Start(new TestThreadManager, 0));
  server->AddHandler(new HttpFileHandler(m_gate, kSource));
  zrvd::unique_socket slow = Connect(server->GetPort(), 200);
  zrvd::unique_socket fast = Connect(server->GetPort(), 200);
  int small_buffer = 16 * 1024;
  for (SOCKET peer : {slow.get(), fast.get()}) {
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small_buffer),
               sizeof(small_buffer));
    SendText(peer, std::string("GET /") + kMd5Big + " HTTP/1.1\r\n\r\n");
  }
  // Every 50 ms the slow peer takes 1 KiB (20 KiB/s: above the minimum, below
  // the eviction rate of 64 KiB/s), the fast one up to 8 KiB (2.5 times that
  // rate, as a 64 kbit/s link is 7 times the real one).
  char buffer[8 * 1024];
  bool slow_open = true;
  int fast_got = 0;
  const auto tick = [&] {
    if (slow_open) {
      const int got = recv(slow.get(), buffer, 1024, 0);
      slow_open = got > 0 || (got < 0 && WSAGetLastError() == WSAETIMEDOUT);
    }
    fast_got = recv(fast.get(), buffer, sizeof(buffer), 0);
    Sleep(50);
  };
  for (int i = 0; i < 60; ++i) tick();
  ASSERT_TRUE(slow_open);
  zrvd::unique_socket newcomer = Connect(server->GetPort());
  const auto logged = [&] {
    for (const std::string& line : Log().Lines()) {
      if (line.find(", the fewest of 2 open: a new one takes its place") != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] {
    tick();
    return !slow_open && logged();
  }));
  EXPECT_TRUE(WaitUntil([&] { return server->OpenConnections() == 2; }));

  zrvd::unique_socket refused = Connect(server->GetPort());
  EXPECT_TRUE(ServerClosed(refused.get()));
  EXPECT_TRUE(Log().Contains(Format(http_log::kTooManyConnections, 2)));
  tick();
  EXPECT_GT(fast_got, 0);
  SendText(newcomer.get(), std::string("GET /") + kMd5A + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(HeaderValue(ReadHead(newcomer.get()), "Content-length"), "1000");
}

// A peer that keeps reading, slowly but well above the minimum, gets its
// 256 KiB range whole: only bytes taken over the window count, not single sends.
TEST_F(FileHandlerTest, SlowPeerThatKeepsReadingIsServed) {
  HttpServerLimits limits;
  limits.min_rate_window_ms = 1000;
  limits.min_rate_bytes = 8 * 1024;
  limits.send_buffer_bytes = 64 * 1024;
  // Both run until the process ends, as every started server does.
  HttpServer* server = new HttpServer(m_gate, limits);
  ASSERT_TRUE(server->Start(new TestThreadManager, 0));
  server->AddHandler(new HttpFileHandler(m_gate, kSource));
  zrvd::unique_socket peer = Connect(server->GetPort());
  int small_buffer = 16 * 1024;
  setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small_buffer),
             sizeof(small_buffer));
  // 8 KiB every 50 ms, about 160 KiB/s: twenty times the minimum, as a 64 kbit/s
  // link is thirty times the real one.
  constexpr size_t kRange = 256 * 1024;
  constexpr size_t kStep = 8 * 1024;
  SendText(peer.get(), std::string("GET /") + kMd5Big + " HTTP/1.1\r\nRange: bytes=0-" +
                           std::to_string(kRange - 1) + "\r\n\r\n");
  EXPECT_EQ(HeaderValue(ReadHead(peer.get()), "Content-length"), std::to_string(kRange));
  size_t got = 0;
  while (got < kRange) {
    const std::string piece = ReadExactly(peer.get(), kStep);
    if (piece.size() != kStep) break;
    got += piece.size();
    Sleep(50);
  }
  EXPECT_EQ(got, kRange);
  EXPECT_EQ(server->OpenConnections(), 1);
  const std::string total = std::to_string(kRange);
  EXPECT_TRUE(WaitUntil([&] { return Log().Contains(Format(http_log::kSentTotal, total.c_str(), total.c_str())); }));
}

}  // namespace
}  // namespace http_test
