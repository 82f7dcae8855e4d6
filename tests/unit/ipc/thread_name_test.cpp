#include "ipc/thread_name.h"

#include <gtest/gtest.h>

namespace {

// Lower-case hex without leading zeros; a 64-bit id keeps every digit, so two
// addresses that differ only in their upper half get distinct names.
TEST(ThreadName, FormatsTheWholeId) {
  EXPECT_EQ(ConnectionThreadName("IPCSerive ", 0), "IPCSerive 0");
  EXPECT_EQ(ConnectionThreadName("IPCSerive ", 0x00ab12f0), "IPCSerive ab12f0");
  EXPECT_EQ(ConnectionThreadName("x", 0xFFFFFFFFu), "xffffffff");
  if (sizeof(uintptr_t) == 8) {
    const uint64_t high = 0x1234567800000010ULL;
    EXPECT_EQ(ConnectionThreadName("x", static_cast<uintptr_t>(high)), "x1234567800000010");
  }
}

}  // namespace
