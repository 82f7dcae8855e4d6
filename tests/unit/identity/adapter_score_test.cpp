#include "identity/adapter_score.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Address = std::vector<uint8_t>;

struct WalkResult {
  int best;
  Address chosen;
};

WalkResult Walk(const std::vector<Address>& lists, int best = kAdapterScoreNever) {
  std::vector<uint8_t> flat;
  for (const Address& a : lists) flat.insert(flat.end(), a.begin(), a.end());
  Address chosen(6, 0xEE);
  WalkAdapterAddresses(flat.data(), lists.size(), &best, chosen.data());
  return {best, chosen};
}

const Address kVmware = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08};
const Address kReal = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Address kReal2 = {0x08, 0x00, 0x27, 0x11, 0x22, 0x33};
const Address kZero = {0, 0, 0, 0, 0, 0};
const Address kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Address kLoopbackLike = {0x00, 0xFF, 0x12, 0x34, 0x56, 0x78};

// Each row of the score table, including where a rule looks only at some bytes.
TEST(AdapterScore, TableRows) {
  EXPECT_EQ(ScoreAdapterAddress(kVmware.data()), -2);
  const uint8_t dest[6] = {'D', 'E', 'S', 'T', 0, 0x42};
  EXPECT_EQ(ScoreAdapterAddress(dest), -2);
  const uint8_t dest_no_zero[6] = {'D', 'E', 'S', 'T', 'X', 0x42};
  EXPECT_EQ(ScoreAdapterAddress(dest_no_zero), 0);
  const uint8_t ras[6] = {0x20, 0x41, 0x42, 'R', 'A', 'S'};
  EXPECT_EQ(ScoreAdapterAddress(ras), -2);
  EXPECT_EQ(ScoreAdapterAddress(kZero.data()), -3);
  EXPECT_EQ(ScoreAdapterAddress(kBroadcast.data()), -3);
  EXPECT_EQ(ScoreAdapterAddress(kLoopbackLike.data()), -1);
  EXPECT_EQ(ScoreAdapterAddress(kReal.data()), 0);
  // 00 50 56 with a different fourth byte is an ordinary address.
  const uint8_t vm_other[6] = {0x00, 0x50, 0x56, 0xC1, 0x00, 0x08};
  EXPECT_EQ(ScoreAdapterAddress(vm_other), 0);
  // Broadcast-like but not all FF, and 00 FF FF ... (the 00 FF rule, not broadcast).
  const uint8_t nearly[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(ScoreAdapterAddress(nearly), 0);
  const uint8_t zero_ff[6] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ScoreAdapterAddress(zero_ff), -1);
}

// A virtual-host address alone is still taken; a better one later replaces it,
// and the walk stops at the first score-0 address.
TEST(AdapterScore, WalkPrefersBetterAndFirst) {
  WalkResult only_vm = Walk({kVmware});
  EXPECT_EQ(only_vm.best, -2);
  EXPECT_EQ(only_vm.chosen, kVmware);

  WalkResult replaced = Walk({kVmware, kLoopbackLike, kReal, kReal2});
  EXPECT_EQ(replaced.best, 0);
  EXPECT_EQ(replaced.chosen, kReal);

  WalkResult first_of_equal = Walk({kLoopbackLike, Address{0x00, 0xFF, 9, 9, 9, 9}, kVmware});
  EXPECT_EQ(first_of_equal.best, -1);
  EXPECT_EQ(first_of_equal.chosen, kLoopbackLike);
}

// All-zero and broadcast addresses are never taken, even when nothing else exists.
TEST(AdapterScore, NeverTakesZeroOrBroadcast) {
  WalkResult none = Walk({kZero, kBroadcast, kZero});
  EXPECT_EQ(none.best, kAdapterScoreNever);
  EXPECT_EQ(none.chosen, Address(6, 0xEE));

  WalkResult empty = Walk({});
  EXPECT_EQ(empty.best, kAdapterScoreNever);
}

// The best score carries from one list to the next: a later list only wins
// with a strictly better address, and a finished walk (best 0) reads nothing.
TEST(AdapterScore, BestCarriesOverBetweenLists) {
  int best = kAdapterScoreNever;
  Address chosen(6, 0);
  WalkAdapterAddresses(kVmware.data(), 1, &best, chosen.data());
  WalkAdapterAddresses(kVmware.data(), 1, &best, chosen.data());
  EXPECT_EQ(best, -2);
  std::vector<uint8_t> second = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x09};
  WalkAdapterAddresses(second.data(), 1, &best, chosen.data());
  EXPECT_EQ(chosen, kVmware) << "an equal score from a later list must not replace";
  WalkAdapterAddresses(kReal.data(), 1, &best, chosen.data());
  EXPECT_EQ(chosen, kReal);
  WalkAdapterAddresses(kReal2.data(), 1, &best, chosen.data());
  EXPECT_EQ(chosen, kReal);
}

}  // namespace
