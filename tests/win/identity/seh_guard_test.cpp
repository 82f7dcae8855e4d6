#include "identity/seh_guard.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// In memory, so that the compiler cannot see the address is bad and put a
// trap instruction of its own in place of the store.
volatile uintptr_t g_bad_address = 0x10;

void WriteToBadAddress(void*) { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }

// Several frames deep, with locals in callee-saved registers, before faulting.
__attribute__((noinline)) int Deep(int level, int* out) {
  volatile int local = level * 7;
  if (level == 0) {
    WriteToBadAddress(nullptr);
    return local;
  }
  *out = Deep(level - 1, out) + local;
  return *out;
}

// A body that returns gives true; an access violation, however deep, gives
// false with its code; the caller's locals survive and C++ exceptions still
// work afterwards.
TEST(SehGuard, AccessViolationIsCaught) {
  int value = 0;
  DWORD code = 0xDEAD;
  EXPECT_TRUE(RunGuarded([](void* p) { *static_cast<int*>(p) = 42; }, &value, &code));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(code, 0xDEADu);

  volatile int before = 1234;
  for (int round = 0; round < 3; ++round) {
    code = 0;
    EXPECT_FALSE(RunGuarded([](void* p) { Deep(5, static_cast<int*>(p)); }, &value, &code));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  }
  EXPECT_EQ(value, 42) << "no frame above the fault may have finished";
  EXPECT_EQ(before, 1234);

  bool caught = false;
  try {
    throw 7;
  } catch (int v) {
    caught = v == 7;
  }
  EXPECT_TRUE(caught);
}

// Guards nest: an inner guard takes its own fault and the outer body goes on;
// a fault after a clean inner guard is the outer's.
TEST(SehGuard, NestedGuards) {
  bool inner = true;
  EXPECT_TRUE(RunGuarded(
      [](void* p) { *static_cast<bool*>(p) = RunGuarded(WriteToBadAddress, nullptr); }, &inner));
  EXPECT_FALSE(inner);

  EXPECT_FALSE(RunGuarded(
      [](void*) {
        RunGuarded([](void*) {}, nullptr);
        WriteToBadAddress(nullptr);
      },
      nullptr));
}

// Handlers inside the guarded code come first (OutputDebugStringA raises and
// handles an exception of its own); raised exceptions, non-continuable ones
// too, are caught.
TEST(SehGuard, InnerHandlersAndRaisedExceptions) {
  EXPECT_TRUE(RunGuarded([](void*) { OutputDebugStringA("guarded debug line\n"); }, nullptr));

  DWORD code = 0;
  EXPECT_FALSE(RunGuarded([](void*) { RaiseException(0xE0001234, 0, 0, nullptr); }, nullptr,
                          &code));
  EXPECT_EQ(code, 0xE0001234u);
  EXPECT_FALSE(RunGuarded(
      [](void*) { RaiseException(0xE0005678, EXCEPTION_NONCONTINUABLE, 0, nullptr); }, nullptr,
      &code));
  EXPECT_EQ(code, 0xE0005678u);
}

}  // namespace
