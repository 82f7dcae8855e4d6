#include "ipc/thread_name.h"

std::string ConnectionThreadName(const char* prefix, uintptr_t id) {
  static const char kHex[] = "0123456789abcdef";
  char digits[2 * sizeof(id)];
  size_t count = 0;
  do {
    digits[count++] = kHex[id & 0xF];
    id >>= 4;
  } while (id != 0);
  std::string name(prefix);
  while (count > 0) name.push_back(digits[--count]);
  return name;
}
