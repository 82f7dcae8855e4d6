#include "daemon/crash_dump_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kDumpSuffix[] = ".dmp";
// "YYYYMMDD-hhmmss-mmm-": the fixed-width part of a name after the prefix.
constexpr size_t kStampLength = 20;

bool IsDumpName(const std::string& name) {
  const size_t prefix = strlen(kCrashDumpPrefix);
  const size_t suffix = strlen(kDumpSuffix);
  if (name.size() <= prefix + kStampLength + suffix) return false;
  if (name.compare(0, prefix, kCrashDumpPrefix) != 0) return false;
  if (name.compare(name.size() - suffix, suffix, kDumpSuffix) != 0) return false;
  for (size_t i = prefix; i < name.size() - suffix; ++i) {
    const size_t at = i - prefix;
    const bool dash = at == 8 || at == 15 || at == 19;
    if (dash ? name[i] != '-' : !isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

}  // namespace

DumpFolder CrashDumpFolder(const std::string& log_setting, const std::string& temp_folder) {
  DumpFolder folder;
  if (log_setting.empty() || log_setting == "null") return folder;
  folder.on = true;
  if (log_setting == "stdout") {
    folder.path = temp_folder;
    return folder;
  }
  const size_t slash = log_setting.find_last_of("\\/");
  if (slash != std::string::npos) folder.path = log_setting.substr(0, slash + 1);
  return folder;
}

std::string CrashDumpName(const DumpTime& utc, uint32_t pid) {
  char name[80];
  snprintf(name, sizeof(name), "%s%04d%02d%02d-%02d%02d%02d-%03d-%lu%s", kCrashDumpPrefix,
           utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second, utc.millisecond,
           static_cast<unsigned long>(pid), kDumpSuffix);
  return name;
}

std::vector<std::string> DumpsToRemove(std::vector<std::string> names, size_t keep) {
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& name) { return !IsDumpName(name); }),
              names.end());
  std::sort(names.begin(), names.end());
  if (names.size() <= keep) return {};
  names.resize(names.size() - keep);
  return names;
}
