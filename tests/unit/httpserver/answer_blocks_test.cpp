#include "httpserver/answer_blocks.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The budget bounds what all leases hold together; past it a lease is empty
// (the caller falls back to its stack), and a lease given back frees room.
TEST(AnswerBlocks, BudgetBoundsAllLeases) {
  AnswerBlockPool pool(1000, 2500, 4);
  std::vector<AnswerBlockPool::Lease> held;
  held.push_back(pool.Take(5000));
  held.push_back(pool.Take(1000));
  EXPECT_EQ(held[0].size(), 1000u);
  EXPECT_EQ(pool.Take(1000).size(), 0u);
  AnswerBlockPool::Lease small = pool.Take(400);
  EXPECT_EQ(small.size(), 400u);
  EXPECT_EQ(pool.BytesOut(), 2400u);
  held.pop_back();
  EXPECT_TRUE(pool.Take(1000));
}

// Whole blocks are kept for reuse, at most `kept_free`, between answers too (a
// fresh block costs its page faults again); Trim gives them all back.
TEST(AnswerBlocks, KeptBlocksStayUntilTrimmed) {
  AnswerBlockPool pool(1000, 10000, 2);
  {
    AnswerBlockPool::Lease first = pool.Take(1000);
    AnswerBlockPool::Lease second = pool.Take(1000);
    AnswerBlockPool::Lease third = pool.Take(1000);
    AnswerBlockPool::Lease moved = std::move(first);
    EXPECT_FALSE(first);
  }
  EXPECT_EQ(pool.BytesOut(), 0u);
  EXPECT_EQ(pool.BlocksKept(), 2u);
  AnswerBlockPool::Lease reused = pool.Take(10);
  EXPECT_EQ(reused.size(), 1000u);  // a kept block serves any size
  EXPECT_EQ(pool.BlocksKept(), 1u);
  pool.Trim();
  EXPECT_EQ(pool.BlocksKept(), 0u);
  EXPECT_EQ(pool.BytesOut(), 1000u);
}

}  // namespace
