// Key expressions: what each function and operator yields, how key types
// and lengths come out, and what is refused.
#include "xbase/index/expression.h"

#include "test_table.h"

#include <gtest/gtest.h>

namespace xbase::index {
namespace {

class ExpressionTest : public ::testing::Test {
 protected:
  ExpressionTest() {
    table_.Append("Smith", 7, "20240229", -12.5, true);
    table_.Append("", -1, "", 0, false, true);
  }

  Value Eval(const std::string& text, size_t record = 0) {
    std::string problem;
    auto e = Expression::Compile(text, table_.fields(), &problem);
    EXPECT_NE(e, nullptr) << text << ": " << problem;
    if (!e) return {};
    return e->Evaluate(RawRecord(table_.fields(), table_.record(record), static_cast<uint32_t>(record + 1)));
  }
  std::string Text(const std::string& text, size_t record = 0) { return Eval(text, record).text; }
  std::string Refusal(const std::string& text) {
    std::string problem;
    auto e = Expression::Compile(text, table_.fields(), &problem);
    EXPECT_EQ(e, nullptr) << text;
    return problem;
  }

  test::TestTable table_;
};

TEST_F(ExpressionTest, FieldsAreFoundInAnyCaseAndThroughAnAlias) {
  EXPECT_EQ(Text("name"), "Smith               ");
  EXPECT_EQ(Text("a->NaMe"), Text("NAME"));
  EXPECT_EQ(Eval("machine").number, 7);
  EXPECT_EQ(Eval("AMOUNT").number, -12.5);
  EXPECT_TRUE(Eval("OK").logical);
  EXPECT_EQ(Eval("DAT_E").type, ValueType::kDate);
}

TEST_F(ExpressionTest, CompoundKeysOfDateAndNumberHaveFixedWidth) {
  EXPECT_EQ(Text("DTOS(DAT_E)+STR(MACHINE,3)"), "20240229  7");
  EXPECT_EQ(Text("DTOS(DAT_E)+STR(MACHINE,3)", 1), "          0");  // a blank number is zero
  EXPECT_EQ(Text("UPPER(NAME)"), "SMITH               ");
  EXPECT_EQ(Text("LOWER(LEFT(NAME,3))"), "smi");
}

TEST_F(ExpressionTest, StrFollowsXbaseWidthsRoundingAndOverflow) {
  EXPECT_EQ(Text("STR(MACHINE)"), "         7");  // default width 10
  EXPECT_EQ(Text("STR(AMOUNT,8,2)"), "  -12.50");
  EXPECT_EQ(Text("STR(2.5,3)"), "  3");  // halves round away from zero
  EXPECT_EQ(Text("STR(1.005,4,2)"), "1.01");
  EXPECT_EQ(Text("STR(AMOUNT,5,2)"), "-12.5");  // decimals go before the number overflows
  EXPECT_EQ(Text("STR(123456,3)"), "***");
  EXPECT_EQ(Text("STRZERO(MACHINE,4)"), "0007");
}

TEST_F(ExpressionTest, TextFunctions) {
  EXPECT_EQ(Text("SUBSTR(NAME,2,3)"), "mit");
  EXPECT_EQ(Text("SUBS(NAME,4)"), "th" + std::string(15, ' '));  // four-letter abbreviation
  EXPECT_EQ(Text("SUBSTR(NAME,30,2)"), "");
  EXPECT_EQ(Text("RIGHT(TRIM(NAME),2)"), "th");
  EXPECT_EQ(Text("ALLTRIM('  a b  ')"), "a b");
  EXPECT_EQ(Text("LTRIM('  a ')"), "a ");
  EXPECT_EQ(Text("PADL(TRIM(NAME),7,'*')"), "**Smith");
  EXPECT_EQ(Text("PADR('ab',4)"), "ab  ");
  EXPECT_EQ(Text("PADL('abcdef',3)"), "def");
  EXPECT_EQ(Text("TRIM(NAME)-'x'"), "Smithx");
  EXPECT_EQ(Text("'ab  '-'cd'"), "abcd  ");  // trailing blanks move to the end
  EXPECT_EQ(Text("IIF(OK,'yes','no ')"), "yes");
  EXPECT_EQ(Text("IIF(OK,'yes','no ')", 1), "no ");
  EXPECT_EQ(Text("REPLICATE('-',3)+SPACE(2)"), "---  ");
  EXPECT_EQ(Eval("VAL('  42.5xyz')").number, 42.5);
  EXPECT_EQ(Eval("LEN(TRIM(NAME))").number, 5);
  EXPECT_EQ(Eval("AT('it',NAME)").number, 3);
}

TEST_F(ExpressionTest, DatesConvertBothWays) {
  EXPECT_EQ(Text("DTOC(DAT_E)"), "02/29/24");
  EXPECT_EQ(Text("DTOC(DAT_E,1)"), "20240229");
  EXPECT_EQ(Text("DTOS(CTOD('12/31/1999'))"), "19991231");
  EXPECT_EQ(Text("DTOS(CTOD('02/30/2001'))"), "        ");  // not a date
  EXPECT_EQ(Text("DTOS(DAT_E+1)"), "20240301");
  EXPECT_EQ(Eval("DAT_E-CTOD('01/01/2024')").number, 59);
  EXPECT_EQ(Eval("YEAR(DAT_E)*100+MONTH(DAT_E)").number, 202402);
  EXPECT_EQ(Text("DTOS(DAT_E)", 1), "        ");
  EXPECT_EQ(JulianDay(2000, 1, 1), 2451545);
  EXPECT_EQ(JulianFromDtos("20230229"), 0);
}

// Numbers far beyond any day (found by fuzzing: converting them to an
// integer day was undefined) give no date rather than garbage.
TEST_F(ExpressionTest, DateFunctionsOfNumbersBeyondAnyDayGiveNoDate) {
  for (const char* huge : {"88888888888888888888888888888888888888888888888", "-88888888888888888888888888888888888888888888888",
                           "5373485", "2^80"}) {
    const std::string n(huge);
    const std::string day = "CTOD(\"01/01/2000\") + " + n;
    EXPECT_EQ(Eval("YEAR(" + day + ")").number, 0) << n;
    EXPECT_EQ(Eval("MONTH(" + day + ")").number, 0) << n;
    EXPECT_EQ(Eval("DAY(" + day + ")").number, 0) << n;
    EXPECT_EQ(Text("DTOS(CTOD(\"01/01/2000\") + " + n + ")"), "        ") << n;
    EXPECT_EQ(Eval("LEN(CHR(" + n + "))").number, 1) << n;
  }
  EXPECT_EQ(Eval("YEAR(CTOD(\"12/31/9999\"))").number, 9999);
}

TEST_F(ExpressionTest, ConditionsForFilters) {
  EXPECT_TRUE(Eval("NAME = 'Sm'").logical);  // EXACT off: prefix match
  EXPECT_FALSE(Eval("NAME == 'Sm'").logical);
  EXPECT_TRUE(Eval("NAME == 'Smith'").logical);
  EXPECT_TRUE(Eval("MACHINE > 5 .AND. .NOT. DELETED()").logical);
  EXPECT_TRUE(Eval("DELETED()", 1).logical);
  EXPECT_TRUE(Eval("!OK .OR. AMOUNT < 0").logical);
  EXPECT_TRUE(Eval("'mit' $ NAME").logical);
  EXPECT_TRUE(Eval("MACHINE <> 8 .and. MACHINE # 9 .and. MACHINE != 10").logical);
  EXPECT_TRUE(Eval("EMPTY(DAT_E)", 1).logical);
  EXPECT_TRUE(Eval("BETWEEN(MACHINE, 1, 7)").logical);
  EXPECT_EQ(Eval("RECNO()", 1).number, 2);
  EXPECT_EQ(Eval("2+3*4^2-10/4").number, 2 + 3 * 16 - 2.5);
  EXPECT_EQ(Eval("-MACHINE % 5").number, 3);  // modulus takes the divisor's sign
}

TEST_F(ExpressionTest, RefusesWhatItCannotEvaluateFaithfully) {
  EXPECT_NE(Refusal("SOUNDEX(NAME)").find("unknown function SOUNDEX"), std::string::npos);
  EXPECT_NE(Refusal("NOSUCH").find("unknown field"), std::string::npos);
  EXPECT_NE(Refusal("NAME+MACHINE").find("can't add"), std::string::npos);
  EXPECT_NE(Refusal("STR(NAME)").find("STR() argument 1"), std::string::npos);
  EXPECT_NE(Refusal("SUBSTR(NAME)").find("takes 2 to 3"), std::string::npos);
  EXPECT_NE(Refusal("IIF(OK,'a',1)").find("branches"), std::string::npos);
  EXPECT_NE(Refusal("UPPER(NAME").find("missing )"), std::string::npos);
  EXPECT_NE(Refusal("m.x+NAME").find("memory variable"), std::string::npos);
  EXPECT_FALSE(Refusal("").empty());
  EXPECT_FALSE(Refusal("'open").empty());
  EXPECT_FALSE(Refusal(std::string(200, '(') + "1" + std::string(200, ')')).empty());  // nesting bound
}

TEST_F(ExpressionTest, MemoAndNullableFieldsCannotBeKeys) {
  std::vector<FieldInfo> fields = {{"NOTES", 'M', 1, 10, 0, false}, {"MAYBE", 'C', 11, 5, 0, true}};
  std::string problem;
  EXPECT_EQ(Expression::Compile("NOTES", fields, &problem), nullptr);
  EXPECT_NE(problem.find("type M"), std::string::npos);
  EXPECT_EQ(Expression::Compile("UPPER(MAYBE)", fields, &problem), nullptr);
  EXPECT_NE(problem.find("MAYBE accepts nulls"), std::string::npos);
}

}  // namespace
}  // namespace xbase::index
