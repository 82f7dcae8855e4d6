#include "runtime/random_bytes.h"

#include <windows.h>
#include <ntsecapi.h>

// advapi32's RtlGenRandom: no provider handle to hold.
bool RandomBytes(void* out, size_t size) {
  return RtlGenRandom(out, static_cast<ULONG>(size)) != FALSE;
}
