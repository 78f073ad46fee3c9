// Date-time values as the rest of the system passes them around: a double
// whose integral part counts days from 30 December 1899 and whose fraction is
// the time of day. Negative values, before 1899, count days backwards in
// their integral part while the fraction stays a positive time of day: the
// convention of OLE automation dates.
#pragma once

#include <string>

namespace tidewell {

using TDateTime = double;

// Broken-down calendar values. Year is the full year (1..9999), Month 1..12,
// Day 1..31; DayOfWeek is 1 = Sunday .. 7 = Saturday.
struct TDateParts {
  int Year = 0, Month = 0, Day = 0;
};
struct TTimeParts {
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// False (and result 0) when the parts do not name a real date or time.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int milliSecond, TDateTime& result);
// One value from a whole day count and a time of day (0 <= time < 1); the
// only right way to join them, since a plain sum is a day off before day 0.
TDateTime CombineDateTime(TDateTime date, TDateTime time);
TDateTime EncodeDate(int year, int month, int day);  // 0 for an impossible date
TDateTime EncodeTime(int hour, int minute, int second, int milliSecond);

TDateParts DecodeDate(TDateTime value);
TTimeParts DecodeTime(TDateTime value);
int DayOfWeek(TDateTime value);  // 1 = Sunday .. 7 = Saturday

// The date part only (time of day dropped).
TDateTime DateOf(TDateTime value);

// Formats with the system's date-time patterns:
//   hh hour 00-23, nn minutes, ss seconds, zzz milliseconds,
//   dd day, mm (after a day) or MM month, yy/YY two-digit year, YYYY four-digit year,
//   "/" the date separator, ":" the time separator; anything else is literal.
std::string FormatDateTime(const std::string& pattern, TDateTime value);

inline constexpr char DateSeparator = '/';
inline constexpr char TimeSeparator = ':';

}  // namespace tidewell
