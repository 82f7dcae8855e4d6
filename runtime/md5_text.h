// An MD5 text as the catalogue and the statistics key files by it.
#pragma once

#include <string>

// ASCII letters upper-cased, anything else as it is: "a1b2" and "A1B2" name
// the same file.
std::string UpperMd5Text(std::string text);
