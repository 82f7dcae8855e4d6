#include "identity/seh_guard.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Kept in memory so that the compiler cannot see the address is bad and turn
// the store into a trap instruction of its own.
volatile uintptr_t g_bad_address = 0x10;

void WriteToBadAddress(void*) { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }

// A few frames deep, with locals in callee-saved registers, before faulting.
__attribute__((noinline)) int Deep(int level, int* out) {
  volatile int local = level * 7;
  if (level == 0) {
    WriteToBadAddress(nullptr);
    return local;
  }
  int result = Deep(level - 1, out) + local;
  *out = result;
  return result;
}

// The guarded call returns normally and the body ran.
TEST(SehGuard, NormalReturn) {
  int value = 0;
  DWORD code = 0xDEAD;
  EXPECT_TRUE(RunGuarded([](void* p) { *static_cast<int*>(p) = 42; }, &value, &code));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(code, 0xDEADu);
}

// An access violation ends the guarded call, reports its code, and leaves the
// caller's registers and stack usable: locals survive and guards can repeat.
TEST(SehGuard, AccessViolationIsCaught) {
  volatile int before = 1234;
  uint64_t sum = 0;
  for (int round = 0; round < 3; ++round) {
    DWORD code = 0;
    EXPECT_FALSE(RunGuarded(WriteToBadAddress, nullptr, &code));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    sum += static_cast<uint64_t>(round) * 3 + 1;
  }
  EXPECT_EQ(before, 1234);
  EXPECT_EQ(sum, 12u);

  int out = 0;
  EXPECT_FALSE(RunGuarded([](void* p) { Deep(5, static_cast<int*>(p)); }, &out));
  EXPECT_EQ(out, 0) << "no frame above the fault may have finished";
}

// Guards nest: an inner guard takes its own fault and the outer call goes on.
TEST(SehGuard, NestedGuards) {
  struct State {
    bool inner_result = true;
    bool after_inner = false;
  } state;
  EXPECT_TRUE(RunGuarded(
      [](void* p) {
        auto* s = static_cast<State*>(p);
        s->inner_result = RunGuarded(WriteToBadAddress, nullptr);
        s->after_inner = true;
      },
      &state));
  EXPECT_FALSE(state.inner_result);
  EXPECT_TRUE(state.after_inner);

  // A fault in the outer body after a clean inner guard is the outer's.
  EXPECT_FALSE(RunGuarded(
      [](void*) {
        RunGuarded([](void*) {}, nullptr);
        WriteToBadAddress(nullptr);
      },
      nullptr));
}

// An exception that an inner handler takes care of never reaches the guard:
// OutputDebugStringA raises one internally and handles it.
TEST(SehGuard, InnerHandlersComeFirst) {
  EXPECT_TRUE(RunGuarded([](void*) { OutputDebugStringA("guarded debug line\n"); }, nullptr));
}

// A raised software exception, also a non-continuable one, is caught too.
TEST(SehGuard, RaisedExceptions) {
  DWORD code = 0;
  EXPECT_FALSE(RunGuarded([](void*) { RaiseException(0xE0001234, 0, 0, nullptr); }, nullptr,
                          &code));
  EXPECT_EQ(code, 0xE0001234u);
  EXPECT_FALSE(RunGuarded(
      [](void*) { RaiseException(0xE0005678, EXCEPTION_NONCONTINUABLE, 0, nullptr); }, nullptr,
      &code));
  EXPECT_EQ(code, 0xE0005678u);
}

// After a caught fault the thread's exception chain still works: C++
// exceptions are thrown and caught as usual.
TEST(SehGuard, CppExceptionsStillWork) {
  EXPECT_FALSE(RunGuarded(WriteToBadAddress, nullptr));
  bool caught = false;
  try {
    throw 7;
  } catch (int v) {
    caught = v == 7;
  }
  EXPECT_TRUE(caught);
}

}  // namespace
