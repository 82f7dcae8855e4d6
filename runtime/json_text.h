// JSON text for the status view and what its parts report. Portable.
#pragma once

#include <string>

// `text` as a JSON string, quotes included. Paths are ANSI bytes of an unknown
// code page: every byte past ASCII becomes \u00XX, so the JSON stays valid
// UTF-8 and a reader gets each byte back as the code point of the same value.
std::string JsonString(const std::string& text);

// `utf8` as a JSON string of ASCII only: every character past ASCII, and every
// control character, written \uXXXX (a surrogate pair beyond the BMP), so any
// reader gets the text as written whatever it assumes of the bytes. A byte
// that is not part of valid UTF-8 becomes U+FFFD.
std::string JsonStringUtf8(const std::string& utf8);
