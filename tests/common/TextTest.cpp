#include <gtest/gtest.h>

#include "common/Text.h"

using namespace tidewell;

TEST(Text, TrimRemovesBlanksAndControlCharactersOnly) {
  EXPECT_EQ(Trim(std::string("\t \x01 abc \r\n\0", 12)), "abc");
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim(" \xA0x\xA0 "), "\xA0x\xA0");  // code 160 is not blank
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
}

TEST(Text, CaseFoldingTouchesAsciiLettersOnly) {
  EXPECT_EQ(UpperCase("Rec_Num \xe9"), "REC_NUM \xe9");
  EXPECT_TRUE(SameText("DAT_E", "dat_e"));
  EXPECT_FALSE(SameText("dat_e", "dat_e "));
  EXPECT_FALSE(SameText("\xe9", "\xc9"));
}
