#include "identity/adapter_score.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Address = std::vector<uint8_t>;

const Address kVmware = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08};
const Address kReal = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Address kZeroFF = {0x00, 0xFF, 0x12, 0x34, 0x56, 0x78};

int Score(const Address& a) { return ScoreAdapterAddress(a.data()); }

// Each row of the score table, and near misses that are ordinary addresses.
TEST(AdapterScore, TableRows) {
  EXPECT_EQ(Score(kVmware), -2);
  EXPECT_EQ(Score({'D', 'E', 'S', 'T', 0, 0x42}), -2);
  EXPECT_EQ(Score({0x20, 0x41, 0x42, 'R', 'A', 'S'}), -2);
  EXPECT_EQ(Score(Address(6, 0x00)), -3);
  EXPECT_EQ(Score(Address(6, 0xFF)), -3);
  EXPECT_EQ(Score(kZeroFF), -1);
  EXPECT_EQ(Score({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), -1);
  EXPECT_EQ(Score(kReal), 0);
  EXPECT_EQ(Score({'D', 'E', 'S', 'T', 'X', 0x42}), 0);
  EXPECT_EQ(Score({0x00, 0x50, 0x56, 0xC1, 0x00, 0x08}), 0);
  EXPECT_EQ(Score({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), 0);
}

struct Walked {
  int best;
  Address chosen;
};

Walked Walk(const std::vector<Address>& addresses) {
  Address flat;
  for (const Address& a : addresses) flat.insert(flat.end(), a.begin(), a.end());
  Walked w{kAdapterScoreNever, Address(6, 0xEE)};
  WalkAdapterAddresses(flat.data(), addresses.size(), &w.best, w.chosen.data());
  return w;
}

// A virtual-host address alone is taken; a better one later replaces it; of
// equal scores the first wins; all-zero and broadcast are never taken.
TEST(AdapterScore, Walk) {
  EXPECT_EQ(Walk({kVmware}).chosen, kVmware);
  EXPECT_EQ(Walk({kVmware, kZeroFF, kReal, Address{0x08, 0, 0x27, 1, 2, 3}}).chosen, kReal);
  EXPECT_EQ(Walk({kZeroFF, Address{0x00, 0xFF, 9, 9, 9, 9}, kVmware}).chosen, kZeroFF);

  const Walked none = Walk({Address(6, 0x00), Address(6, 0xFF)});
  EXPECT_EQ(none.best, kAdapterScoreNever);
  EXPECT_EQ(none.chosen, Address(6, 0xEE));
}

}  // namespace
