#include "dbf/mycbase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <unistd.h>

#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::ReadCrLfLines;
using tidewell::test::TTempDir;

namespace {

FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0, 0}, {"OK", 'L', 1, 0, 0}, {"NOTE", 'M', 10, 0, 0}, {nullptr, 0, 0, 0, 0},
};

// A conversion run's setting: MainLog in a scratch folder, a CodeHandle set
// up as the conversion sets it up, and the current directory in the folder.
class DbfHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(tmp.Path());
    MainLog = std::make_unique<TMessLog>(tmp.File("test.log"), true, false, false, true);
    code = code4initP();
    code4singleOpen(code, 0);
    code4safety(code, 0);
    code4errFieldName(code, 0);
  }
  void TearDown() override {
    code4close(code);
    code4initUndoP(code);
    MainLog.reset();
    std::filesystem::current_path(old_dir_);
  }
  // The texts of the log lines so far, without time stamps.
  std::vector<std::string> LogTexts() {
    MainLog->Flush();
    std::vector<std::string> texts;
    for (const auto& line : ReadCrLfLines(tmp.File("test.log")))
      if (line.size() > 24) texts.push_back(line.substr(24));
    // The file starts with its header line and "Start Log".
    auto start = std::find(texts.begin(), texts.end(), "Start Log");
    if (start != texts.end()) texts.erase(texts.begin(), start + 1);
    return texts;
  }
  void MakeTable(const std::string& path) {
    ASSERT_TRUE(d4create(code, path.c_str(), kFields, nullptr));
  }

  TTempDir tmp;
  CodeHandle code = nullptr;
  std::filesystem::path old_dir_;
};

}  // namespace

TEST_F(DbfHelpers, OpenDbfCompletesABareNameFromTheCurrentDirectory) {
  MakeTable(tmp.File("data.dbf"));
  DbfHandle d = OpenDbf(code, "  data \t", "");
  ASSERT_TRUE(d);
  EXPECT_TRUE(LogTexts().empty());
  // A name with another extension keeps it.
  std::filesystem::copy_file(tmp.File("data.dbf"), tmp.File("data.tab"));
  std::filesystem::copy_file(tmp.File("data.dbt"), tmp.File("data.dbt.bak"));
  EXPECT_TRUE(OpenDbf(code, tmp.File("data.tab"), ""));
  // A tag that does not exist selects no order and costs nothing.
  EXPECT_TRUE(OpenDbf(code, tmp.File("data"), "BYNAME"));
}

TEST_F(DbfHelpers, OpenDbfLogsAMissingFileWithoutRetrying) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(OpenDbf(code, "missing", ""));
  // Retrying would cost 21 pauses of 100 ms; the bound leaves room for a
  // busy machine under the sanitizers.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  std::string expected = "File " + tmp.File("missing.dbf") + " NOT FOUND!";
  EXPECT_EQ(LogTexts(), std::vector<std::string>{expected});
}

TEST_F(DbfHelpers, AFileThatDoesNotOpenCostsTwentyOneAttemptsAndRestoresTheSetting) {
  tidewell::test::WriteFile(tmp.File("broken.dbf"), "not a table at all, only text");
  code4errOpen(code, 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(OpenDbf(code, tmp.File("broken.dbf"), ""));
  auto elapsed = std::chrono::steady_clock::now() - start;
  // 21 attempts with a 100 ms pause each; the upper bound (twice that) is
  // loose enough for a busy machine under the sanitizers and still catches a
  // loop that retries without end or twice over.
  EXPECT_GE(elapsed, std::chrono::milliseconds(21 * 100));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2 * 21 * 100));
  EXPECT_EQ(code4errOpen(code, 1), 1);
  // The damage itself is logged once, not once per attempt.
  auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("broken.dbf"), std::string::npos) << texts[0];
}

TEST_F(DbfHelpers, CreateDbfLikeCopiesTheTemplatesFieldsOrCreatesNothing) {
  MakeTable(tmp.File("gstru.dbf"));
  CreateDbfLike(code, tmp.File("gstru.dbf"), tmp.File("03050407.dbf"));
  DbfHandle d = OpenDbf(code, tmp.File("03050407.dbf"), "");
  ASSERT_TRUE(d);
  FIELD4INFO* fields = d4fieldInfo(d);
  ASSERT_TRUE(fields);
  EXPECT_STREQ(fields[0].name, "NAME");
  EXPECT_STREQ(fields[2].name, "NOTE");
  EXPECT_EQ(fields[3].name, nullptr);
  u4freeDefault(fields);
  EXPECT_TRUE(LogTexts().empty());

  EXPECT_FALSE(CreateDbfLike(code, tmp.File("astru.dbf"), tmp.File("other.dbf")));
  EXPECT_FALSE(std::filesystem::exists(tmp.File("other.dbf")));
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"File " + tmp.File("astru.dbf") + " NOT FOUND!"});
}

// A template is only read: not one byte of it changes, however it ends (no
// end-of-file byte, as some programs leave it; bytes after the last
// record), and the files made from it are whole.
TEST_F(DbfHelpers, CreateDbfLikeNeverWritesToItsTemplate) {
  MakeTable(tmp.File("plain.dbf"));
  const std::string made = tidewell::test::ReadFile(tmp.File("plain.dbf"));
  ASSERT_EQ(made.back(), '\x1a');
  for (const std::string& ending : {std::string(), std::string("\x1a" "abcde")}) {
    SCOPED_TRACE(ending.size());
    const std::string bytes = made.substr(0, made.size() - 1) + ending;
    tidewell::test::WriteFile(tmp.File("gstru.dbf"), bytes);
    // (Removed first: MinGW's copy_file does not overwrite.)
    std::filesystem::remove(tmp.File("gstru.dbt"));
    std::filesystem::copy_file(tmp.File("plain.dbt"), tmp.File("gstru.dbt"));
    const std::string memo = tidewell::test::ReadFile(tmp.File("gstru.dbt"));
    std::filesystem::remove(tmp.File("new.dbf"));
    EXPECT_TRUE(CreateDbfLike(code, tmp.File("gstru.dbf"), tmp.File("new.dbf")));
    EXPECT_EQ(tidewell::test::ReadFile(tmp.File("gstru.dbf")), bytes);
    EXPECT_EQ(tidewell::test::ReadFile(tmp.File("gstru.dbt")), memo);
    DbfHandle d = OpenDbf(code, tmp.File("new.dbf"), "");
    ASSERT_TRUE(d);
    EXPECT_EQ(d4recCount(d), 0);
    d4close(d);
  }
  // Opening the template for writing would have mended it: the test above
  // would see a change.
  DbfHandle writable = OpenDbf(code, tmp.File("gstru.dbf"), "");
  ASSERT_TRUE(writable);
  d4close(writable);
  EXPECT_NE(tidewell::test::ReadFile(tmp.File("gstru.dbf")), made.substr(0, made.size() - 1) + "\x1a" "abcde");
}

TEST_F(DbfHelpers, AssignDbfFieldStoresMemosAndOrdinaryFieldsAndIgnoresUnknownNames) {
  MakeTable(tmp.File("a.dbf"));
  DbfHandle d = OpenDbf(code, tmp.File("a.dbf"), "");
  ASSERT_TRUE(d);
  ASSERT_EQ(d4appendBlank(d), r4success);
  AssignDbfField(d, "NAME", "Smith");
  AssignDbfField(d, "OK", "T");
  AssignDbfField(d, "NOTE", "a memo text");
  AssignDbfField(d, "NOSUCH", "x");
  d4close(d);
  d = OpenDbf(code, tmp.File("a.dbf"), "");
  ASSERT_TRUE(d);
  ASSERT_EQ(d4go(d, 1), r4success);
  EXPECT_EQ(f4str(d4field(d, "NAME")), "Smith");
  EXPECT_EQ(f4str(d4field(d, "OK")), "T");
  EXPECT_EQ(f4str(d4field(d, "NOTE")), "a memo text");
  EXPECT_TRUE(LogTexts().empty());
}

TEST(StripTrailingBackslash, RemovesOnePlatformSeparator) {
  EXPECT_EQ(StripTrailingBackslash(""), "");
  const std::string share = std::string(1, platform::PathDelim) + "srv" + platform::PathDelim + "share";
  EXPECT_EQ(StripTrailingBackslash(share + platform::PathDelim + platform::PathDelim), share + platform::PathDelim);
  EXPECT_EQ(StripTrailingBackslash(share), share);
}
