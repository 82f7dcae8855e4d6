#include "catalogue/shared_file_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/win/catalogue/test_support.h"
#include "tests/win/inert_thread.h"

namespace {

// Records what the catalogue asks of the thread framework; runs nothing.
class RecordingThread : public zrvd_test::InertThread {
 public:
  explicit RecordingThread(std::atomic<int>* starts) : m_starts(starts) {}
  int32_t Start() override {
    ++*m_starts;
    return 0;
  }
  BOOL PostMsg(UINT, WPARAM, LPARAM) override { return TRUE; }

 private:
  std::atomic<int>* m_starts;
};

class RecordingManager : public IThreadManager {
 public:
  void Release() override {}
  IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                     int32_t user_value) override {
    m_names.push_back(name);
    if (m_calls++ == 0) {
      m_handler = handler;
      m_autoDelete = auto_delete;
      m_userValue = user_value;
    }
    m_threads.emplace_back(new RecordingThread(&m_starts));
    return m_threads.back().get();
  }
  std::atomic<int> m_calls{0};
  std::atomic<int> m_starts{0};
  IThreadHandler* m_handler = nullptr;
  std::vector<std::string> m_names;
  bool m_autoDelete = false;
  int32_t m_userValue = -1;
  std::vector<std::unique_ptr<RecordingThread>> m_threads;
};

// Many first calls at once build one catalogue: one object, one pruning, one
// "FileList" thread, started once with auto-delete and user value 0, and one
// thread that keeps the catalogue's view fresh.
TEST(CatalogueInstance, ConcurrentFirstCallsBuildOneCatalogue) {
  zrvd_test::Sandbox box("instance");
  zrvd_test::CapturingLog log;
  RecordingManager manager;
  g_runtime = &manager;
  const std::string md5 = "0123456789abcdef0123456789abcdef";
  const std::string path = box.MakeFile("kept.bin", 131072);
  ASSERT_TRUE(zrvd_test::WriteEntry(box.EntryPath(md5), path, zrvd_test::ModifyTimeOf(path),
                                    131072));

  constexpr int kCallers = 16;
  std::atomic<bool> go{false};
  std::vector<SharedFileList*> seen(kCallers, nullptr);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = SharedFileList::Instance();
    });
  }
  go = true;
  for (auto& t : callers) t.join();

  ASSERT_NE(seen[0], nullptr);
  for (SharedFileList* list : seen) EXPECT_EQ(list, seen[0]);
  EXPECT_EQ(SharedFileList::Instance(), seen[0]);
  EXPECT_EQ(manager.m_calls.load(), 2);
  EXPECT_EQ(manager.m_starts.load(), 2);
  EXPECT_EQ(manager.m_handler, seen[0]);
  EXPECT_EQ(manager.m_names, (std::vector<std::string>{"FileList", "CatalogueWatch"}));
  EXPECT_TRUE(manager.m_autoDelete);
  EXPECT_EQ(manager.m_userValue, 0);
  // 服务文件%s: %s, once: the pruning ran once.
  EXPECT_EQ(log.Count("\xB7\xFE\xCE\xF1\xCE\xC4\xBC\xFE" + md5 + ": " + path), 1u);
  EXPECT_EQ(log.Lines().size(), 1u);
  g_runtime = nullptr;
}

}  // namespace
