#include "catalogue/read_budget.h"

#include <gtest/gtest.h>

namespace {

// A reader ahead of its budget waits exactly the difference; one behind it, or
// one with no budget, never waits; Start forgets what was read before a pause.
TEST(ReadBudget, PacesToTheRate) {
  ReadBudget budget(1 << 20);  // 1 MiB/s
  budget.Start(5000);
  EXPECT_EQ(budget.DelayAfter(1 << 19, 5000), 500u);
  EXPECT_EQ(budget.DelayAfter(1 << 19, 5400), 600u);
  EXPECT_EQ(budget.DelayAfter(1 << 20, 8000), 0u);  // slow disk: 3 s for 2 MiB
  budget.Start(20000);
  EXPECT_EQ(budget.DelayAfter(1 << 20, 20000), 1000u);

  ReadBudget none(0);
  none.Start(0);
  EXPECT_EQ(none.DelayAfter(1ull << 40, 0), 0u);
}

}  // namespace
