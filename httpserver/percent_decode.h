// Percent-decoding of query keys and values.
#pragma once

#include <string>

// "%" and two hex digits (either case) become that byte; a "%" without two hex
// digits after it stays as it is. "+" is kept: it is not a space here.
std::string PercentDecode(const std::string& text);
