#include "ipc/share_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "catalogue/shared_file_list.h"
#include "tests/win/catalogue/test_support.h"
#include "tests/win/ipc/tracker_sim_env.h"

namespace {

using zrvd_test::AgeFile;
using zrvd_test::CaptureLog;
using zrvd_test::KeyExists;
using zrvd_test::ModifyTimeOf;
using zrvd_test::Sandbox;

// The share command's log texts, in the engine's GBK bytes.
std::string Inserting(const std::string& path) {
  return "\xB2\xE5\xC8\xEB\xCE\xC4\xBC\xFE: " + path;  // 插入文件: %s
}
std::string CannotOpen(const std::string& path) {
  return "\xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE: " + path;  // 无法打开文件: %s
}
// 文件太大，不予共享!
const std::string kTooLarge =
    "\xCE\xC4\xBC\xFE\xCC\xAB\xB4\xF3\xA3\xAC\xB2\xBB\xD3\xE8\xB9\xB2\xCF\xED!";
std::string Sharing(const std::string& path) {
  return "\xB9\xB2\xCF\xED\xCE\xC4\xBC\xFE: " + path;  // 共享文件: %s
}
std::string Sending(const std::string& url) {
  return "\xB7\xA2\xCB\xCD\xC7\xEB\xC7\xF3: " + url;  // 发送请求: %s
}
std::string Received(const std::string& body) {
  return "\xCA\xD5\xB5\xBD\xBB\xD8\xB8\xB4: " + body;  // 收到回复: %s
}
std::vector<std::string> Opening(const std::string& path, const std::string& md5,
                                 const std::string& url, const std::string& mode) {
  return {Inserting(path), "MD5: " + md5, "URL: " + url, "Mode: " + mode};
}

const std::string kMd5 = "0123456789abcdef0123456789abcdef";
const std::string kUrl = "http://cdn.example/a b.pak";
const std::string kUserId = "00112233445566778899AABBCCDDEEFF";

// The catalogue lock's test seams: the next step runs `g_onStep` once; a thread
// that finds the lock held sets `g_waiting`.
std::function<void()> g_onStep;
HANDLE g_waiting = nullptr;
void RunStepOnce() {
  std::function<void()> step;
  step.swap(g_onStep);
  if (step) step();
}
void SetWaiting() { SetEvent(g_waiting); }

std::string g_handOverPath;
DWORD WINAPI HandOverOnThread(void*) {
  ShareFile(g_handOverPath, kMd5, kUrl, "2");
  return 0;
}

class ShareFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(zrvd_test::TrackerSimAddress(), "") << "run under tools/tracker_sim.py";
    const std::string address = zrvd_test::TrackerSimAddress();
    ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "TrackerHost", REG_SZ,
                          address.c_str(), static_cast<DWORD>(address.size() + 1)),
              ERROR_SUCCESS);
    g_userId = kUserId;
  }
  void TearDown() override { g_userId.clear(); }

  std::string BaseUrl() const { return "http://" + zrvd_test::TrackerSimAddress() + "/"; }
  std::vector<std::string> Lines() { return m_log.Lines(); }

  Sandbox m_box{"share"};
  CaptureLog m_log;
};

// Each step of a share leaves its line, in order: the report's request byte
// for byte and the tracker's answer; a file that cannot be opened, or one of
// 4 GiB or more, ends the command with its own line and no entry.
TEST_F(ShareFileTest, LogsEachStep) {
  const std::string path = m_box.MakeFile("min.pak", 131072);
  ShareFile(path, kMd5, kUrl, "1");
  const std::string target = "insert.php?url=http%3A%2F%2Fcdn.example%2Fa%20b.pak&md5=" + kMd5 +
                             "&size=131072&mode=1&uid=" + kUserId;
  std::vector<std::string> expected = Opening(path, kMd5, kUrl, "1");
  expected.push_back(Sharing(path));
  expected.push_back(Sending(BaseUrl() + target));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
  EXPECT_EQ(lines.back().rfind(Received("OK\r\n"), 0), 0u) << lines.back();

  const std::string other = "fedcba9876543210fedcba9876543210";
  for (const std::string& file : {m_box.path() + "\\missing.pak",
                                  m_box.MakeFile("huge.pak", 0x100000001ULL)}) {
    m_log.Clear();
    ShareFile(file, other, kUrl, "1");
    expected = Opening(file, other, kUrl, "1");
    expected.push_back(file.find("missing") != std::string::npos ? CannotOpen(file) : kTooLarge);
    EXPECT_EQ(Lines(), expected);
  }
  EXPECT_FALSE(KeyExists(m_box.EntryPath(other)));
}

// A hand-over of the same file (same path, a new time) that arrives while a
// check or a lookup deletes or marks the entry it read waits for that act, then
// writes its entry whole: never lost to the delete, never marked by the check
// of the old file. The hand-over runs on another thread from inside the act.
TEST_F(ShareFileTest, HandOverWaitsForAnActOnItsEntry) {
  SharedFileList list;
  zrvd::unique_handle waiting(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_waiting = waiting.get();
  SetCatalogueTestHooks(&SetWaiting, &RunStepOnce);
  g_handOverPath = m_box.MakeFile("same.pak", 131072);
  const std::pair<const char*, std::function<bool(const CatalogueEntry&)>> acts[] = {
      {"delete", [&](const CatalogueEntry& seen) { return list.DeleteIfUnchanged(kMd5, seen); }},
      {"mark", [&](const CatalogueEntry& seen) { return list.MarkVerified(kMd5, seen); }},
      {"recheck", [&](const CatalogueEntry& seen) {
         CatalogueEntry fresh;
         return !list.RecheckEntry(kMd5, seen, &fresh);
       }}};
  int days = 0;
  for (const auto& act : acts) {
    CatalogueEntry seen;
    seen.local_path = g_handOverPath;
    seen.modify_time = ModifyTimeOf(g_handOverPath);
    seen.length = 131072;
    ASSERT_TRUE(zrvd_test::WriteEntry(m_box.EntryPath(kMd5), seen.local_path, seen.modify_time,
                                      seen.length));
    ASSERT_TRUE(AgeFile(g_handOverPath, ++days));  // the file, written again
    ResetEvent(waiting.get());
    zrvd::unique_handle hand_over;
    g_onStep = [&] {
      hand_over.reset(CreateThread(nullptr, 0, &HandOverOnThread, nullptr, 0, nullptr));
      // Either the hand-over runs through now, or it waits for the lock.
      HANDLE either[] = {hand_over.get(), waiting.get()};
      WaitForMultipleObjects(2, either, FALSE, 30000);
    };
    EXPECT_TRUE(act.second(seen)) << act.first;
    ASSERT_EQ(WaitForSingleObject(hand_over.get(), 30000), WAIT_OBJECT_0) << act.first;

    zrvd::unique_hkey key;
    CatalogueEntry stored;
    EXPECT_TRUE(RegOpenKeyExA(HKEY_CURRENT_USER, m_box.EntryPath(kMd5).c_str(), 0, KEY_READ,
                              key.put()) == ERROR_SUCCESS &&
                ReadCatalogueEntry(key.get(), 1023, 255, &stored))
        << act.first << ": the new entry is lost";
    EXPECT_EQ(stored.modify_time, ModifyTimeOf(g_handOverPath)) << act.first;
    EXPECT_FALSE(stored.verified) << act.first << ": marked by the check of the old file";
  }
  SetCatalogueTestHooks(nullptr, nullptr);
}

// A write of the entry that fails (another program deleted the key just made)
// is logged; the file is then neither checked nor reported.
TEST_F(ShareFileTest, FailedEntryWriteIsLogged) {
  const std::string path = m_box.MakeFile("lost.pak", 131072);
  const std::string entry = m_box.EntryPath(kMd5);
  g_onStep = [&] { RegDeleteKeyA(HKEY_CURRENT_USER, entry.c_str()); };
  SetCatalogueTestHooks(nullptr, &RunStepOnce);
  ShareFile(path, kMd5, kUrl, "1");
  SetCatalogueTestHooks(nullptr, nullptr);
  std::vector<std::string> expected = Opening(path, kMd5, kUrl, "1");
  expected.push_back(Sharing(path));
  expected.push_back("Catalogue entry " + kMd5 +
                     ": writing LocalPath failed (error 1018); the file is not shared");
  EXPECT_EQ(Lines(), expected);
  EXPECT_FALSE(KeyExists(entry));
}

// The answer rule end to end: "OK\r\n42\r\n" gives true and 42; near misses
// give false and the whole body; a 404 gives false and no body.
TEST_F(ShareFileTest, TrackerAnswerRule) {
  std::string value;
  EXPECT_TRUE(SendTrackerRequest("_sim/answer?body=OK%0D%0A42%0D%0A&", &value));
  EXPECT_EQ(value, "42");
  EXPECT_FALSE(SendTrackerRequest("_sim/answer?body=OK&", &value));
  EXPECT_EQ(value, "OK");
  EXPECT_FALSE(SendTrackerRequest("_sim/answer?body=ok%0D%0A42%0D%0A&", &value));
  EXPECT_EQ(value, "ok\r\n42\r\n");
  EXPECT_FALSE(SendTrackerRequest("_sim/answer?body=%20OK%0D%0A42%0D%0A&", &value));
  EXPECT_EQ(value, " OK\r\n42\r\n");
  EXPECT_FALSE(SendTrackerRequest("_sim/answer?status=404&body=x&", &value));
  EXPECT_EQ(value, "");
}

// An empty user identifier is sent as "Unknown"; a size past 2 GiB as unsigned
// digits.
TEST_F(ShareFileTest, UnknownUserAndLargeSizes) {
  g_userId.clear();
  EXPECT_TRUE(ReportSharedFile("u", kMd5, 3000000000u, "0"));
  EXPECT_TRUE(m_log.Contains(Sending(BaseUrl() + "insert.php?url=u&md5=" + kMd5 +
                                "&size=3000000000&mode=0&uid=Unknown")));
}

// Without a usable TrackerHost the built-in host is asked.
TEST_F(ShareFileTest, TrackerHostDefaultsWhenUnusable) {
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "TrackerHost", REG_SZ,
                        "bad host:0", 11),
            ERROR_SUCCESS);
  std::string value;
  SendTrackerRequest("insert.php?x=1&", &value);
  EXPECT_TRUE(m_log.Contains(Sending("http://tracker.morwick.example/insert.php?x=1&uid=" + kUserId)));
}

}  // namespace
