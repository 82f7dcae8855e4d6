#include "catalogue/number_text.h"

#include <sstream>

int32_t StringToInt(const std::string& text) {
  std::istringstream stream(text);
  int32_t value = 0;
  if (!(stream >> value)) return -1;
  return value;
}

std::string IntToString(int32_t value) { return std::to_string(value); }

std::string Int64ToString(int64_t value) { return std::to_string(value); }
