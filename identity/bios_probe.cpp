#include "identity/bios_probe.h"

#include <cstring>

namespace {

constexpr size_t kProbeMaxChars = 127;

struct Probe {
  size_t offset;
  char separator;
  size_t first;  // 1-based character positions of the separator
  size_t second;
};

// A date "mm/dd/yy", a dashed BIOS identifier, a dotted version string.
constexpr Probe kProbes[] = {
    {0xEC71, '/', 3, 6},
    {0xF478, '-', 3, 8},
    {0x6577, '.', 8, 12},
    {0x7196, '.', 8, 12},
    {0x7550, '.', 8, 12},
};

}  // namespace

bool ProbeBiosImage(const uint8_t* image, size_t image_size, uint8_t text[kBiosTextSize],
                    size_t* length) {
  for (const Probe& probe : kProbes) {
    if (probe.offset >= image_size) continue;
    char candidate[kProbeMaxChars + 1] = {};
    size_t available = image_size - probe.offset;
    if (available > kProbeMaxChars) available = kProbeMaxChars;
    std::memcpy(candidate, image + probe.offset, available);

    const size_t n = std::strlen(candidate);
    if (n == 0) continue;
    bool printable = true;
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(candidate[i]);
      if (c < 0x20 || c > 0x7E) printable = false;
    }
    if (!printable) continue;
    if (candidate[probe.first - 1] != probe.separator ||
        candidate[probe.second - 1] != probe.separator) {
      continue;
    }

    const size_t copied = n < kBiosTextSize ? n : kBiosTextSize;
    std::memcpy(text, candidate, copied);
    *length = copied;
    return true;
  }
  return false;
}
