// How a row is named in SQL: which machine values a file name can hold, and
// which values go into the text as numbers and which only as parameters.
#include <gtest/gtest.h>

#include "app/RowKey.h"

using namespace tidewell;

TEST(RowKey, OnlyWholeNumbersWithinIntNameAMachine) {
  int m = -1;
  EXPECT_TRUE(MachineNumber("7", false, m));
  EXPECT_EQ(m, 7);
  EXPECT_TRUE(MachineNumber("7.00", false, m));  // a DECIMAL column's whole number
  EXPECT_EQ(m, 7);
  EXPECT_TRUE(MachineNumber("-3", true, m));
  EXPECT_EQ(m, -3);
  EXPECT_TRUE(MachineNumber("0012", true, m));
  EXPECT_EQ(m, 12);
  EXPECT_TRUE(MachineNumber("2147483647", false, m));
  EXPECT_EQ(m, 2147483647);
  for (const char* bad : {"7.5", "2147483648", "99999999999", "-2147483649", "seven", "", " 7", "7 ", "1e3", "-"})
    EXPECT_FALSE(MachineNumber(bad, false, m)) << bad;
  EXPECT_FALSE(MachineNumber("7.00", true, m)) << "a text column's 7.00 is no machine 7";
}

TEST(RowKey, NothingReadFromARowGoesIntoTheTextUnlessItIsAPlainNumberOfANumericColumn) {
  TRowKey key;
  key.Machine = 7;
  key.MachineNull = false;
  key.MachineValue = "7";
  key.RecNum = "1234";
  EXPECT_EQ(key.Condition(), "machine=7 and rec_num=1234");
  EXPECT_TRUE(key.Params().empty());

  key.RecNum = "2 or 1=1";  // a numeric column can still hold text in SQLite
  EXPECT_EQ(key.Condition(), "machine=7 and rec_num=?");
  EXPECT_EQ(key.Params(), std::vector<std::string>{"2 or 1=1"});

  key.RecNum = "12";
  key.RecNumIsText = true;  // a text column: never compared with a bare number
  EXPECT_EQ(key.Condition(), "machine=7 and rec_num=?");
  EXPECT_EQ(key.Params(), std::vector<std::string>{"12"});

  key.Machine = 0;  // machine 0 also names the NULL machines of the 00 file
  key.MachineValue = "0";
  key.RecNumIsText = false;
  EXPECT_EQ(key.Condition(), "(machine=0 or machine is null) and rec_num=12");

  key.MachineIsText = true;
  key.MachineValue = "00";
  EXPECT_EQ(key.Condition(), "(machine=? or machine is null) and rec_num=12");
  EXPECT_EQ(key.Params(), std::vector<std::string>{"00"});

  key.MachineNull = true;
  key.MachineValue.clear();
  key.RecNum = "it's\\";
  key.RecNumIsText = true;
  EXPECT_EQ(key.Condition(), "machine is null and rec_num=?");
  EXPECT_EQ(key.Params(), std::vector<std::string>{"it's\\"});
}
