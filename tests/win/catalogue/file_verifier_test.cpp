// The content check's thread and its hold on files. Its own process: the
// FileCheck thread is started once and runs until the process ends.
#include "catalogue/file_verifier.h"

#include <gtest/gtest.h>

#include <atomic>

#include "runtime/pxp_thread.h"
#include "runtime/runtime.h"
#include "tests/win/catalogue/test_support.h"

namespace {

using zrvd_test::CaptureLog;
using zrvd_test::KeyExists;
using zrvd_test::ModifyTimeOf;
using zrvd_test::Sandbox;
using zrvd_test::WaitFor;
using zrvd_test::WriteEntry;

std::atomic<bool> g_game{false};
std::atomic<int> g_asked{0};
bool GameRunning() {
  ++g_asked;
  return g_game.load();
}

HANDLE WINAPI RefuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
  return nullptr;
}

bool Checking(const std::string& md5) { return ReadFileCheckFigures().checking == md5; }

size_t CheckLines(CaptureLog& log) {
  size_t n = 0;
  for (const std::string& line : log.Lines()) n += line.rfind("File check:", 0) == 0;
  return n;
}

class FileVerifier : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_box = new Sandbox("verifier");
    // The thread outlives every test: so do its runtime and its log.
    s_runtime = new CPxpRuntime("null");
    s_log = &zrvd_test::Log();
  }
  static void TearDownTestSuite() { delete s_box; }
  void StartThread() { StartFileVerifier(s_runtime, &GameRunning); }

  // Shared under an MD5 text that its content does not match.
  std::string Share(const std::string& md5, const std::string& name, uint32_t size) {
    const std::string path = s_box->MakeFile(name, size);
    EXPECT_TRUE(WriteEntry(s_box->EntryPath(md5), path, ModifyTimeOf(path), size));
    return path;
  }

  static Sandbox* s_box;
  static CPxpRuntime* s_runtime;
  static CaptureLog* s_log;
};
Sandbox* FileVerifier::s_box = nullptr;
CPxpRuntime* FileVerifier::s_runtime = nullptr;
CaptureLog* FileVerifier::s_log = nullptr;

// A FileCheck thread the system refuses is logged, and asked for again at the
// next pass, which then runs. First in this process: the thread starts once.
TEST_F(FileVerifier, RefusedThreadIsTriedAgainAtTheNextPass) {
  SetThreadCreateFunction(&RefuseThread);
  StartThread();
  SetThreadCreateFunction(nullptr);
  EXPECT_TRUE(s_log->Contains("File checks not started: no thread for them; trying again at the "
                         "next pass"));
  const std::string md5 = "11111111111111111111111111111111";
  Share(md5, "first.bin", 131072);
  RequestFileCheck(false);
  EXPECT_TRUE(WaitFor([&] { return !KeyExists(s_box->EntryPath(md5)); }));  // a mismatch
}

// While the game runs the check waits with the file closed: another program
// may open it alone, rename it and delete it. The vanished file is left to the
// lookup's rule, without a line.
TEST_F(FileVerifier, GameWaitHoldsNoFile) {
  StartThread();
  g_game = true;
  const std::string md5 = "22222222222222222222222222222222";
  const std::string path = Share(md5, "game.bin", 131072);
  const std::string moved = path + ".moved";
  RequestFileCheck(false);
  // Failures go on: the game must end for the tests that follow.
  EXPECT_TRUE(WaitFor([&] { return Checking(md5); }));
  const int asked = g_asked;
  EXPECT_TRUE(WaitFor([&] { return g_asked > asked + 1; }));  // in the wait loop

  zrvd::unique_hfile alone(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(alone.valid()) << GetLastError();
  alone.reset();
  EXPECT_TRUE(MoveFileA(path.c_str(), moved.c_str())) << GetLastError();
  EXPECT_TRUE(DeleteFileA(moved.c_str())) << GetLastError();
  s_log->Clear();
  g_game = false;
  EXPECT_TRUE(WaitFor([&] { return !Checking(md5); }));
  EXPECT_EQ(CheckLines(*s_log), 0u);
  EXPECT_TRUE(KeyExists(s_box->EntryPath(md5)));
}

// Between the reads that the read budget paces, the file is closed too.
TEST_F(FileVerifier, BudgetWaitHoldsNoFile) {
  StartThread();
  const DWORD one_mib = 1;
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, s_box->RegPath().c_str(), "VerifyReadMBps", REG_DWORD,
                        &one_mib, sizeof(one_mib)),
            ERROR_SUCCESS);
  const std::string md5 = "33333333333333333333333333333333";
  const std::string path = Share(md5, "paced.bin", 3 << 20);
  const int asked = g_asked;
  RequestFileCheck(false);
  // Asked before the first read: from here the check reads and waits in turn.
  ASSERT_TRUE(WaitFor([&] { return Checking(md5) && g_asked > asked; }));
  bool had_it_alone = false;
  while (!had_it_alone && Checking(md5)) {
    zrvd::unique_hfile alone(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    had_it_alone = alone.valid();
    if (!had_it_alone) Sleep(10);
  }
  EXPECT_TRUE(had_it_alone);
  EXPECT_TRUE(WaitFor([&] { return !Checking(md5); }));
  SHDeleteValueA(HKEY_CURRENT_USER, s_box->RegPath().c_str(), "VerifyReadMBps");
}

}  // namespace
