#include "catalogue/file_check.h"

#include "catalogue/modify_time.h"
#include "common/unique_any.h"

HANDLE OpenForAttributes(const std::string& path) {
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool FileExists(const std::string& path) {
  zrvd::unique_hfile file(OpenForAttributes(path));
  return file.valid();
}

bool FileChanged(const std::string& path, DWORD stored_length, const std::string& stored_time) {
  zrvd::unique_hfile file(OpenForAttributes(path));
  if (!file) return true;
  CatalogueEntry stored;
  stored.modify_time = stored_time;
  stored.length = stored_length;
  int64_t size = 0;
  return !OpenFileMatchesEntry(file.get(), stored, &size);
}

std::string FormatModifyTime(HANDLE file) {
  FILETIME written;
  if (!GetFileTime(file, nullptr, nullptr, &written)) return std::string();
  return FormatModifyTime(written);
}

std::string FormatModifyTime(const FILETIME& written) {
  FILETIME local;
  SYSTEMTIME fields;
  if (!FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &fields)) {
    return std::string();
  }
  return FormatTimeDigits(fields.wYear, fields.wMonth, fields.wDay, fields.wHour, fields.wMinute,
                          fields.wSecond);
}

bool IsOlderThan30Days(const std::string& stored_time) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return IsOlderThan30DaysOn(stored_time, CalendarDate{now.wYear, now.wMonth, now.wDay});
}

bool OpenFileMatchesEntry(HANDLE file, const CatalogueEntry& entry, int64_t* size) {
  // Size and time one by one: GetFileInformationByHandle also wants the
  // volume's serial number, which costs Wine a request to its mount manager.
  LARGE_INTEGER bytes;
  FILETIME written;
  if (!GetFileSizeEx(file, &bytes) || !GetFileTime(file, nullptr, nullptr, &written)) return false;
  *size = bytes.QuadPart;
  // As FileChanged reads it: a size past 32 bits counts as 0xFFFFFFFF.
  const DWORD length = bytes.HighPart != 0 ? 0xFFFFFFFF : bytes.LowPart;
  return length == entry.length && FormatModifyTime(written) == entry.modify_time;
}
