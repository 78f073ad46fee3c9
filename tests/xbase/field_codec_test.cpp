#include "xbase/field_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace xbase;

namespace {

std::string Number(std::string_view text, int width, int decimals) {
  bool overflow = false, invalid = false;
  return FormatNumber(text, width, decimals, &overflow, &invalid);
}

FieldDescriptor Field(char type, uint8_t length, uint8_t decimals = 0) {
  // The name is constructed, not assigned: GCC 12 warns falsely of an
  // overlapping copy (-Wrestrict) when a short literal is assigned into an
  // empty std::string member and the result is inlined.
  FieldDescriptor f;
  std::string("F").swap(f.name);
  f.type = type;
  f.length = length;
  f.decimals = decimals;
  f.offset = 1;
  return f;
}

// Encodes into a one-field record and returns the field's bytes.
std::string Stored(const FieldDescriptor& f, std::string_view text, EncodeResult* result = nullptr) {
  std::vector<uint8_t> record(1 + f.length, 0xEE);
  EncodeResult r = EncodeField(f, text, record.data(), nullptr);
  if (result) *result = r;
  return std::string(record.begin() + 1, record.end());
}

}  // namespace

TEST(NumericFields, AreRightJustifiedWithTheFieldsDecimals) {
  EXPECT_EQ(Number("12.5", 10, 2), "     12.50");
  EXPECT_EQ(Number("-3", 6, 0), "    -3");
  EXPECT_EQ(Number("0.5", 5, 2), " 0.50");
  EXPECT_EQ(Number("  42  ", 4, 0), "  42");
  EXPECT_EQ(Number("007", 3, 0), "  7");
  EXPECT_EQ(Number("+1.5E3", 8, 1), "  1500.0");
  EXPECT_EQ(Number("15e-3", 6, 3), " 0.015");
}

TEST(NumericFields, RoundHalfAwayFromZeroOnTheDecimalDigits) {
  // 2.675 has no exact binary form; rounding the text must still go up.
  EXPECT_EQ(Number("2.675", 6, 2), "  2.68");
  EXPECT_EQ(Number("-2.675", 6, 2), " -2.68");
  EXPECT_EQ(Number("9.995", 6, 2), " 10.00");
  EXPECT_EQ(Number("0.4", 3, 0), "  0");
  EXPECT_EQ(Number("-0.001", 5, 2), " 0.00");  // no negative zero
}

TEST(NumericFields, ThatDoNotFitAreFilledWithStarsNotCut) {
  bool overflow = false, invalid = false;
  EXPECT_EQ(FormatNumber("123456", 5, 0, &overflow, &invalid), "*****");
  EXPECT_TRUE(overflow);
  EXPECT_EQ(FormatNumber("999.996", 6, 2, &overflow, &invalid), "******");  // rounds up to 1000.00
  EXPECT_TRUE(overflow);
  EXPECT_EQ(FormatNumber("-99.5", 4, 1, &overflow, &invalid), "****");
  EXPECT_TRUE(overflow);
  EXPECT_EQ(FormatNumber("1e300", 10, 0, &overflow, &invalid), "**********");
  EXPECT_FALSE(invalid);
}

TEST(NumericFields, RejectTextThatIsNotANumber) {
  EncodeResult r;
  EXPECT_EQ(Stored(Field('N', 6, 2), "12,5", &r), "      ");
  EXPECT_EQ(r, EncodeResult::kInvalid);
  EXPECT_EQ(Stored(Field('N', 6, 2), "abc", &r), "      ");
  EXPECT_EQ(r, EncodeResult::kInvalid);
  EXPECT_EQ(Stored(Field('F', 6, 2), "", &r), "      ");
  EXPECT_EQ(r, EncodeResult::kStored);
}

TEST(TextFields, ArePaddedOrCut) {
  EXPECT_EQ(Stored(Field('C', 5), "ab"), "ab   ");
  EXPECT_EQ(Stored(Field('C', 5), "abcdefg"), "abcde");
  EXPECT_EQ(Stored(Field('C', 3), ""), "   ");
}

TEST(DateAndLogicalFields, TakeTheXbaseForms) {
  EncodeResult r;
  EXPECT_EQ(Stored(Field('D', 8), "20040305"), "20040305");
  EXPECT_EQ(Stored(Field('D', 8), "2004-03-05"), "20040305");
  EXPECT_EQ(Stored(Field('D', 8), ""), "        ");
  EXPECT_EQ(Stored(Field('D', 8), "20040230", &r), "        ");
  EXPECT_EQ(r, EncodeResult::kInvalid);
  EXPECT_EQ(Stored(Field('D', 8), "18991230"), "18991230");
  EXPECT_EQ(Stored(Field('L', 1), "T"), "T");
  EXPECT_EQ(Stored(Field('L', 1), "f"), "F");
  EXPECT_EQ(Stored(Field('L', 1), "1"), "T");
  EXPECT_EQ(Stored(Field('L', 1), ""), " ");
}

TEST(VisualFoxProFields, StoreBinaryFormsThatDecodeToTheSameValue) {
  struct Case {
    char type;
    uint8_t length;
    const char* text;
    const char* decoded;
  } cases[] = {
      {'I', 4, "-42", "-42"},
      {'I', 4, "2147483647", "2147483647"},
      {'B', 8, "2.5", "2.5"},
      {'B', 8, "-1e-7", "-1e-07"},
      {'Y', 8, "19.99", "19.9900"},
      {'Y', 8, "-0.00005", "-0.0001"},
      {'T', 8, "2004-03-05 12:34:56", "20040305123456"},
      {'T', 8, "20000229", "20000229000000"},
  };
  for (const auto& c : cases) {
    FieldDescriptor f = Field(c.type, c.length);
    std::vector<uint8_t> record(1 + f.length, 0);
    ASSERT_EQ(EncodeField(f, c.text, record.data(), nullptr), EncodeResult::kStored) << c.text;
    EXPECT_EQ(DecodeField(f, record.data(), nullptr), c.decoded) << c.text;
  }
  std::vector<uint8_t> record(9, 0);
  EXPECT_EQ(EncodeField(Field('I', 4), "2147483648", record.data(), nullptr), EncodeResult::kOverflow);
  EXPECT_EQ(EncodeField(Field('T', 8), "2004-13-01", record.data(), nullptr), EncodeResult::kInvalid);
}

TEST(VisualFoxProFields, VarcharKeepsItsLengthInTheLastByteAndTheNullFlags) {
  FieldDescriptor f = Field('V', 6);
  f.varlength_bit = 3;
  std::vector<uint8_t> record(7, 0);
  uint8_t flags = 0;
  EncodeField(f, "abc", record.data(), &flags);
  EXPECT_EQ(record[6], 3);
  EXPECT_EQ(flags, 0x08);
  EXPECT_EQ(DecodeField(f, record.data(), &flags), "abc");
  EncodeField(f, "abcdef", record.data(), &flags);
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(DecodeField(f, record.data(), &flags), "abcdef");
}

TEST(MemoPointers, AreDigitsOrBinaryByFieldWidth) {
  FieldDescriptor text = Field('M', 10);
  std::vector<uint8_t> record(11, 0);
  PutMemoBlock(text, record.data(), 17);
  EXPECT_EQ(std::string(record.begin() + 1, record.end()), "        17");
  EXPECT_EQ(MemoBlockOf(text, record.data()), 17u);
  PutMemoBlock(text, record.data(), 0);
  EXPECT_EQ(MemoBlockOf(text, record.data()), 0u);
  std::memcpy(record.data() + 1, "12x4567890", 10);
  EXPECT_EQ(MemoBlockOf(text, record.data()), 0u);  // garbage is no block

  FieldDescriptor binary = Field('M', 4);
  PutMemoBlock(binary, record.data(), 0x01020304);
  EXPECT_EQ(record[1], 0x04);
  EXPECT_EQ(MemoBlockOf(binary, record.data()), 0x01020304u);
}
