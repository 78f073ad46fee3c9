// Calendar arithmetic on the proleptic Gregorian calendar, done by C++20
// <chrono>: Julian day numbers (what xBase files store for dates) to and from
// year, month and day. Header-only and dependent on nothing, so the dBASE
// engine in xbase/, which links nothing of the service, uses it as well.
#pragma once

#include <chrono>
#include <cstdint>

namespace tidewell::calendar {

// 1970-01-01, where std::chrono::sys_days starts, as a Julian day number.
inline constexpr int64_t UnixEpochJulianDay = 2440588;

struct CivilDate {
  int Year = 0, Month = 0, Day = 0;
};

// Days from 1970-01-01 to a date. Month 1 to 12; a day past the end of its
// month counts on into the next.
constexpr int64_t DaysSinceUnixEpoch(int year, int month, int day) {
  using namespace std::chrono;
  const sys_days first{std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} / 1};
  return first.time_since_epoch().count() + day - 1;
}

constexpr int64_t JulianDayOf(int year, int month, int day) {
  return DaysSinceUnixEpoch(year, month, day) + UnixEpochJulianDay;
}

// The date of a day counted from 1970-01-01.
constexpr CivilDate DateOfDaysSinceUnixEpoch(int64_t days) {
  using namespace std::chrono;
  const year_month_day ymd{sys_days{std::chrono::days{days}}};
  return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day()))};
}

constexpr CivilDate DateOfJulianDay(int64_t julian_day) {
  return DateOfDaysSinceUnixEpoch(julian_day - UnixEpochJulianDay);
}

}  // namespace tidewell::calendar
