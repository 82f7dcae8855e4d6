// A number the registry holds as the engine reads it: absent, of the type and
// size expected (with its value), or anything else. Portable; the Win32 side
// (registry_read.h) reads it.
#pragma once

#include <cstdint>

struct StoredValue {
  enum class Kind { kAbsent, kRight, kOther };  // kRight: of the expected type and size
  Kind kind = Kind::kAbsent;
  uint64_t value = 0;
};
