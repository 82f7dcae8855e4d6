// The catalogue's stored modify time: its 14-digit text and the age rule that
// prunes old entries. Pure functions: the callers supply the clock.
#pragma once

#include <string>

struct CalendarDate {
  int year;
  int month;
  int day;
};

// "%04d%02d%02d%02d%02d%02d" cut to 14 characters: year, month, day, hour,
// minute, second.
std::string FormatTimeDigits(int year, int month, int day, int hour, int minute, int second);

// Age in days of a stored time text on `today`, every month counted as 30 days
// and the time of day ignored. False when the text has no date: fewer than 8
// characters, or a year, month or day field that does not read as a number.
bool CatalogueAgeInDays(const std::string& stored, const CalendarDate& today, int* age_days);

// Whether an entry stored at `stored` is too old to keep on `today`: an age
// over 30 days, or no readable date at all (such an entry cannot be dated, and
// keeping it would keep it for ever).
bool IsOlderThan30DaysOn(const std::string& stored, const CalendarDate& today);
