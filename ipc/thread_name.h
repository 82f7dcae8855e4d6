// Names of per-connection threads: a fixed prefix and a number that tells
// concurrent connections apart.
#pragma once

#include <cstdint>
#include <string>

// `prefix` followed by `id` in lower-case hexadecimal without leading zeros,
// all of its bits (a 64-bit address keeps its upper half).
std::string ConnectionThreadName(const char* prefix, uintptr_t id);
