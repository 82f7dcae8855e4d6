// Test support for the engine runtime: a runtime logging to a fresh file and
// published as g_runtime/g_log, and a handler whose behaviour a test picks.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/runtime.h"
#include "runtime/thread.h"
#include "tests/win/support/temp_folder.h"

namespace enginetest {

// The GBK bytes of the framework's lines, spelt out apart from the engine's own.
// 启动线程主函数。
inline const std::string kStartLine =
    "\xC6\xF4\xB6\xAF\xCF\xDF\xB3\xCC\xD6\xF7\xBA\xAF\xCA\xFD\xA1\xA3";
// 线程主函数结束。
inline const std::string kEndLine =
    "\xCF\xDF\xB3\xCC\xD6\xF7\xBA\xAF\xCA\xFD\xBD\xE1\xCA\xF8\xA1\xA3";
// 自动删除IThread和IThreadHandler。
inline const std::string kAutoDeleteLine =
    "\xD7\xD4\xB6\xAF\xC9\xBE\xB3\xFD" "IThread" "\xBA\xCD" "IThreadHandler" "\xA1\xA3";
// 删除一个CPxpThread
inline const std::string kDeleteLine = "\xC9\xBE\xB3\xFD\xD2\xBB\xB8\xF6" "CPxpThread";

// One parsed log line.
struct LogLine {
  std::string thread;
  std::string message;
};

using zrvd_test::FileExists;
using zrvd_test::ReadFileBytes;
using zrvd_test::TempFolder;
using zrvd_test::WriteFileBytes;

// Splits a log into its lines; fails the test on any line that is not
// "[YYYY-MM-DD hh:mm:ss.mmm](P2PClient:<thread>) <message>" ended by CR LF.
std::vector<LogLine> ParseLog(const std::string& bytes);

// Messages written under `thread`, in file order.
std::vector<std::string> MessagesOf(const std::vector<LogLine>& lines, const std::string& thread);

std::string OwnFallbackName();

// A runtime writing to engine.log in a fresh folder, set as the engine's globals.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::vector<LogLine> Lines() { return ParseLog(ReadFileBytes(m_logPath)); }
  // True while `name` is registered: a second NewThread under it is refused.
  bool IsRegistered(const char* name);

  TempFolder m_folder;
  std::string m_logPath;
  CPxpRuntime* m_runtime = nullptr;
};

// What a ProbeHandler saw, owned by the test so that it outlives the handler.
struct Probe {
  Probe();
  std::atomic<int> released{0};
  std::atomic<int> registered_at_release{-1};  // 1 if the releasing thread was still registered
  zrvd::unique_handle in_run;  // set once Run has filled `thread` and `thread_id`
  zrvd::unique_handle gate;    // kWaitGate handlers return once it is set
  zrvd::unique_handle thread;  // the handler's OS thread, for waiting on its end
  DWORD thread_id = 0;
  std::vector<MSG> messages;   // OnMessage calls, in order; read after the thread ends
  LPARAM loop_result = -1;
};

class ProbeHandler : public IThreadHandler {
 public:
  enum class Mode { kReturn, kWaitGate, kMessageLoop, kRename };

  ProbeHandler(Probe* probe, Mode mode, int32_t result = 0) : m_probe(probe), m_mode(mode),
                                                              m_result(result) {}
  ~ProbeHandler() override;
  void Release() override { delete this; }
  int32_t Run() override;
  // Records the call and answers a * 100 + b * 10 + c.
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  IThread* thread = nullptr;        // for kMessageLoop: set before Start
  std::string new_name;             // for kRename

 private:
  Probe* m_probe;
  Mode m_mode;
  int32_t m_result;
};

// Waits for an OS thread to end; false on time-out.
bool WaitEnded(HANDLE thread);

}  // namespace enginetest
