#include <cpuid.h>

#include "identity/machine_fingerprint.h"
#include "identity/seh_guard.h"

namespace {

void ReadFeatures(void* out) {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  __cpuid(1, eax, ebx, ecx, edx);
  *static_cast<uint32_t*>(out) = edx;
}

}  // namespace

uint32_t GetProcessorFeatures() {
  uint32_t features = 0;
  // Processors before CPUID fault on the instruction.
  if (!RunGuarded(ReadFeatures, &features)) return 0;
  return features;
}
