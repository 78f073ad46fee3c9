#include "common/DateTime.h"

#include "common/Calendar.h"

#include <cmath>
#include <cstdio>

namespace tidewell {
namespace {

constexpr double MSecsPerDay = 86400000.0;

// 1899-12-30, day 0 of a TDateTime, and the first and last dates it holds,
// counted in days from 1970-01-01.
constexpr long EpochDays = calendar::DaysSinceUnixEpoch(1899, 12, 30);
constexpr long FirstDay = calendar::DaysSinceUnixEpoch(1, 1, 1);
constexpr long LastDay = calendar::DaysSinceUnixEpoch(9999, 12, 31);

// Splits a value into whole days since the epoch and milliseconds of the day,
// rounding to the nearest millisecond so 0.5 of a millisecond never shows as 999.
void Split(TDateTime value, long& days, long& msOfDay) {
  double whole = std::trunc(value);
  double frac = std::fabs(value - whole);
  long ms = std::lround(frac * MSecsPerDay);
  days = static_cast<long>(whole);
  if (ms >= static_cast<long>(MSecsPerDay)) {
    // A time of day that rounds up to midnight is the start of the next
    // calendar day, which for a negative count is the one nearer day 0.
    ms -= static_cast<long>(MSecsPerDay);
    days += 1;
  }
  msOfDay = ms;
}

}  // namespace

bool IsLeapYear(int year) { return std::chrono::year{year}.is_leap(); }

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  result = 0;
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  result = static_cast<double>(calendar::DaysSinceUnixEpoch(year, month, day) - EpochDays);
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

TDateTime CombineDateTime(TDateTime date, TDateTime time) {
  // Before day 0 the count runs backwards while the time of day still runs
  // forwards: 18:00 on day -1 is -1.75, not -0.25.
  return date < 0 ? date - time : date + time;
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
  const long n = days + EpochDays;  // days since 1970-01-01
  TDateParts p;
  if (n < FirstDay || n > LastDay) return p;
  const calendar::CivilDate date = calendar::DateOfDaysSinceUnixEpoch(n);
  p.Year = date.Year;
  p.Month = date.Month;
  p.Day = date.Day;
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
