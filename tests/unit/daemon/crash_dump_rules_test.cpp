#include "daemon/crash_dump_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Dumps sit beside the log file, in the temp folder for the console, nowhere
// with logging off; the oldest go first and other files are never touched.
TEST(CrashDumpRules, FolderAndPruning) {
  EXPECT_FALSE(CrashDumpFolder("null", "T\\").on);
  EXPECT_FALSE(CrashDumpFolder("", "T\\").on);
  EXPECT_EQ(CrashDumpFolder("stdout", "T\\").path, "T\\");
  EXPECT_EQ(CrashDumpFolder("C:\\Kova\\logs\\engine.log", "T\\").path, "C:\\Kova\\logs\\");
  const std::string a = CrashDumpName({2026, 12, 7, 9, 0, 0, 0}, 12345);
  const std::string b = CrashDumpName({2026, 12, 7, 9, 0, 0, 1}, 7);
  EXPECT_EQ(a, "zrvd-crash-20261207-090000-000-12345.dmp");
  // After a folder, whole or not at all.
  char path[56] = "D:\\l\\";
  EXPECT_FALSE(AppendCrashDumpName(path, 50, 5, {2026, 12, 7, 9, 0, 0, 1}, 4294967295u));
  EXPECT_STREQ(path, "D:\\l\\");
  ASSERT_TRUE(AppendCrashDumpName(path, 51, 5, {2026, 12, 7, 9, 0, 0, 1}, 4294967295u));
  EXPECT_STREQ(path, "D:\\l\\zrvd-crash-20261207-090000-001-4294967295.dmp");
  const std::vector<std::string> names = {b, "zrvd-crash-notes.dmp", "game.dmp", a,
                                          "zrvd-crash-20261207-x90000-000-1.dmp"};
  EXPECT_EQ(DumpsToRemove(names, 1), std::vector<std::string>({a}));
  EXPECT_TRUE(DumpsToRemove(names, 2).empty());
}

// The crashed thread writes only when it holds the loader lock; a lock another
// thread holds is asked for again a while, then the dump thread goes on.
TEST(CrashDumpRules, LoaderLockWriter) {
  using H = LoaderLockHolder;
  using W = DumpWriter;
  const struct {
    H holder;
    uint32_t asked_ms;
    W writer;
  } rows[] = {
      {H::kNobody, 0, W::kDumpThread},
      {H::kCrashedThread, 0, W::kCrashedThread},
      {H::kOtherThread, 0, W::kAskAgain},
      {H::kOtherThread, kLoaderLockRetryMs - 1, W::kAskAgain},
      {H::kOtherThread, kLoaderLockRetryMs, W::kDumpThread},
      {H::kUnknown, kLoaderLockRetryMs - 1, W::kAskAgain},
      {H::kUnknown, kLoaderLockRetryMs, W::kCrashedThread},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(LoaderLockWriter(row.holder, row.asked_ms), row.writer)
        << static_cast<int>(row.holder) << " " << row.asked_ms;
  }
}
