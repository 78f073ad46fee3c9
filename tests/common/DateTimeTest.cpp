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
