#include <gtest/gtest.h>

#include "common/DateTime.h"

using namespace tidewell;

TEST(DateTime, EpochAndKnownDatesMatchTheDayCount) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(2004, 3, 5), 38051.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
}

TEST(DateTime, ImpossibleDatesAndTimesEncodeAsZero) {
  TDateTime v = 1;
  EXPECT_FALSE(TryEncodeDate(2003, 2, 29, v));
  EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(TryEncodeDate(2004, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, v));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, v));
  EXPECT_FALSE(TryEncodeDate(2000, 13, 1, v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, v));
}

TEST(DateTime, DecodeRoundTripsEveryDayOfFourCenturies) {
  for (int y = 1800; y <= 2200; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= DaysInMonth(y, m); ++d) {
        const TDateParts p = DecodeDate(EncodeDate(y, m, d));
        ASSERT_EQ(p.Year, y);
        ASSERT_EQ(p.Month, m);
        ASSERT_EQ(p.Day, d);
      }
}

TEST(DateTime, TimeOfDayDecodesToTheMillisecond) {
  const TDateTime v = EncodeDate(2026, 12, 8) + EncodeTime(23, 59, 59, 999);
  const TTimeParts t = DecodeTime(v);
  EXPECT_EQ(t.Hour, 23);
  EXPECT_EQ(t.Minute, 59);
  EXPECT_EQ(t.Second, 59);
  EXPECT_EQ(t.MilliSecond, 999);
  EXPECT_EQ(DecodeDate(v).Day, 8);
  EXPECT_EQ(DateOf(v), EncodeDate(2026, 12, 8));
}

TEST(DateTime, WeekdaysCountFromSunday) {
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);   // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8)), 3);   // Tuesday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 24)), 1);  // before the epoch
}

TEST(DateTime, PatternsOfTheLogAndTheFileNames) {
  const TDateTime v = EncodeDate(2004, 3, 5) + EncodeTime(7, 8, 9, 12);
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz dd/mm/yy", v), "07:08:09.012 05/03/04");
  EXPECT_EQ(FormatDateTime("MMDDYY", v), "030504");
  EXPECT_EQ(FormatDateTime("YYYYMMDD", v), "20040305");
  EXPECT_EQ(FormatDateTime("MMDDYY", 0), "123099");
  EXPECT_EQ(FormatDateTime("YYYYMMDD", 0), "18991230");
}

// Before 1899-12-30 the day count runs backwards but the time of day does not:
// joining the two by a plain sum would file such a value a day late.
TEST(DateTime, ValuesBeforeDayZeroKeepTheirDayAndTimeBothWays) {
  const TDateTime evening = CombineDateTime(EncodeDate(1899, 12, 29), EncodeTime(18, 0, 0, 0));
  EXPECT_DOUBLE_EQ(evening, -1.75);
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn:ss", evening), "18991229 18:00:00");
  EXPECT_EQ(DateOf(evening), -1.0);
  EXPECT_EQ(DayOfWeek(evening), 6);  // Friday

  const TDateTime old = CombineDateTime(EncodeDate(1000, 1, 1), EncodeTime(10, 0, 0, 0));
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn:ss", old), "10000101 10:00:00");
  EXPECT_EQ(FormatDateTime("MMDDYY", old), "010100");
  EXPECT_EQ(DateOf(old), EncodeDate(1000, 1, 1));

  // From day 0 on, the sum is the value.
  EXPECT_DOUBLE_EQ(CombineDateTime(EncodeDate(2004, 3, 5), 0.25), EncodeDate(2004, 3, 5) + 0.25);
  EXPECT_DOUBLE_EQ(CombineDateTime(0, 0.5), 0.5);

  // Every day and hour of the years around day 0 comes back as it went in.
  for (TDateTime day = EncodeDate(1898, 1, 1); day <= EncodeDate(1901, 12, 31); day += 1)
    for (int hour = 0; hour < 24; hour += 5) {
      const TDateTime v = CombineDateTime(day, EncodeTime(hour, 59, 59, 999));
      const TDateParts back = DecodeDate(v), expected = DecodeDate(day);
      ASSERT_EQ(back.Year * 10000 + back.Month * 100 + back.Day, expected.Year * 10000 + expected.Month * 100 + expected.Day) << day;
      ASSERT_EQ(DecodeTime(v).Hour, hour) << day;
      ASSERT_EQ(DecodeTime(v).MilliSecond, 999) << day;
    }

  // A time that rounds up to midnight belongs to the next calendar day, on
  // either side of day 0.
  const TDateTime almost = CombineDateTime(EncodeDate(1899, 12, 28), 86399999.6 / 86400000.0);
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn:ss.zzz", almost), "18991229 00:00:00.000");
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn:ss.zzz", 5 + 86399999.6 / 86400000.0), "19000105 00:00:00.000");
}
