#include "common/DateTime.h"

#include <cmath>
#include <cstdio>

namespace tidewell {
namespace {

constexpr double MSecsPerDay = 86400000.0;

// Days from 0001-01-01 to the given date (proleptic Gregorian), 1-based day.
constexpr bool Leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr long DaysFromCivilStart(int year, int month, int day) {
  constexpr int cumulative[2][13] = {
      {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
      {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
  long y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400 + cumulative[Leap(year) ? 1 : 0][month - 1] + day;
}

// 1899-12-30 counted the same way.
constexpr long EpochDays = DaysFromCivilStart(1899, 12, 30);

// Splits a value into whole days since the epoch and milliseconds of the day,
// rounding to the nearest millisecond so 0.5 of a millisecond never shows as 999.
void Split(TDateTime value, long& days, long& msOfDay) {
  double whole = std::trunc(value);
  double frac = std::fabs(value - whole);
  long ms = std::lround(frac * MSecsPerDay);
  days = static_cast<long>(whole);
  if (ms >= static_cast<long>(MSecsPerDay)) {
    ms -= static_cast<long>(MSecsPerDay);
    days += value < 0 ? -1 : 1;
  }
  msOfDay = ms;
}

}  // namespace

bool IsLeapYear(int year) { return Leap(year); }

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  result = 0;
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  result = static_cast<double>(DaysFromCivilStart(year, month, day) - EpochDays);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int milliSecond, TDateTime& result) {
  result = 0;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || milliSecond < 0 ||
      milliSecond > 999)
    return false;
  result = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + milliSecond) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  TryEncodeDate(year, month, day, r);
  return r;
}

TDateTime EncodeTime(int hour, int minute, int second, int milliSecond) {
  TDateTime r;
  TryEncodeTime(hour, minute, second, milliSecond, r);
  return r;
}

TDateParts DecodeDate(TDateTime value) {
  long days, ms;
  Split(value, days, ms);
  long n = days + EpochDays;  // days since 0000-12-31, 1 = 0001-01-01
  TDateParts p;
  if (n <= 0 || n > DaysFromCivilStart(9999, 12, 31)) return p;
  // Walk down the 400/100/4/1-year cycles.
  long d = n - 1;
  long y = 1;
  y += 400 * (d / 146097);
  d %= 146097;
  long c = d / 36524;
  if (c == 4) c = 3;
  y += 100 * c;
  d -= c * 36524;
  y += 4 * (d / 1461);
  d %= 1461;
  long yy = d / 365;
  if (yy == 4) yy = 3;
  y += yy;
  d -= yy * 365;
  int month = 1;
  while (d >= DaysInMonth(static_cast<int>(y), month)) {
    d -= DaysInMonth(static_cast<int>(y), month);
    ++month;
  }
  p.Year = static_cast<int>(y);
  p.Month = month;
  p.Day = static_cast<int>(d) + 1;
  return p;
}

TTimeParts DecodeTime(TDateTime value) {
  long days, ms;
  Split(value, days, ms);
  TTimeParts t;
  t.MilliSecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  t.Second = static_cast<int>(ms % 60);
  ms /= 60;
  t.Minute = static_cast<int>(ms % 60);
  t.Hour = static_cast<int>(ms / 60);
  return t;
}

int DayOfWeek(TDateTime value) {
  long days, ms;
  Split(value, days, ms);
  // 1899-12-30 was a Saturday (7).
  long w = ((days % 7) + 7 + 6) % 7;  // 0 = Sunday
  return static_cast<int>(w) + 1;
}

TDateTime DateOf(TDateTime value) {
  long days, ms;
  Split(value, days, ms);
  return static_cast<double>(days);
}

std::string FormatDateTime(const std::string& pattern, TDateTime value) {
  const TDateParts d = DecodeDate(value);
  const TTimeParts t = DecodeTime(value);
  std::string out;
  char buf[16];
  auto put = [&](int number, int width) {
    std::snprintf(buf, sizeof buf, "%0*d", width, number);
    out += buf;
  };
  bool afterDay = false;
  for (size_t i = 0; i < pattern.size();) {
    auto at = [&](const char* token) { return pattern.compare(i, std::char_traits<char>::length(token), token) == 0; };
    if (at("YYYY") || at("yyyy")) {
      put(d.Year, 4);
      i += 4;
    } else if (at("hh")) {
      put(t.Hour, 2);
      i += 2;
    } else if (at("nn")) {
      put(t.Minute, 2);
      i += 2;
    } else if (at("ss")) {
      put(t.Second, 2);
      i += 2;
    } else if (at("zzz")) {
      put(t.MilliSecond, 3);
      i += 3;
    } else if (at("dd") || at("DD")) {
      put(d.Day, 2);
      afterDay = true;
      i += 2;
    } else if (at("MM") || (at("mm") && afterDay)) {
      put(d.Month, 2);
      i += 2;
    } else if (at("yy") || at("YY")) {
      put(d.Year % 100, 2);
      i += 2;
    } else if (pattern[i] == '/') {
      out += DateSeparator;
      ++i;
    } else if (pattern[i] == ':') {
      out += TimeSeparator;
      ++i;
    } else {
      out += pattern[i];
      ++i;
    }
  }
  return out;
}

}  // namespace tidewell
