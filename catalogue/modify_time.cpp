#include "catalogue/modify_time.h"

#include <cstdio>

#include "catalogue/number_text.h"

namespace {
constexpr size_t kTimeDigits = 14;
constexpr size_t kDateDigits = 8;  // yyyymmdd
constexpr int kMaxAgeDays = 30;
}  // namespace

std::string FormatTimeDigits(int year, int month, int day, int hour, int minute, int second) {
  // Wide enough for six full ints, so nothing is cut before our own cut.
  char text[80];
  std::snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                second);
  std::string result(text);
  if (result.size() > kTimeDigits) result.resize(kTimeDigits);
  return result;
}

bool CatalogueAgeInDays(const std::string& stored, const CalendarDate& today, int* age_days) {
  if (stored.size() < kDateDigits) return false;
  // StringToInt answers -1 for a field without a number; no real field is -1.
  const int year = StringToInt(stored.substr(0, 4));
  const int month = StringToInt(stored.substr(4, 2));
  const int day = StringToInt(stored.substr(6, 2));
  if (year < 0 || month < 0 || day < 0) return false;
  // Fields are at most 4 and 2 digits, today's date is a calendar date: the
  // products stay far inside 32 bits.
  *age_days = ((today.year - year) * 12 + (today.month - month)) * 30 + (today.day - day);
  return true;
}

bool IsOlderThan30DaysOn(const std::string& stored, const CalendarDate& today) {
  int age = 0;
  if (!CatalogueAgeInDays(stored, today, &age)) return true;
  return age > kMaxAgeDays;
}
