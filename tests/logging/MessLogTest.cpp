#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "common/DateTime.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"

using namespace tidewell;
using tidewell::test::ReadCrLfLines;
using tidewell::test::ReadFile;
using tidewell::test::TTempDir;
using tidewell::test::TTestClock;

namespace {

// Tuesday 8 December 2026, 10:11:12.345
const TDateTime Tuesday = EncodeDate(2026, 12, 8) + EncodeTime(10, 11, 12, 345);

std::string Header() { return std::string(21, '.') + " - " + platform::ExecutablePath() + "   Version - 1.0.0.0"; }

// The text of a log line, without its time stamp.
std::string TextOf(const std::string& line) { return line.size() > 24 ? line.substr(24) : "<" + line + ">"; }

// The lines of a new file after its header line.
std::vector<std::string> Body(std::vector<std::string> lines) {
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_EQ(lines[0], Header());
  lines.erase(lines.begin());
  return lines;
}

}  // namespace

TEST(MessLogFiles, DailyModeWritesTheWeekdayFileWithHeaderStampsAndEndLine) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  {
    TMessLog log(tmp.File("log/tidewell.log"), true, true, false, false);
    EXPECT_EQ(log.CurrentFileName(), tmp.File("log/tidewell3.log"));
    log.Flush("Starting scan of SQL tables...");
    log.Add("buffered");
  }
  const auto lines = ReadCrLfLines(tmp.File("log/tidewell3.log"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "10:11:12.345 08/12/26 - Start Log");
  EXPECT_EQ(TextOf(lines[2]), "Starting scan of SQL tables...");
  EXPECT_EQ(TextOf(lines[3]), "buffered");
  EXPECT_EQ(TextOf(lines[4]), "End Log");
  const std::string raw = ReadFile(tmp.File("log/tidewell3.log"));
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
}

TEST(MessLogFiles, NothingToWriteTouchesNoFile) {
  TTempDir tmp;
  {
    TMessLog log(tmp.File("quiet.log"), "", false, false, false, false);
    log.Flush("");
  }
  EXPECT_FALSE(platform::FileExists(tmp.File("quiet.log")));  // no start text: no Start/End Log either
}

TEST(MessLogFiles, ASecondRunOnTheSameDayAppendsAfterANewHeader) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  { TMessLog(tmp.File("t.log"), true, true, false, false).Flush("first"); }
  { TMessLog(tmp.File("t.log"), true, true, false, false).Flush("second"); }
  const auto lines = ReadCrLfLines(tmp.File("t3.log"));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(TextOf(lines[2]), "first");
  EXPECT_EQ(lines[4], Header());
  EXPECT_EQ(TextOf(lines[6]), "second");
}

TEST(MessLogFiles, SingleFileModeWithDeleteOldStartsEmptyAndDayOfMonthNumbersByDate) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  test::WriteFile(tmp.File("single.log"), "old content\r\n");
  { TMessLog(tmp.File("single.log"), "", true, false, false, true).Flush("new"); }
  const auto lines = ReadCrLfLines(tmp.File("single.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(TextOf(lines[1]), "new");

  TMessLog monthly(tmp.File("m.log"), "", false, true, true, true);
  EXPECT_EQ(monthly.CurrentFileName(), tmp.File("m8.log"));
}

TEST(MessLogFiles, EmptyNameMeansMessagesLogInTheCurrentFolder) {
  TMessLog log("", "", false, false, false, true);
  EXPECT_EQ(log.FileName(), platform::GetCurrentDir() + platform::PathDelim + "Messages.log");
}

TEST(MessLogRotation, AWeekdayChangeMovesToThatDaysFileAndStartsItAfresh) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  // Last week's Wednesday file, last written a week ago.
  test::WriteFile(tmp.File("tidewell4.log"), "last week\r\n");
  std::filesystem::last_write_time(tmp.File("tidewell4.log"),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 7));
  TMessLog log(tmp.File("tidewell.log"), true, true, false, false);
  log.Flush("tuesday");
  log.Add("added before midnight");
  clock.AdvanceDays(1);
  log.Flush("wednesday");
  const auto wed = ReadCrLfLines(tmp.File("tidewell4.log"));
  ASSERT_EQ(wed.size(), 3u);
  EXPECT_EQ(wed[0], Header());
  // A line buffered before midnight lands in the file of the day it is written.
  EXPECT_EQ(TextOf(wed[1]), "added before midnight");
  EXPECT_EQ(wed[1].substr(13, 8), "08/12/26");
  EXPECT_EQ(TextOf(wed[2]), "wednesday");
  const auto tue = ReadCrLfLines(tmp.File("tidewell3.log"));
  EXPECT_EQ(TextOf(tue.back()), "tuesday");
}

TEST(MessLogBuffer, The250thLineWritesTheWholeBuffer) {
  TTempDir tmp;
  TMessLog log(tmp.File("b.log"), "", false, false, false, true);
  for (int i = 0; i < 248; ++i) ASSERT_EQ(log.Add("line " + std::to_string(i)), i);
  EXPECT_EQ(log.Add("line 248"), 248);
  EXPECT_FALSE(platform::FileExists(tmp.File("b.log")));
  EXPECT_EQ(log.Add("line 249"), -1);
  EXPECT_EQ(log.Count(), 0u);
  // A new file always starts with the header, whatever SkipHeader said.
  const auto lines = ReadCrLfLines(tmp.File("b.log"));
  ASSERT_EQ(lines.size(), 251u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(TextOf(lines[250]), "line 249");
}

TEST(MessLogBuffer, AFileThatCannotBeOpenedKeepsItsLinesInOrderUntilItCan) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  const std::string name = tmp.File("blocked.log");
  // A folder where the file should be: it can be neither created nor opened.
  std::filesystem::create_directory(name);
  TMessLog log(name, "", false, false, false, true);
  log.Add("one");
  clock.AdvanceDays(0.001);
  log.Add("two");
  log.Flush("dropped immediate text");
  EXPECT_EQ(log.Count(), 2u);
  std::filesystem::remove(name);
  log.Flush("three");
  const auto lines = Body(ReadCrLfLines(name));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "10:11:12.345 08/12/26 - one");  // stamped when added
  EXPECT_EQ(TextOf(lines[1]), "two");
  EXPECT_EQ(TextOf(lines[2]), "three");
}

TEST(MessLogBuffer, WhileTheFileCannotBeOpenedOnlyTheNewestLinesAreKeptAndTheLossIsWritten) {
  TTempDir tmp;
  const std::string name = tmp.File("blocked.log");
  std::filesystem::create_directory(name);
  TMessLog log(name, "", false, false, false, true);
  log.MaxBufferedLines = 300;
  for (int i = 0; i < 1000; ++i) log.Add("line " + std::to_string(i));
  EXPECT_EQ(log.Count(), 300u);
  std::filesystem::remove(name);
  log.Flush();
  const auto lines = Body(ReadCrLfLines(name));
  ASSERT_EQ(lines.size(), 301u);
  EXPECT_EQ(TextOf(lines[0]), "700 earlier lines were lost while the log file could not be written");
  EXPECT_EQ(TextOf(lines[1]), "line 700");
  EXPECT_EQ(TextOf(lines[300]), "line 999");
  // Said once: the next write has nothing to add.
  log.Flush("next");
  EXPECT_EQ(TextOf(ReadCrLfLines(name).back()), "next");
  EXPECT_EQ(ReadCrLfLines(name).size(), 303u);
}

TEST(MessLogBuffer, AnUnwritableFolderSendsTheLinesToStandardErrorUntilItWorksAgain) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  // A file where the log folder should be.
  tidewell::test::WriteFile(tmp.File("log"), "not a folder");
  TMessLog log(tmp.File("log/tidewell.log"), true, true, false, false);
  std::vector<std::string> outages;
  log.UseStandardError = true;
  log.OnFileUnwritable = [&outages](const std::string& file, const std::string&) { outages.push_back(file); };
  testing::internal::CaptureStderr();
  log.Flush("Starting scan of SQL tables...");
  log.Add("converting");
  log.Flush("more");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "10:11:12.345 08/12/26 - Start Log\n10:11:12.345 08/12/26 - Starting scan of SQL tables...\n"
            "10:11:12.345 08/12/26 - converting\n10:11:12.345 08/12/26 - more\n");
  EXPECT_EQ(outages, std::vector<std::string>{tmp.File("log/tidewell3.log")});  // one event per outage
  EXPECT_EQ(log.Count(), 0u);

  // The folder works again: the file takes over, headed as a new file.
  std::filesystem::remove(tmp.File("log"));
  testing::internal::CaptureStderr();
  log.Flush("back");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const auto lines = Body(ReadCrLfLines(tmp.File("log/tidewell3.log")));
  EXPECT_EQ(lines, std::vector<std::string>{"10:11:12.345 08/12/26 - back"});

  // A second outage is told again.
  std::filesystem::remove_all(tmp.File("log"));
  tidewell::test::WriteFile(tmp.File("log"), "not a folder");
  testing::internal::CaptureStderr();
  log.Flush("gone again");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(outages.size(), 2u);
}

// A full disk: the file opens, its writes fail. The lines are not lost in
// silence: they go to standard error (or stay buffered without it), the
// outage is told once with the system's reason, and the file takes over
// again once it can be written.
#ifndef _WIN32  // a file whose every write fails: /dev/full
TEST(MessLogBuffer, WritesThatFailOnAFullDiskAreAnOutageToo) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  std::filesystem::create_directory(tmp.File("log"));
  const std::string file = tmp.File("log/tidewell3.log");
  std::filesystem::create_symlink("/dev/full", file);  // every write: ENOSPC
  TMessLog log(tmp.File("log/tidewell.log"), true, true, false, false);
  std::vector<std::string> outages;
  log.UseStandardError = true;
  log.OnFileUnwritable = [&outages](const std::string& name, const std::string& reason) {
    outages.push_back(name + ": " + reason);
  };
  testing::internal::CaptureStderr();
  log.Add("converting");
  log.Flush("more");
  log.Flush("and more");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "10:11:12.345 08/12/26 - Start Log\n10:11:12.345 08/12/26 - converting\n10:11:12.345 08/12/26 - more\n"
            "10:11:12.345 08/12/26 - and more\n");
  EXPECT_EQ(outages, std::vector<std::string>{file + ": " + platform::SysErrorMessage(ENOSPC)});
  EXPECT_TRUE(log.EverUnwritable());
  EXPECT_EQ(log.Count(), 0u);

  std::filesystem::remove(file);
  testing::internal::CaptureStderr();
  log.Flush("room again");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Body(ReadCrLfLines(file)), std::vector<std::string>{"10:11:12.345 08/12/26 - room again"});

  // Without standard error the lines wait for the disk, and none is lost.
  TMessLog quiet(tmp.File("q/quiet.log"), "", false, false, false, true);
  std::filesystem::create_symlink("/dev/full", tmp.File("q/quiet.log"));
  quiet.Flush("one");
  quiet.Flush("two");
  EXPECT_EQ(quiet.Count(), 2u);
  EXPECT_TRUE(quiet.EverUnwritable());
  std::filesystem::remove(tmp.File("q/quiet.log"));
  quiet.Flush("three");
  const auto lines = Body(ReadCrLfLines(tmp.File("q/quiet.log")));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(TextOf(lines[0]), "one");
  EXPECT_EQ(TextOf(lines[2]), "three");
}
#endif

TEST(MessLogFormat, FormattedLinesAndFormattingErrorsGoStraightToTheFile) {
  TTempDir tmp;
  TMessLog log(tmp.File("f.log"), "", false, false, false, true);
  EXPECT_EQ(log.AddFmt("File %s NOT FOUND!", "/x/y.dbf"), -1);
  EXPECT_EQ(log.AddFmt("Converted %d records", "lots"), -1);
  EXPECT_EQ(log.AddFmt("mopen %s - %s", "/x/y.dbf"), -1);
  const auto lines = Body(ReadCrLfLines(tmp.File("f.log")));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(TextOf(lines[0]), "File /x/y.dbf NOT FOUND!");
  EXPECT_EQ(TextOf(lines[1]), "TMessLog Format() Exception!");
  EXPECT_EQ(TextOf(lines[2]),
            " - Format 'Converted %d records' invalid or incompatible with argument  Converted %d records");
  EXPECT_EQ(TextOf(lines[3]), "TMessLog Format() Exception!");
  EXPECT_EQ(TextOf(lines[4]), " - No argument for format 'mopen %s - %s'  mopen %s - %s");
}

// The i-th line a writer tagged `tag` logs. Built by appending: GCC 12 warns
// falsely of overlapping copies (-Wrestrict) in an optimised chain of
// std::string operator+ whose left operand is a one-character string.
static std::string WriterLine(char tag, int i) {
  std::string text(1, tag);
  text.append(std::to_string(i)).append(40, tag);
  return text;
}

TEST(MessLogThreads, TwoThreadsLoggingAtOnceLoseAndMixNothing) {
  TTempDir tmp;
  {
    TMessLog log(tmp.File("mt.log"), "", false, false, false, true);
    auto writer = [&log](char tag) {
      for (int i = 0; i < 2000; ++i) {
        const std::string text = WriterLine(tag, i);
        if (i % 97 == 0)
          log.Flush(text);
        else
          log.Add(text);
      }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
  }
  const auto lines = Body(ReadCrLfLines(tmp.File("mt.log")));
  ASSERT_EQ(lines.size(), 4000u);
  int next[2] = {0, 0};
  for (const auto& line : lines) {
    const std::string text = TextOf(line);
    const int who = text[0] == 'a' ? 0 : 1;
    ASSERT_EQ(text, WriterLine(text[0], next[who]));
    ++next[who];
  }
}
