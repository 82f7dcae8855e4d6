// JSON text for the status view and what its parts report. Portable.
#pragma once

#include <string>

// `text` as a JSON string, quotes included. Paths are ANSI bytes of an unknown
// code page: every byte past ASCII becomes \u00XX, so the JSON stays valid
// UTF-8 and a reader gets each byte back as the code point of the same value.
std::string JsonString(const std::string& text);
