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

TEST(Text, Utf8PrefixCountsCharactersAndNeverEndsInsideOne) {
  const std::string text = "Mü\xc3\x9f€x";  // M, ü (2 bytes), ß (2), € (3), x
  EXPECT_EQ(Utf8Prefix(text, 2, 100), 3u);
  EXPECT_EQ(Utf8Prefix(text, 100, 100), text.size());
  EXPECT_EQ(Utf8Prefix(text, 100, 6), 5u);  // € would end past byte 6
  EXPECT_EQ(Utf8Prefix(text, 100, 4), 3u);  // ß would end past byte 4
  EXPECT_EQ(Utf8Prefix(text, 0, 100), 0u);
  // Bytes that start no well-formed sequence count one each: a cp1252 text
  // or a cut sequence is never taken for a longer character.
  EXPECT_EQ(Utf8Prefix("\xfc\xe4x", 2, 100), 2u);
  EXPECT_EQ(Utf8Prefix("a\xc3", 100, 100), 2u);
  EXPECT_EQ(Utf8Prefix("\xe2\x82z", 2, 100), 2u);
}
