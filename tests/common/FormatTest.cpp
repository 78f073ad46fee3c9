#include <gtest/gtest.h>

#include "common/Format.h"

using namespace tidewell;

TEST(Format, PlaceholdersOfTheSystemsMessages) {
  EXPECT_EQ(Format("%s%.2d", "030504", 7), "03050407");
  EXPECT_EQ(Format("%s%.2d", "030504", 123), "030504123");
  EXPECT_EQ(Format("%.2d", -3), "-03");
  EXPECT_EQ(Format("%.3f", 1.5), "1.500");
  EXPECT_EQ(Format("[%15s]", "abc"), "[            abc]");
  EXPECT_EQ(Format("[%-5s]", "ab"), "[ab   ]");
  EXPECT_EQ(Format("update %s set convtd=%d where %s and rec_num=%s", "weight", 15, "machine=7", "1234"),
            "update weight set convtd=15 where machine=7 and rec_num=1234");
  EXPECT_EQ(Format("100%% %d", 5), "100% 5");
  EXPECT_EQ(Format("%f", 2.0), "2.00");
  EXPECT_EQ(Format("%x", 255), "FF");
  EXPECT_EQ(Format("%.2s", "abcdef"), "ab");
  EXPECT_EQ(Format("%*d|%1:d", 4, 7), "   7|7");
  EXPECT_EQ(Format("%d", INT64_MIN), "-9223372036854775808");
}

TEST(Format, MismatchedPlaceholderRaisesTheSystemsText) {
  try {
    Format("Converted %d records", "many");
    FAIL() << "no error";
  } catch (const EFormatError& e) {
    EXPECT_STREQ(e.what(), "Format 'Converted %d records' invalid or incompatible with argument");
  }
  EXPECT_THROW(Format("%s", 3), EFormatError);
  EXPECT_THROW(Format("%f", 3), EFormatError);
  EXPECT_THROW(Format("%q", 3), EFormatError);
  EXPECT_THROW(Format("trailing %"), EFormatError);
}

TEST(Format, MissingArgumentRaisesWithTheTemplateCutTo31Characters) {
  try {
    Format("update %s set convtd=%d where %s and rec_num=%s", "weight");
    FAIL() << "no error";
  } catch (const EFormatError& e) {
    EXPECT_STREQ(e.what(), "No argument for format 'update %s set convtd=%d where %'");
  }
}
