#include "catalogue/shared_file_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "catalogue/engine_key_watch.h"
#include "catalogue/file_check.h"
#include "tests/win/catalogue/test_support.h"

namespace {

using zrvd_test::AgeFile;
using zrvd_test::CaptureLog;
using zrvd_test::KeyExists;
using zrvd_test::ModifyTimeOf;
using zrvd_test::Sandbox;
using zrvd_test::WriteEntry;

// The log texts, in the engine's GBK bytes.
std::string NoSuchMd5(const std::string& md5) {
  return "\xB2\xBB\xB4\xE6\xD4\xDA\xB5\xC4MD5: " + md5;  // 不存在的MD5: %s
}
std::string RemovingItem(const std::string& path) {
  return "\xC9\xBE\xB3\xFD\xCE\xC4\xBC\xFE\xC1\xD0\xB1\xED\xCF\xEE: " + path;  // 删除文件列表项: %s
}
std::string Serving(const std::string& md5, const std::string& path) {
  return "\xB7\xFE\xCE\xF1\xCE\xC4\xBC\xFE" + md5 + ": " + path;  // 服务文件%s: %s
}
std::string DeletingKey(const std::string& md5) {
  // 删除注册表键值: %s
  return "\xC9\xBE\xB3\xFD\xD7\xA2\xB2\xE1\xB1\xED\xBC\xFC\xD6\xB5: " + md5;
}

const std::string kMd5A = "0123456789abcdef0123456789abcdef";
const std::string kMd5B = "fedcba9876543210fedcba9876543210";
const std::string kMd5C = "00000000000000000000000000000000";
constexpr DWORD kSize = 131072;

class Catalogue : public ::testing::Test {
 protected:
  Sandbox m_box{"catalogue"};
  CaptureLog m_log;
  SharedFileList m_list;

  std::string Share(const std::string& md5, const std::string& name, DWORD size = kSize) {
    std::string path = m_box.MakeFile(name, size);
    EXPECT_TRUE(WriteEntry(m_box.EntryPath(md5), path, ModifyTimeOf(path), size));
    return path;
  }
};

// A registered, unchanged file is found, by upper- and lower-case MD5 alike.
TEST_F(Catalogue, LookupFindsCurrentEntryInAnyCase) {
  const std::string path = Share(kMd5A, "a.bin");
  EXPECT_EQ(m_list.GetLocalPath(kMd5A), path);
  std::string upper = kMd5A;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_EQ(m_list.GetLocalPath(upper), path);
  EXPECT_TRUE(m_log.Lines().empty());
}

// An unknown MD5 answers empty text with its one log line.
TEST_F(Catalogue, LookupOfUnknownMd5Logs) {
  EXPECT_EQ(m_list.GetLocalPath(kMd5B), "");
  EXPECT_EQ(m_log.Lines(), std::vector<std::string>{NoSuchMd5(kMd5B)});
}

// Texts that would address the engine key or a deeper key are never opened:
// nothing there is deleted even when it looks like a stale entry.
TEST_F(Catalogue, LookupRefusesTextsNamingOtherKeys) {
  ASSERT_TRUE(WriteEntry(m_box.RegPath(), "Z:\\no\\such\\file", "20090101000000", kSize));
  ASSERT_TRUE(WriteEntry(m_box.EntryPath("outer\\inner"), "Z:\\no\\such\\file",
                         "20090101000000", kSize));
  EXPECT_EQ(m_list.GetLocalPath(""), "");
  EXPECT_EQ(m_list.GetLocalPath("outer\\inner"), "");
  EXPECT_TRUE(KeyExists(m_box.EntryPath("outer\\inner")));
  EXPECT_TRUE(KeyExists(m_box.RegPath()));
  EXPECT_EQ(m_log.Lines(),
            (std::vector<std::string>{NoSuchMd5(""), NoSuchMd5("outer\\inner")}));
}

// A deleted file, or one rewritten with the same size and a new time, makes the
// entry stale: empty text, the key removed, and no log line.
TEST_F(Catalogue, LookupDeletesStaleEntriesSilently) {
  const std::string gone = Share(kMd5A, "gone.bin");
  const std::string touched = Share(kMd5B, "touched.bin");
  const std::string resized = Share(kMd5C, "resized.bin");
  ASSERT_TRUE(DeleteFileA(gone.c_str()));
  ASSERT_TRUE(AgeFile(touched, 2));
  m_box.MakeFileAt(resized, kSize + 1);

  EXPECT_EQ(m_list.GetLocalPath(kMd5A), "");
  EXPECT_EQ(m_list.GetLocalPath(kMd5B), "");
  EXPECT_EQ(m_list.GetLocalPath(kMd5C), "");
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5A)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5B)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5C)));
  EXPECT_TRUE(m_log.Lines().empty());
}

// Entries that lack a value or hold one of another type are passed over and
// left in place, by the lookup and by the pruning, without a log line.
TEST_F(Catalogue, MistypedEntriesAreKeptSilently) {
  const std::string path_a = Share(kMd5A, "a.bin");
  const std::string path_b = Share(kMd5B, "b.bin");
  {
    zrvd::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_box.EntryPath(kMd5A).c_str(), 0, KEY_ALL_ACCESS,
                            key.put()),
              ERROR_SUCCESS);
    WriteStringValue(key.get(), "Length", "131072");
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_box.EntryPath(kMd5B).c_str(), 0, KEY_ALL_ACCESS,
                            key.put()),
              ERROR_SUCCESS);
    RegDeleteValueA(key.get(), "ModifyTime");
  }
  // Files gone too: only the mistyped values keep the entries alive.
  DeleteFileA(path_a.c_str());
  DeleteFileA(path_b.c_str());
  EXPECT_EQ(m_list.GetLocalPath(kMd5A), "");
  EXPECT_EQ(m_list.GetLocalPath(kMd5B), "");
  m_list.PruneEntries();
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5A)));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(kMd5B)));
  EXPECT_TRUE(m_log.Lines().empty());
}

// Texts are stored without a NUL and read back whole; a NUL that another
// writer stored ends the text; a text longer than the read limit, or a value
// of another type, does not read.
TEST_F(Catalogue, StringValuesRoundTripWithoutNul) {
  zrvd::unique_hkey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), 0, KEY_ALL_ACCESS,
                          key.put()),
            ERROR_SUCCESS);
  ASSERT_EQ(WriteStringValue(key.get(), "Text", "20090101000000"), ERROR_SUCCESS);
  ASSERT_EQ(WriteStringValue(key.get(), "Empty", ""), ERROR_SUCCESS);
  ASSERT_EQ(WriteDwordValue(key.get(), "Number", 7), ERROR_SUCCESS);
  EXPECT_EQ(zrvd_test::StoredValueBytes(m_box.RegPath(), L"Text"), 14u * sizeof(wchar_t));
  EXPECT_EQ(zrvd_test::StoredValueBytes(m_box.RegPath(), L"Empty"), 0u);

  std::string text;
  EXPECT_TRUE(ReadStringValue(key.get(), "Text", 14, &text));
  EXPECT_EQ(text, "20090101000000");
  EXPECT_FALSE(ReadStringValue(key.get(), "Text", 13, &text));
  EXPECT_TRUE(ReadStringValue(key.get(), "Empty", 255, &text));
  EXPECT_EQ(text, "");
  RegSetValueExA(key.get(), "WithNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4);
  EXPECT_TRUE(ReadStringValue(key.get(), "WithNul", 255, &text));
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(ReadStringValue(key.get(), "Number", 255, &text));
  EXPECT_FALSE(ReadStringValue(key.get(), "Absent", 255, &text));
  DWORD number = 0;
  EXPECT_TRUE(ReadDwordValue(key.get(), "Number", &number));
  EXPECT_EQ(number, 7u);
  EXPECT_FALSE(ReadDwordValue(key.get(), "Text", &number));
}

// Pruning: gone, changed and old files are removed after the enumeration, in
// the order found; current ones are kept, each with its line.
TEST_F(Catalogue, PruningRemovesGoneChangedAndOldEntries) {
  const std::string md5_gone = "10000000000000000000000000000000";
  const std::string md5_keep = "20000000000000000000000000000000";
  const std::string md5_changed = "30000000000000000000000000000000";
  const std::string md5_old = "40000000000000000000000000000000";
  const std::string gone = Share(md5_gone, "gone.bin");
  const std::string keep = Share(md5_keep, "keep.bin");
  const std::string changed = Share(md5_changed, "changed.bin");
  const std::string old = m_box.MakeFile("old.bin", kSize);
  ASSERT_TRUE(AgeFile(old, 45));
  ASSERT_TRUE(WriteEntry(m_box.EntryPath(md5_old), old, ModifyTimeOf(old), kSize));
  // Plain values of the engine key are not entries.
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, m_box.RegPath().c_str(), "IPCPort", REG_DWORD,
                        &kSize, sizeof(kSize)),
            ERROR_SUCCESS);
  DeleteFileA(gone.c_str());
  m_box.MakeFileAt(changed, kSize - 1);

  m_list.PruneEntries();

  EXPECT_EQ(m_log.Lines(), (std::vector<std::string>{
                               RemovingItem(gone), Serving(md5_keep, keep),
                               RemovingItem(changed), RemovingItem(old), DeletingKey(md5_gone),
                               DeletingKey(md5_changed), DeletingKey(md5_old)}));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(md5_gone)));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(md5_keep)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(md5_changed)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(md5_old)));
  EXPECT_EQ(m_list.GetLocalPath(md5_keep), keep);
}

// A name that does not fit the 255-character buffer ends the pruning's walk:
// what was found before it is still deleted, what comes after it is not seen.
TEST_F(Catalogue, LongNameEndsThePruningWalk) {
  const std::string before = "a0000000000000000000000000000000";
  const std::string after = "z0000000000000000000000000000000";
  const std::string fits(254, 'l');
  const std::string too_long(255, 'm');
  // Files gone: every entry that the walk reaches is removed.
  for (const std::string* md5 : {&before, &after, &fits, &too_long}) {
    const std::string path = Share(*md5, md5->substr(0, 8) + ".bin");
    ASSERT_TRUE(KeyExists(m_box.EntryPath(*md5))) << *md5;
    DeleteFileA(path.c_str());
  }

  m_list.PruneEntries();

  EXPECT_FALSE(KeyExists(m_box.EntryPath(before)));
  EXPECT_FALSE(KeyExists(m_box.EntryPath(fits)));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(too_long)));
  EXPECT_TRUE(KeyExists(m_box.EntryPath(after)));
  EXPECT_TRUE(m_log.Contains(DeletingKey(before)));
  EXPECT_TRUE(m_log.Contains(DeletingKey(fits)));
}

// A local path over 255 bytes is beyond the pruning's read limit (kept, no
// line) but within the lookup's, which serves it.
TEST_F(Catalogue, LongPathIsServedButNotPruned) {
  // The ANSI file calls stop at MAX_PATH: 256 to 259 bytes is the room between.
  const std::string file_name = "f.bin";
  const size_t dir_chars = 257 - m_box.path().size() - 2 - file_name.size();
  const std::string dir = m_box.MakeDir(m_box.path() + "\\" + std::string(dir_chars, 'd'));
  const std::string path = m_box.MakeFileAt(dir + "\\" + file_name, kSize);
  ASSERT_FALSE(path.empty());
  ASSERT_GT(path.size(), 255u);
  ASSERT_LT(path.size(), 260u);
  ASSERT_TRUE(WriteEntry(m_box.EntryPath(kMd5A), path, ModifyTimeOf(path), kSize));

  m_list.PruneEntries();
  EXPECT_TRUE(m_log.Lines().empty());
  EXPECT_EQ(m_list.GetLocalPath(kMd5A), path);

  // Once it is gone the lookup removes it all the same.
  DeleteFileA(path.c_str());
  EXPECT_EQ(m_list.GetLocalPath(kMd5A), "");
  EXPECT_FALSE(KeyExists(m_box.EntryPath(kMd5A)));
}

// Without an engine key the pruning does nothing and the lookup logs.
TEST_F(Catalogue, MissingEngineKey) {
  SHDeleteKeyA(HKEY_CURRENT_USER, m_box.RegPath().c_str());
  m_list.PruneEntries();
  EXPECT_TRUE(m_log.Lines().empty());
  EXPECT_EQ(m_list.GetLocalPath(kMd5A), "");
  EXPECT_EQ(m_log.Lines(), std::vector<std::string>{NoSuchMd5(kMd5A)});
}

// FileChanged looks at the size and the modify time; a size past 32 bits never
// matches a stored length.
TEST_F(Catalogue, FileChangedComparesSizeAndTime) {
  const std::string path = m_box.MakeFile("c.bin", kSize);
  const std::string time = ModifyTimeOf(path);
  ASSERT_EQ(time.size(), 14u);
  EXPECT_FALSE(FileChanged(path, kSize, time));
  EXPECT_TRUE(FileChanged(path, kSize - 1, time));
  EXPECT_TRUE(FileChanged(path, kSize, "20000101000000"));
  EXPECT_TRUE(FileChanged(path + ".missing", kSize, time));
  EXPECT_FALSE(FileExists(path + ".missing"));
  EXPECT_TRUE(FileExists(path));
  const std::string big = m_box.MakeFile("big.bin", 0x100000000ULL + kSize);
  ASSERT_FALSE(big.empty());
  EXPECT_TRUE(FileChanged(big, kSize, ModifyTimeOf(big)));
  EXPECT_FALSE(FileChanged(big, 0xFFFFFFFF, ModifyTimeOf(big)));
}

// The modify time is today's local date for a fresh file, and its age rule
// removes an entry only past 30 days.
TEST_F(Catalogue, ModifyTimeIsLocalAndAged) {
  const std::string path = m_box.MakeFile("t.bin", kSize);
  SYSTEMTIME now;
  GetLocalTime(&now);
  char today[16];
  snprintf(today, sizeof(today), "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
  const std::string time = ModifyTimeOf(path);
  // A midnight between the two reads is the only way this can differ.
  EXPECT_EQ(time.substr(0, 8), today);
  EXPECT_FALSE(IsOlderThan30Days(time));
  ASSERT_TRUE(AgeFile(path, 40));
  EXPECT_TRUE(IsOlderThan30Days(ModifyTimeOf(path)));
  EXPECT_TRUE(IsOlderThan30Days(""));
}

// The watch's view follows the registry: a new entry, a changed value and a
// deleted entry each wake it, and the next read holds exactly the registry's
// entries (a mistyped one stays out). A deleted engine key is created again,
// empty, and said so once; one made again by another program is watched anew.
TEST_F(Catalogue, WatchKeepsTheViewInStepWithTheRegistry) {
  CatalogueView view;
  EngineKeyWatch watch(&view);
  int recreated = 0;
  watch.SetOnRecreated([&] { ++recreated; });
  const std::string path_a = Share(kMd5A, "a.bin");
  ASSERT_TRUE(watch.Refresh());
  CatalogueEntry entry;
  EXPECT_TRUE(view.Find(kMd5A, &entry));
  EXPECT_EQ(entry.local_path, path_a);

  const auto settled = [&] { return watch.WaitForChange(2000) && watch.Refresh(); };
  const std::string path_b = Share(kMd5B, "b.bin");
  ASSERT_TRUE(settled());
  EXPECT_TRUE(view.Find("FEDCBA9876543210FEDCBA9876543210", &entry));
  EXPECT_EQ(entry.local_path, path_b);
  {
    zrvd::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_box.EntryPath(kMd5A).c_str(), 0,
                            KEY_ALL_ACCESS, key.put()),
              ERROR_SUCCESS);
    WriteStringValue(key.get(), "LocalPath", path_b);
  }
  ASSERT_TRUE(settled());
  EXPECT_TRUE(view.Find(kMd5A, &entry));
  EXPECT_EQ(entry.local_path, path_b);
  ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, m_box.EntryPath(kMd5B).c_str()), ERROR_SUCCESS);
  ASSERT_TRUE(settled());
  EXPECT_FALSE(view.Find(kMd5B, &entry));
  EXPECT_EQ(view.Size(), 1u);

  SHDeleteKeyA(HKEY_CURRENT_USER, m_box.RegPath().c_str());
  ASSERT_TRUE(settled());
  EXPECT_TRUE(view.Loaded());
  EXPECT_EQ(view.Size(), 0u);
  EXPECT_TRUE(KeyExists(m_box.RegPath()));
  EXPECT_EQ(recreated, 1);

  // Deleted and made again at once, with an entry (a .reg file with [-key]
  // then [key]): the watch moves to the new key, says so, and follows it.
  SHDeleteKeyA(HKEY_CURRENT_USER, m_box.RegPath().c_str());
  ASSERT_TRUE(WriteEntry(m_box.EntryPath(kMd5C), path_a, ModifyTimeOf(path_a), kSize));
  ASSERT_TRUE(settled());
  EXPECT_EQ(recreated, 2);
  EXPECT_TRUE(view.Find(kMd5C, &entry));
  Share(kMd5B, "b2.bin");
  ASSERT_TRUE(settled());
  EXPECT_TRUE(view.Find(kMd5B, &entry));
  EXPECT_EQ(view.Size(), 2u);
}

}  // namespace
