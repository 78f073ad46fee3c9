#include <gtest/gtest.h>

#include "platform/IniFile.h"
#include "tests/support/TempDir.h"

using platform::TIniFile;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;

TEST(IniFileReading, NamesMatchWithoutRegardToCaseAndBlanksAroundNamesAndValuesGo) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"), "[MySQL]\r\n  Host = db1 \r\nDATABASE=marrowby\r\n[ mysql2 ]\nuser=x\n");
  TIniFile ini(tmp.File("a.ini"));
  EXPECT_EQ(ini.ReadString("mysql", "HOST", "d"), "db1");
  EXPECT_EQ(ini.ReadString("MYSQL", "DataBase", "d"), "marrowby");
  EXPECT_EQ(ini.ReadString("MySQL2", "User", "d"), "x");
}

TEST(IniFileReading, MissingFileSectionOrKeyGivesTheDefaultButAnEmptyValueDoesNot) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"), "[MySQL]\nKey=\nHost=h\n");
  EXPECT_EQ(TIniFile(tmp.File("none.ini")).ReadString("MySQL", "Host", "dflt"), "dflt");
  TIniFile ini(tmp.File("a.ini"));
  EXPECT_EQ(ini.ReadString("Other", "Host", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("MySQL", "User", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("MySQL", "Key", "dflt"), "");
}

TEST(IniFileReading, ValuesAreKeptAsWrittenExceptOneEnclosingPairOfQuotes) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"),
            "[S]\nCustom=SERVER=10.0.0.5;PORT=3307\nQ=\"a b\"\nS='x'\nHalf=\"open\nSemi=a ; b\n; Host=commented\n");
  TIniFile ini(tmp.File("a.ini"));
  EXPECT_EQ(ini.ReadString("S", "Custom", ""), "SERVER=10.0.0.5;PORT=3307");
  EXPECT_EQ(ini.ReadString("S", "Q", ""), "a b");
  EXPECT_EQ(ini.ReadString("S", "S", ""), "x");
  EXPECT_EQ(ini.ReadString("S", "Half", ""), "\"open");
  EXPECT_EQ(ini.ReadString("S", "Semi", ""), "a ; b");
}

TEST(IniFileReading, ValueIsCutAt2047Characters) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"), "[S]\nLong=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(TIniFile(tmp.File("a.ini")).ReadString("S", "Long", ""), std::string(2047, 'v'));
}

TEST(IniFileReading, FirstOccurrenceWinsAndSectionKeysComeInFileOrder) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"), "Orphan=1\n[ODBC]\nDRIVER=one\nserver=s\nDriver=two\n[x]\ny=1\n");
  TIniFile ini(tmp.File("a.ini"));
  EXPECT_EQ(ini.ReadString("ODBC", "driver", ""), "one");
  EXPECT_EQ(ini.ReadSection("odbc"), (std::vector<std::string>{"DRIVER", "server"}));
  EXPECT_TRUE(ini.ReadSection("missing").empty());
  EXPECT_TRUE(TIniFile(tmp.File("none.ini")).ReadSection("ODBC").empty());
}

TEST(IniFileReading, FileIsReadAfreshOnEveryCall) {
  TTempDir tmp;
  TIniFile ini(tmp.File("a.ini"));
  WriteFile(tmp.File("a.ini"), "[S]\nk=1\n");
  EXPECT_EQ(ini.ReadString("S", "k", ""), "1");
  WriteFile(tmp.File("a.ini"), "[S]\nk=2\n");
  EXPECT_EQ(ini.ReadString("S", "k", ""), "2");
}

// Our own reader's choices where the system reader on Windows has its own:
// there a ";" line is an ordinary key and a bare name is no key at all.
TEST(IniFileOwnReader, CommentLinesAreSkippedAndABareNameIsAKeyWithAnEmptyValue) {
  TTempDir tmp;
  WriteFile(tmp.File("a.ini"), "[S]\n; Host=commented\nFLAG\nx=1\n");
  TIniFile ini(tmp.File("a.ini"));
  EXPECT_EQ(ini.ReadString("S", "; Host", "none"), "none");
  EXPECT_EQ(ini.ReadString("S", "FLAG", "d"), "");
  EXPECT_EQ(ini.ReadSection("S"), (std::vector<std::string>{"FLAG", "x"}));
}
