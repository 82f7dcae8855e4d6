// Percent-encoding of the report's URL field.
#pragma once

#include <string>

// Keeps A-Z, a-z, 0-9 and ! $ ( ) * , - . _ as they are; every other byte,
// 128 to 255 included, becomes "%" and two upper-case hex digits. A NUL byte
// ends the text.
std::string UrlEncode(const std::string& text);
