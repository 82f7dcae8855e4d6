#include "daemon/crash_dump_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Dumps sit beside the log file; logging off means no dumps; the console has
// no folder, so its dumps go to the temp folder.
TEST(CrashDumpRules, FolderFollowsTheLogSetting) {
  struct Case {
    const char* setting;
    bool on;
    const char* folder;
  } cases[] = {
      {"null", false, ""},
      {"", false, ""},
      {"stdout", true, "C:\\Temp\\"},
      {"C:\\Games\\Kova\\logs\\engine.log", true, "C:\\Games\\Kova\\logs\\"},
      {"Z:/tmp/engine.log", true, "Z:/tmp/"},
      {"engine.log", true, ""},
  };
  for (const Case& c : cases) {
    const DumpFolder folder = CrashDumpFolder(c.setting, "C:\\Temp\\");
    EXPECT_EQ(folder.on, c.on) << c.setting;
    EXPECT_EQ(folder.path, c.folder) << c.setting;
  }
}

TEST(CrashDumpRules, NameCarriesTimeAndProcessId) {
  EXPECT_EQ(CrashDumpName({2026, 1, 2, 3, 4, 5, 6}, 4242), "zrvd-crash-20260102-030405-006-4242.dmp");
}

// The oldest go first; the three newest stay; other files are never touched.
TEST(CrashDumpRules, PruningKeepsTheNewestThree) {
  const std::string a = CrashDumpName({2026, 12, 7, 9, 0, 0, 0}, 7);
  const std::string b = CrashDumpName({2026, 12, 7, 10, 0, 0, 0}, 12345);
  const std::string c = CrashDumpName({2026, 12, 7, 10, 0, 0, 1}, 8);
  const std::string d = CrashDumpName({2027, 1, 1, 0, 0, 0, 0}, 1);
  const std::string e = CrashDumpName({2027, 1, 1, 0, 0, 1, 0}, 1);
  const std::vector<std::string> foreign = {"zrvd-crash-notes.dmp", "game.dmp",
                                            "zrvd-crash-20261207-x90000-000-1.dmp"};
  std::vector<std::string> names = {d, foreign[0], b, c, foreign[1], foreign[2]};
  EXPECT_TRUE(DumpsToRemove(names, kCrashDumpsKept).empty());
  names.push_back(a);
  EXPECT_EQ(DumpsToRemove(names, kCrashDumpsKept), std::vector<std::string>({a}));
  names.push_back(e);
  EXPECT_EQ(DumpsToRemove(names, kCrashDumpsKept), std::vector<std::string>({a, b}));
}

}  // namespace
