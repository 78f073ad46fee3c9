#include "dbf/CodeBase.h"

#include "library_fixture.h"
#include "scratch_dir.h"
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 6, 1, 0}, {"DAT", 'D', 8, 0, 0}, {"NOTE", 'M', 10, 0, 0},
    {nullptr, 0, 0, 0, 0},
};

}  // namespace

TEST(CodeBaseCreate, FromPlainFieldDescriptionsGivesADbaseThreeTable) {
  ScratchDir dir;
  Reports reports;
  Code code;
  std::string path = dir / "plain.dbf";
  ASSERT_TRUE(d4create(code.h, path.c_str(), kFields, nullptr));
  auto bytes = ReadBytes(path);
  ASSERT_GT(bytes.size(), 32u);
  EXPECT_EQ(bytes[0], 0x83);  // dBASE III with a memo file
  EXPECT_TRUE(std::filesystem::exists(dir / "plain.dbt"));
  EXPECT_TRUE(reports.lines.empty());
}

TEST(CodeBaseCreate, LikeATemplateFollowsTheTemplateUnlessTheFieldsWereChanged) {
  ScratchDir dir;
  Reports reports;
  Code code;
  std::string tpl = dir / "tpl.dbf";
  ASSERT_TRUE(d4create(code.h, tpl.c_str(), kFields, nullptr));
  // Give the template another flavour and code page by hand.
  auto bytes = ReadBytes(tpl);
  bytes[0] = 0x8B;
  bytes[29] = 0x02;
  WriteBytes(tpl, bytes);
  std::filesystem::rename(dir / "tpl.dbt", dir / "TPL.DBT");
  auto memo = ReadBytes(dir / "TPL.DBT");
  memo[20] = 0x00;  // dBASE IV block size 512, little-endian
  memo[21] = 0x02;
  WriteBytes(dir / "TPL.DBT", memo);

  DbfHandle t = d4open(code.h, tpl.c_str());
  ASSERT_TRUE(t);
  FIELD4INFO* fields = d4fieldInfo(t);
  ASSERT_TRUE(fields);
  EXPECT_STREQ(fields[3].name, "NOTE");
  EXPECT_EQ(fields[3].type, 'M');
  EXPECT_EQ(fields[4].name, nullptr);
  ASSERT_TRUE(d4create(code.h, (dir / "like.dbf").c_str(), fields, nullptr));
  // The array is known by what it holds, not where it lies: a copy of it
  // describes the same table.
  const std::vector<std::string> names{"NOTE", "QTY", "DAT", "NAME"};
  std::vector<FIELD4INFO> copy(fields, fields + 5);
  for (size_t k = 0; k < 4; ++k) copy[k].name = std::find(names.begin(), names.end(), fields[k].name)->c_str();
  ASSERT_TRUE(d4create(code.h, (dir / "copy.dbf").c_str(), copy.data(), nullptr));
  fields[0].len = 12;  // a caller that changes the array gets what it asked for
  ASSERT_TRUE(d4create(code.h, (dir / "changed.dbf").c_str(), fields, nullptr));
  u4freeDefault(fields);
  // Once freed, the array describes no table any more: only its fields count.
  ASSERT_TRUE(d4create(code.h, (dir / "freed.dbf").c_str(), copy.data(), nullptr));
  d4close(t);

  auto like = ReadBytes(dir / "like.dbf");
  EXPECT_EQ(like[0], 0x8B);
  EXPECT_EQ(like[29], 0x02);
  EXPECT_EQ(ReadBytes(dir / "like.dbt")[21], 0x02);
  EXPECT_EQ(ReadBytes(dir / "copy.dbf")[0], 0x8B);
  auto changed = ReadBytes(dir / "changed.dbf");
  EXPECT_EQ(changed[0], 0x83);
  EXPECT_EQ(ReadBytes(dir / "freed.dbf")[0], 0x83);
  EXPECT_EQ(changed[32 + 16], 12);
  EXPECT_TRUE(reports.lines.empty()) << reports.lines[0];
}

TEST(CodeBaseCreate, HonoursTheSafetySetting) {
  ScratchDir dir;
  Reports reports;
  Code code;
  std::string path = dir / "a.dbf";
  ASSERT_TRUE(d4create(code.h, path.c_str(), kFields, nullptr));
  EXPECT_EQ(code4safety(code.h, 1), 0);
  EXPECT_FALSE(d4create(code.h, path.c_str(), kFields, nullptr));
  EXPECT_EQ(code4safety(code.h, 0), 1);
  EXPECT_TRUE(d4create(code.h, path.c_str(), kFields, nullptr));
}

TEST(CodeBaseAppend, EachRecordKeepsItsValuesAndRecordNumbersCountFromOne) {
  ScratchDir dir;
  Reports reports;
  std::string path = dir / "a.dbf";
  {
    Code code;
    DbfHandle created = d4create(code.h, path.c_str(), kFields, nullptr);
    ASSERT_TRUE(created);
    DbfHandle d = d4open(code.h, path.c_str());
    ASSERT_TRUE(d);
    for (int i = 1; i <= 3; ++i) {
      ASSERT_EQ(d4appendBlank(d), r4success);
      EXPECT_EQ(d4recNo(d), i);
      f4assign(d4field(d, "name"), ("row " + std::to_string(i)).c_str());
      f4assign(d4field(d, "QTY"), "2.25");
      FieldHandle note = d4field(d, "NOTE");
      ASSERT_EQ(f4type(note), 77);
      f4memoAssign(note, ("memo " + std::to_string(i)).c_str());
    }
    // No d4close: code4close must write the last record too.
  }
  Code code;
  DbfHandle d = d4open(code.h, path.c_str());
  ASSERT_TRUE(d);
  ASSERT_EQ(d4recCount(d), 3);
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(d4go(d, i), r4success);
    EXPECT_EQ(f4str(d4field(d, "NAME")), "row " + std::to_string(i));
    EXPECT_EQ(f4str(d4field(d, "QTY")), "2.3");  // N(6,1)
    EXPECT_EQ(f4str(d4field(d, "NOTE")), "memo " + std::to_string(i));
  }
  EXPECT_TRUE(reports.lines.empty()) << reports.lines[0];
}

TEST(CodeBaseSettings, FieldNameErrorsAreReportedOnlyWhenSwitchedOn) {
  ScratchDir dir;
  Reports reports;
  Code code;
  DbfHandle d = d4create(code.h, (dir / "a.dbf").c_str(), kFields, nullptr);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d4field(d, "MISSING"));
  EXPECT_TRUE(reports.lines.empty());
  EXPECT_EQ(code4errFieldName(code.h, 1), 0);
  EXPECT_FALSE(d4field(d, "MISSING"));
  EXPECT_EQ(reports.lines.size(), 1u);
}

TEST(CodeBaseSettings, OpenErrorsAreSilentWhenSwitchedOffButDamageIsReportedOnce) {
  ScratchDir dir;
  Reports reports;
  Code code;
  EXPECT_EQ(code4errOpen(code.h, 0), 1);
  EXPECT_FALSE(d4open(code.h, (dir / "missing.dbf").c_str()));
  EXPECT_TRUE(reports.lines.empty());
  EXPECT_EQ(code4errOpen(code.h, 1), 0);
  EXPECT_FALSE(d4open(code.h, (dir / "missing.dbf").c_str()));
  EXPECT_EQ(reports.lines.size(), 1u);

  // A damaged file tried again and again, as a retrying caller does.
  WriteBytes(dir / "bad.dbf", {0x03, 1, 1, 1, 9, 0, 0, 0});
  code4errOpen(code.h, 0);
  for (int i = 0; i < 21; ++i) EXPECT_FALSE(d4open(code.h, (dir / "bad.dbf").c_str()));
  EXPECT_EQ(reports.lines.size(), 2u);
}

TEST(CodeBaseSettings, SingleOpenRefusesASecondHandleOnOneFile) {
  ScratchDir dir;
  Reports reports;
  Code code;
  std::string path = dir / "a.dbf";
  ASSERT_TRUE(d4create(code.h, path.c_str(), kFields, nullptr));
  code4singleOpen(code.h, 1);
  DbfHandle first = d4open(code.h, path.c_str());
  ASSERT_TRUE(first);
  EXPECT_FALSE(d4open(code.h, path.c_str()));
  code4singleOpen(code.h, 0);
  EXPECT_TRUE(d4open(code.h, path.c_str()));
}

TEST(CodeBaseIndexes, ATableWithoutTagsHasNoneAndATagTheEngineCantKeepIsLeftOutSaying) {
  ScratchDir dir;
  Reports reports;
  Code code;
  DbfHandle d = d4create(code.h, (dir / "a.dbf").c_str(), kFields, nullptr);
  ASSERT_TRUE(d);
  IndexHandle index = d4index(d, nullptr);
  EXPECT_FALSE(index);
  EXPECT_FALSE(i4tagInfo(index));
  EXPECT_FALSE(d4tag(d, "ANY"));
  d4tagSelectP(d, nullptr);
  TAG4INFO tags[] = {{"BYNAME", "NAME", nullptr, 0, 0},
                     {"SOUNDS", "SOUNDEX(NAME)", nullptr, 0, 0},
                     {nullptr, nullptr, nullptr, 0, 0}};
  ASSERT_TRUE(d4create(code.h, (dir / "b.dbf").c_str(), kFields, tags));
  ASSERT_EQ(reports.lines.size(), 1u);
  EXPECT_NE(reports.lines[0].find("SOUNDS"), std::string::npos) << reports.lines[0];
  EXPECT_NE(reports.lines[0].find("SOUNDEX(NAME)"), std::string::npos) << reports.lines[0];
  EXPECT_EQ(ReadBytes(dir / "b.dbf")[28], 0);  // a table programs open without an index
  EXPECT_FALSE(std::filesystem::exists(dir / "b.mdx"));
}

// Tags a template carries go to every table made like it, and an index that
// fell behind its table (a writer that stopped before writing it) catches
// up when the table is opened again.
TEST(CodeBaseIndex, CreatedTablesCarryTheTagsAndAnIndexThatFellBehindCatchesUp) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string path = dir / "tagged.dbf";
  const TAG4INFO tags[] = {{"NAME", "UPPER(NAME)", "", 0, 0}, {"QTY", "QTY", "QTY > 0", 0, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  ASSERT_TRUE(d4create(code.h, path.c_str(), kFields, tags));
  EXPECT_TRUE(reports.lines.empty()) << reports.lines.front();
  ASSERT_TRUE(std::filesystem::exists(dir / "tagged.mdx"));

  // Records appended by a writer that leaves the index alone.
  {
    xbase::TableOptions options;
    auto table = xbase::Table::Open(path, options);
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(table->AppendBlank());
      table->Assign(0, "name " + std::to_string(i));
      table->Assign(1, std::to_string(i));
    }
    ASSERT_TRUE(table->Close());
  }
  std::ostringstream before;
  EXPECT_GT(tidewell::tools::CheckDbf(path, before), 0) << "the index should miss the three records";

  DbfHandle data = d4open(code.h, path.c_str());
  ASSERT_NE(data, nullptr);
  EXPECT_NE(d4tag(data, "qty"), nullptr);
  EXPECT_EQ(d4tag(data, "nosuch"), nullptr);
  ASSERT_EQ(d4appendBlank(data), r4success);
  f4assign(d4field(data, "NAME"), "fourth");
  ASSERT_EQ(d4close(data), r4success);
  std::ostringstream after;
  EXPECT_EQ(tidewell::tools::CheckDbf(path, after), 0) << after.str();
  bool said = false;
  for (const auto& line : reports.lines) said = said || line.find("records 1 to 3 were missing") != std::string::npos;
  EXPECT_TRUE(said);
}
