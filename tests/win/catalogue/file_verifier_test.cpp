// The content check's thread and its hold on files. Its own process: the
// FileCheck thread is started once and runs until the process ends.
#include "catalogue/file_verifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "engine/pxp_thread.h"
#include "engine/runtime.h"
#include "identity/md5.h"
#include "tests/win/catalogue/test_support.h"

namespace {

using zrvd_test::CapturingLog;
using zrvd_test::KeyExists;
using zrvd_test::ModifyTimeOf;
using zrvd_test::Sandbox;
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

// The MD5 text of `size` zero bytes (a multiple of 64 KiB), the content of a
// fresh sandbox file.
std::string ZerosMd5(uint32_t size) {
  MD5Context context = {};
  MD5Init(&context);
  const std::string zeros(64 << 10, '\0');
  for (uint32_t done = 0; done < size; done += static_cast<uint32_t>(zeros.size())) {
    MD5Update(&context, reinterpret_cast<const uint8_t*>(zeros.data()),
              static_cast<uint32_t>(zeros.size()));
  }
  uint8_t digest[16];
  MD5Final(&context, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

bool Verified(const std::string& key_path) {
  zrvd::unique_hkey key;
  DWORD value = 0;
  return RegOpenKeyExA(HKEY_CURRENT_USER, key_path.c_str(), 0, KEY_READ, key.put()) ==
             ERROR_SUCCESS &&
         ReadDwordValue(key.get(), kVerifiedValue, &value) && value == 1;
}

bool Checking(const std::string& md5) { return ReadFileCheckFigures().checking == md5; }

size_t CheckLines(CapturingLog& log) {
  size_t n = 0;
  for (const std::string& line : log.Lines()) n += line.rfind("File check:", 0) == 0;
  return n;
}

class FileVerifier : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_box = new Sandbox("verifier");
    // The thread outlives every test: so do its runtime and its registry key.
    s_runtime = new CPxpRuntime("null");
  }
  static void TearDownTestSuite() { delete s_box; }
  void StartThread() { StartFileVerifier(s_runtime, &GameRunning); }

  std::string Share(const std::string& name, uint32_t size) {
    const std::string md5 = ZerosMd5(size);
    const std::string path = s_box->MakeFile(name, size);
    EXPECT_TRUE(WriteEntry(s_box->EntryPath(md5), path, ModifyTimeOf(path), size));
    return md5;
  }

  static Sandbox* s_box;
  static CPxpRuntime* s_runtime;
  CapturingLog m_log;
};
Sandbox* FileVerifier::s_box = nullptr;
CPxpRuntime* FileVerifier::s_runtime = nullptr;

// A FileCheck thread the system refuses is logged, and asked for again at the
// next pass, which then runs. First in this process: the thread starts once.
TEST_F(FileVerifier, RefusedThreadIsTriedAgainAtTheNextPass) {
  SetThreadCreateFunction(&RefuseThread);
  StartThread();
  SetThreadCreateFunction(nullptr);
  EXPECT_TRUE(m_log.Has("File checks not started: no thread for them; trying again at the "
                        "next pass"));
  const std::string md5 = Share("first.bin", 131072);
  RequestFileCheck(false);
  EXPECT_TRUE(WaitFor([&] { return Verified(s_box->EntryPath(md5)); }));
}

// While the game runs the check waits with the file closed: another program
// may open it alone, rename it and delete it. The vanished file is left to the
// lookup's rule, without a line.
TEST_F(FileVerifier, GameWaitHoldsNoFile) {
  StartThread();
  g_game = true;
  const std::string md5 = Share("game.bin", 192 << 10);  // its own MD5: another size
  const std::string path = s_box->Folder() + "\\game.bin";
  const std::string moved = path + ".moved";
  RequestFileCheck(false);
  ASSERT_TRUE(WaitFor([&] { return Checking(md5); }));
  const int asked = g_asked;
  ASSERT_TRUE(WaitFor([&] { return g_asked > asked + 1; }));  // in the wait loop

  zrvd::unique_hfile alone(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(alone.valid()) << GetLastError();
  alone.reset();
  EXPECT_TRUE(MoveFileA(path.c_str(), moved.c_str())) << GetLastError();
  EXPECT_TRUE(DeleteFileA(moved.c_str())) << GetLastError();
  m_log.Clear();
  g_game = false;
  ASSERT_TRUE(WaitFor([&] { return !Checking(md5); }));
  EXPECT_EQ(CheckLines(m_log), 0u);
  EXPECT_TRUE(KeyExists(s_box->EntryPath(md5)));
  EXPECT_FALSE(Verified(s_box->EntryPath(md5)));
}

// Between the reads that the read budget paces, the file is closed too.
TEST_F(FileVerifier, BudgetWaitHoldsNoFile) {
  StartThread();
  const DWORD one_mib = 1;
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, s_box->RegPath().c_str(), "VerifyReadMBps", REG_DWORD,
                        &one_mib, sizeof(one_mib)),
            ERROR_SUCCESS);
  const std::string md5 = Share("paced.bin", 3 << 20);
  const std::string path = s_box->Folder() + "\\paced.bin";
  RequestFileCheck(false);
  ASSERT_TRUE(WaitFor([&] { return Checking(md5); }));
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
