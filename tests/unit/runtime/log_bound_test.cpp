#include "runtime/log_bound.h"

#include <gtest/gtest.h>

namespace {

// A line is due for a switch when it would carry a non-empty file past the
// limit (0: never); after a failed switch the next try waits for an eighth of
// the limit more, and a fresh file clears that.
TEST(LogBound, DueWhenALinePassesTheLimitAndRetriedAfterAStep) {
  LogBound bound(8000);  // retry step 1000
  EXPECT_FALSE(bound.Due(9000)) << "empty file";
  bound.Wrote(7500);
  EXPECT_FALSE(bound.Due(500));
  EXPECT_TRUE(bound.Due(501));
  // The limit alone would make these due: only the retry step defers them.
  bound.Failed();
  EXPECT_FALSE(bound.Due(1000));
  EXPECT_TRUE(bound.Due(1001));
  bound.Wrote(1000);
  EXPECT_TRUE(bound.Due(1));
  bound.Failed();
  EXPECT_FALSE(bound.Due(1000));
  EXPECT_TRUE(bound.Due(1001));
  bound.Opened(7000);
  EXPECT_FALSE(bound.Due(1000));
  EXPECT_TRUE(bound.Due(1001));
  LogBound unbounded(0);
  unbounded.Opened(uint64_t{1} << 40);
  EXPECT_FALSE(unbounded.Due(4095));
}

}  // namespace
