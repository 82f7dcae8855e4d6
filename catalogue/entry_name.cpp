#include "catalogue/entry_name.h"

bool IsUsableEntryName(const std::string& md5) {
  return !md5.empty() && md5.find('\\') == std::string::npos &&
         md5.find('\0') == std::string::npos;
}
