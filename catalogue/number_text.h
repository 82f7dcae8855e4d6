// Decimal text conversions shared by the catalogue, the range rule and the heads.
#pragma once

#include <cstdint>
#include <string>

// Stream extraction of a decimal int: leading blanks skipped, optional sign,
// whatever follows ignored; -1 when no number can be read (empty text included).
// A number outside 32 bits reads as -1 too.
int32_t StringToInt(const std::string& text);

// Signed decimal, no leading zeros or blanks.
std::string IntToString(int32_t value);
std::string Int64ToString(int64_t value);
