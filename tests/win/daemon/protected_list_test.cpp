#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/process_walk.h"
#include "daemon/protected_list.h"
#include "tests/win/support/temp_folder.h"

namespace {

class ProtectedListTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProtectedProcesses(); }
  void TearDown() override { ClearProtectedProcesses(); }

  static std::vector<std::string> Stored() {
    std::vector<std::string> paths;
    SnapshotProtectedPaths(&paths);
    return paths;
  }
};

std::string SelfPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

TEST_F(ProtectedListTest, NullAndEmptyPathsAreRefused) {
  EXPECT_FALSE(AddProtectedProcess(nullptr));
  EXPECT_FALSE(AddProtectedProcess(""));
  EXPECT_TRUE(Stored().empty());
}

// Stored upper-case, once; a part of a stored path (its file name) is already covered.
TEST_F(ProtectedListTest, PathsAreStoredOnceInUpperCase) {
  EXPECT_TRUE(AddProtectedProcess("C:\\Games\\Kova\\game.exe"));
  EXPECT_TRUE(AddProtectedProcess("c:\\games\\kova\\GAME.EXE"));
  EXPECT_TRUE(AddProtectedProcess("game.exe"));
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0], "C:\\GAMES\\KOVA\\GAME.EXE");
  EXPECT_TRUE(AddProtectedProcess("C:\\Games\\Kova\\patcher.exe"));
  EXPECT_EQ(Stored().size(), 2u);
}

TEST_F(ProtectedListTest, LongPathsAreCutTo259Bytes) {
  std::string long_path = "C:\\" + std::string(400, 'a') + ".exe";
  EXPECT_TRUE(AddProtectedProcess(long_path.c_str()));
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].size(), 259u);
}

// Containment is a substring test over short, upper-cased forms.
TEST_F(ProtectedListTest, PathContainsIsASubstringTest) {
  EXPECT_TRUE(PathContains("C:\\A\\B.EXE", "c:\\a\\b.exe"));
  EXPECT_TRUE(PathContains("C:\\A\\GAME.EXE", "game.exe"));
  EXPECT_FALSE(PathContains("game.exe", "C:\\A\\GAME.EXE"));
  EXPECT_FALSE(PathContains("C:\\A\\GAME.EXE", "other.exe"));
}

// A long path and its short form name one existing file, whichever side holds which.
TEST_F(ProtectedListTest, LongAndShortFormsMatchEachOther) {
  zrvd_test::TempFolder folder("protected");
  const std::string dir = folder.MakeDir(folder.File("Long Folder Name For Test"));
  std::string file = dir + "\\a long executable name.exe";
  HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  char short_form[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameA(file.c_str(), short_form, MAX_PATH), 0u);
  ASSERT_STRNE(short_form, file.c_str());

  EXPECT_TRUE(PathContains(file.c_str(), short_form));
  EXPECT_TRUE(PathContains(short_form, file.c_str()));
}

TEST_F(ProtectedListTest, MatchWalksTheSnapshotInOrder) {
  std::vector<std::string> paths = {"C:\\X\\ONE.EXE", "C:\\Y\\TWO.EXE"};
  EXPECT_EQ(MatchProtectedProcess("C:\\Y\\two.exe", &paths), 1);
  EXPECT_EQ(MatchProtectedProcess("three.exe", &paths), 0);
  std::vector<std::string> empty;
  EXPECT_EQ(MatchProtectedProcess("C:\\Y\\two.exe", &empty), 0);
}

int FindPath(const char* path, void* context) {
  return _stricmp(path, static_cast<const std::string*>(context)->c_str()) == 0 ? 1 : 0;
}

int CountAll(const char*, void* context) {
  ++*static_cast<int*>(context);
  return 0;
}

// The walk lists this very process by its full path, and a callback that never
// matches sees every process and gets 0.
TEST(ProcessWalk, FindsThisProcess) {
  ASSERT_EQ(GetPlatformId(), 2);
  std::string self = SelfPath();
  EXPECT_EQ(WalkProcesses(&self, FindPath), 1);
  EXPECT_EQ(WalkProcessesPsapi(&self, FindPath), 1);
  int count = 0;
  EXPECT_EQ(WalkProcessesPsapi(&count, CountAll), 0);
  EXPECT_GE(count, 1);
}

// Tool Help lists this process too; NT's entries carry the file name alone.
TEST(ProcessWalk, ToolhelpListsThisProcess) {
  std::string self = SelfPath();
  std::string name = self.substr(self.find_last_of('\\') + 1);
  auto ends_with_name = [](const char* path, void* context) {
    const std::string& wanted = *static_cast<const std::string*>(context);
    size_t length = strlen(path);
    return length >= wanted.size() &&
                   _stricmp(path + length - wanted.size(), wanted.c_str()) == 0
               ? 1
               : 0;
  };
  EXPECT_EQ(WalkProcessesToolhelp(&name, ends_with_name), 1) << name;
  std::string absent = "no-such-process-name.exe";
  EXPECT_EQ(WalkProcessesToolhelp(&absent, ends_with_name), 0);
}

}  // namespace
