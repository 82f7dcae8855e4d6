#include "catalogue/shared_file_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/win/catalogue/test_support.h"
#include "tests/win/support/test_threads.h"

namespace {

// Many first calls at once build one catalogue: one object, one pruning, one
// "FileList" thread, started once with auto-delete and user value 0, and one
// thread that keeps the catalogue's view fresh.
TEST(CatalogueInstance, ConcurrentFirstCallsBuildOneCatalogue) {
  zrvd_test::Sandbox box("instance");
  zrvd_test::CaptureLog log;
  // Records what the catalogue asks of the thread framework; runs nothing.
  zrvd_test::TestThreadManager manager(zrvd_test::TestThreadManager::Mode::kHold);
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
  const std::vector<zrvd_test::ThreadRequest> requests = manager.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(manager.Starts(), 2);
  EXPECT_EQ(requests[0].handler, seen[0]);
  EXPECT_EQ(requests[0].name, "FileList");
  EXPECT_EQ(requests[1].name, "CatalogueWatch");
  EXPECT_TRUE(requests[0].auto_delete);
  EXPECT_EQ(requests[0].user_value, 0);
  // 服务文件%s: %s, once: the pruning ran once.
  EXPECT_EQ(log.Count("\xB7\xFE\xCE\xF1\xCE\xC4\xBC\xFE" + md5 + ": " + path), 1u);
  EXPECT_EQ(log.Lines().size(), 1u);
  g_runtime = nullptr;
}

}  // namespace
