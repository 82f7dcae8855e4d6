#include "ipc/share_file.h"

#include <gtest/gtest.h>

#include "catalogue/registry_value.h"
#include "tests/win/catalogue/test_support.h"
#include "tests/win/ipc/tracker_sim_env.h"

namespace {

using zrvd_test::CapturingLog;
using zrvd_test::KeyExists;
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
  CapturingLog m_log;
};

// A file of exactly 128 KiB is registered with the five values in their exact
// types and sizes (texts without NUL), then reported: the request is logged
// byte for byte, the tracker's answer too, and the tracker saw that request.
TEST_F(ShareFileTest, RegistersAndReportsAFileOfTheMinimumSize) {
  const std::string path = m_box.MakeFile("min.pak", 131072);
  ShareFile(path, kMd5, kUrl, "1");

  const std::string entry = m_box.EntryPath(kMd5);
  zrvd::unique_hkey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, entry.c_str(), 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  std::string text;
  EXPECT_TRUE(ReadStringValue(key.get(), "LocalPath", 1023, &text));
  EXPECT_EQ(text, path);
  EXPECT_TRUE(ReadStringValue(key.get(), "Url", 1023, &text));
  EXPECT_EQ(text, kUrl);
  EXPECT_TRUE(ReadStringValue(key.get(), "ModifyTime", 255, &text));
  EXPECT_EQ(text, zrvd_test::ModifyTimeOf(path));
  EXPECT_EQ(text.size(), 14u);
  DWORD number = 0;
  EXPECT_TRUE(ReadDwordValue(key.get(), "Length", &number));
  EXPECT_EQ(number, 131072u);
  EXPECT_TRUE(ReadDwordValue(key.get(), "FileType", &number));
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(zrvd_test::StoredValueBytes(entry, L"LocalPath"), path.size() * sizeof(wchar_t));
  EXPECT_EQ(zrvd_test::StoredValueBytes(entry, L"Url"), kUrl.size() * sizeof(wchar_t));
  EXPECT_EQ(zrvd_test::StoredValueBytes(entry, L"ModifyTime"), 14u * sizeof(wchar_t));

  const std::string target = "insert.php?url=http%3A%2F%2Fcdn.example%2Fa%20b.pak&md5=" + kMd5 +
                             "&size=131072&mode=1&uid=" + kUserId;
  std::vector<std::string> expected = Opening(path, kMd5, kUrl, "1");
  expected.push_back(Sharing(path));
  expected.push_back(Sending(BaseUrl() + target));
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
  EXPECT_EQ(lines.back().rfind(Received("OK\r\n"), 0), 0u) << lines.back();
  EXPECT_NE(zrvd_test::TrackerSimRecord().find("\"target\": \"/" + target + "\""),
            std::string::npos);
}

// One byte short of 128 KiB: only the four opening lines, nothing written.
TEST_F(ShareFileTest, IgnoresSmallerFilesSilently) {
  const std::string path = m_box.MakeFile("small.pak", 131071);
  ShareFile(path, kMd5, kUrl, "0");
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
  EXPECT_EQ(Lines(), Opening(path, kMd5, kUrl, "0"));
}

// Modes other than "0" and "1" register without a report.
TEST_F(ShareFileTest, OtherModesRegisterOnly) {
  for (const char* mode : {"2", ""}) {
    m_log.Clear();
    const std::string md5 = kMd5.substr(0, 31) + (mode[0] ? "2" : "e");
    const std::string path = m_box.MakeFile(md5 + ".pak", 200000);
    ShareFile(path, md5, kUrl, mode);
    EXPECT_TRUE(KeyExists(m_box.EntryPath(md5))) << mode;
    std::vector<std::string> expected = Opening(path, md5, kUrl, mode);
    expected.push_back(Sharing(path));
    EXPECT_EQ(Lines(), expected) << mode;
  }
}

// A second share of the same MD5 overwrites path, time and length, and keeps
// values of other names.
TEST_F(ShareFileTest, SameMd5Overwrites) {
  const std::string first = m_box.MakeFile("first.pak", 300000);
  ASSERT_TRUE(zrvd_test::AgeFile(first, 3));
  ShareFile(first, kMd5, kUrl, "2");
  const std::string entry = m_box.EntryPath(kMd5);
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, entry.c_str(), "Extra", REG_SZ, "x", 2), ERROR_SUCCESS);

  const std::string second = m_box.MakeFile("second.pak", 131072);
  ShareFile(second, kMd5, "http://other/", "2");
  zrvd::unique_hkey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, entry.c_str(), 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  std::string text;
  DWORD length = 0;
  EXPECT_TRUE(ReadStringValue(key.get(), "LocalPath", 1023, &text));
  EXPECT_EQ(text, second);
  EXPECT_TRUE(ReadStringValue(key.get(), "ModifyTime", 255, &text));
  EXPECT_EQ(text, zrvd_test::ModifyTimeOf(second));
  EXPECT_TRUE(ReadDwordValue(key.get(), "Length", &length));
  EXPECT_EQ(length, 131072u);
  EXPECT_TRUE(ReadStringValue(key.get(), "Url", 1023, &text));
  EXPECT_EQ(text, "http://other/");
  EXPECT_TRUE(ReadStringValue(key.get(), "Extra", 255, &text));
}

// 4 GiB and more are refused with their line; a missing file with its own.
TEST_F(ShareFileTest, RefusesHugeAndMissingFiles) {
  const std::string huge = m_box.MakeFile("huge.pak", 0x100000001ULL);
  ASSERT_FALSE(huge.empty());
  ShareFile(huge, kMd5, kUrl, "1");
  std::vector<std::string> expected = Opening(huge, kMd5, kUrl, "1");
  expected.push_back(kTooLarge);
  EXPECT_EQ(Lines(), expected);
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));

  m_log.Clear();
  const std::string missing = m_box.Folder() + "\\missing.pak";
  ShareFile(missing, kMd5, kUrl, "1");
  expected = Opening(missing, kMd5, kUrl, "1");
  expected.push_back(CannotOpen(missing));
  EXPECT_EQ(Lines(), expected);
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5)));
}

// MD5 texts that would name the engine key or another key write nothing.
TEST_F(ShareFileTest, RefusesMd5TextsNamingOtherKeys) {
  const std::string path = m_box.MakeFile("a.pak", 131072);
  for (const std::string& md5 : {std::string(), std::string("..\\outside"), std::string("a\\b")}) {
    m_log.Clear();
    ShareFile(path, md5, kUrl, "2");
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 5u) << md5;
    EXPECT_NE(lines[4].find("refused"), std::string::npos) << lines[4];
  }
  // Neither the engine key nor a deeper key got the values.
  DWORD type = 0;
  EXPECT_NE(SHGetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "LocalPath", &type, nullptr,
                        nullptr),
            ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(m_box.EntryPath("a")));
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
  EXPECT_TRUE(m_log.Has(Sending(BaseUrl() + "insert.php?url=u&md5=" + kMd5 +
                                "&size=3000000000&mode=0&uid=Unknown")));
}

// Without a usable TrackerHost the built-in host is asked.
TEST_F(ShareFileTest, TrackerHostDefaultsWhenUnusable) {
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "TrackerHost", REG_SZ,
                        "bad host:0", 11),
            ERROR_SUCCESS);
  std::string value;
  SendTrackerRequest("insert.php?x=1&", &value);
  EXPECT_TRUE(m_log.Has(Sending("http://tracker.morwick.example/insert.php?x=1&uid=" + kUserId)));
}

}  // namespace
