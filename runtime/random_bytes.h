// The system's random bytes, for tokens and nonces: the one source of them.
#pragma once

#include <cstddef>

// Fills `size` bytes at `out`; false when the system gives none.
bool RandomBytes(void* out, size_t size);
