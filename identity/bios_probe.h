// Finds the BIOS identification text in an image of the 64 KiB BIOS area that
// begins at physical address 0xF0000. Pure function over the caller's image.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kBiosTextSize = 49;

// Probes the fixed offsets in order and takes the first printable text whose
// separators sit where the BIOS vendors put them. Copies at most 49 bytes of
// it to `text` and their count to `*length`; false when no probe matches.
bool ProbeBiosImage(const uint8_t* image, size_t image_size, uint8_t text[kBiosTextSize],
                    size_t* length);
