#include "daemon/crash_dump_rules.h"

#include <algorithm>
#include <cctype>
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
  AppendCrashDumpName(name, sizeof(name), 0, utc, pid);
  return name;
}

bool AppendCrashDumpName(char* out, size_t size, size_t length, const DumpTime& utc, uint32_t pid) {
  char name[64];
  size_t at = 0;
  const auto text = [&](const char* piece) {
    while (*piece) name[at++] = *piece++;
  };
  // `width` 0: as many digits as the value has.
  const auto number = [&](unsigned long value, int width) {
    char digits[12];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 || count < width);
    while (count > 0) name[at++] = digits[--count];
  };
  text(kCrashDumpPrefix);
  number(static_cast<unsigned long>(utc.year) % 10000, 4);
  number(static_cast<unsigned long>(utc.month) % 100, 2);
  number(static_cast<unsigned long>(utc.day) % 100, 2);
  text("-");
  number(static_cast<unsigned long>(utc.hour) % 100, 2);
  number(static_cast<unsigned long>(utc.minute) % 100, 2);
  number(static_cast<unsigned long>(utc.second) % 100, 2);
  text("-");
  number(static_cast<unsigned long>(utc.millisecond) % 1000, 3);
  text("-");
  number(pid, 0);
  text(kDumpSuffix);
  if (length + at + 1 > size) return false;
  memcpy(out + length, name, at);
  out[length + at] = '\0';
  return true;
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

DumpWriter LoaderLockWriter(LoaderLockHolder holder, uint32_t asked_for_ms) {
  switch (holder) {
    case LoaderLockHolder::kNobody:
      return DumpWriter::kDumpThread;
    case LoaderLockHolder::kCrashedThread:
      return DumpWriter::kCrashedThread;
    case LoaderLockHolder::kOtherThread:
      return asked_for_ms < kLoaderLockRetryMs ? DumpWriter::kAskAgain : DumpWriter::kDumpThread;
    case LoaderLockHolder::kUnknown:
      break;
  }
  return asked_for_ms < kLoaderLockRetryMs ? DumpWriter::kAskAgain : DumpWriter::kCrashedThread;
}
