// Two processes writing one log file at once, as two converters started in
// one folder do: no line is written over or cut, and the day change of one
// never empties the day's file the other has started.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "common/DateTime.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"

using namespace tidewell;
using tidewell::test::ReadCrLfLines;
using tidewell::test::TTempDir;
using tidewell::test::TTestClock;

namespace {

const TDateTime Tuesday = EncodeDate(2026, 12, 8) + EncodeTime(23, 59, 58, 0);

std::string Header() { return std::string(21, '.') + " - " + platform::ExecutablePath() + "   Version - 1.0.0.0"; }
std::string TextOf(const std::string& line) { return line.size() > 24 ? line.substr(24) : "<" + line + ">"; }

std::string WriterLine(char tag, int i) {
  std::string text(1, tag);
  text.append(std::to_string(i)).append(60 + i % 50, tag);
  return text;
}

// Runs `body` in two child processes at once ('a' and 'b'), each let go
// only when both are ready; true when both ended well.
bool InTwoProcesses(const std::function<void(char tag, int go)>& body) {
  int go[2];
  if (pipe(go) != 0) return false;
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    pids[i] = fork();
    if (pids[i] == 0) {
      close(go[1]);
      body(i == 0 ? 'a' : 'b', go[0]);
      _exit(0);
    }
  }
  close(go[0]);
  close(go[1]);  // the children read end of file: both start now
  bool ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

void WaitForGo(int fd) {
  char c;
  while (read(fd, &c, 1) > 0) {
  }
}

// Each writer's lines are there, whole and in its order, after the one
// header of the process that started the file.
void ExpectEveryLineOnceInOrder(std::vector<std::string> lines, int perWriter) {
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], Header());
  lines.erase(lines.begin());
  int next[2] = {0, 0};
  for (const auto& line : lines) {
    const std::string text = TextOf(line);
    ASSERT_TRUE(!text.empty() && (text[0] == 'a' || text[0] == 'b')) << "a line written over: " << line;
    const int who = text[0] == 'a' ? 0 : 1;
    ASSERT_EQ(text, WriterLine(text[0], next[who])) << "a line written over or cut";
    ++next[who];
  }
  EXPECT_EQ(next[0], perWriter);
  EXPECT_EQ(next[1], perWriter);
}

}  // namespace

TEST(MessLogProcesses, TwoProcessesAppendingToOneFileLoseAndCutNoLine) {
  TTempDir tmp;
  const std::string file = tmp.File("shared.log");
  ASSERT_TRUE(InTwoProcesses([&](char tag, int go) {
    TMessLog log(file, "", false, false, false, true);
    log.FlushThreshold = 3;
    WaitForGo(go);
    for (int i = 0; i < 3000; ++i) {
      if (i % 5 == 0)
        log.Flush(WriterLine(tag, i));
      else
        log.Add(WriterLine(tag, i));
    }
  }));
  ExpectEveryLineOnceInOrder(ReadCrLfLines(file), 3000);
}

TEST(MessLogProcesses, AtADayChangeTheSecondProcessKeepsTheDaysFileTheFirstStarted) {
  TTempDir tmp;
  // Last week's Wednesday file, last written a week ago.
  const std::string wednesday = tmp.File("tidewell4.log");
  test::WriteFile(wednesday, "last week\r\n");
  std::filesystem::last_write_time(wednesday,
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 7));
  TTestClock clock(Tuesday);
  ASSERT_TRUE(InTwoProcesses([&](char tag, int go) {
    TMessLog log(tmp.File("tidewell.log"), "", true, true, false, true);
    log.Flush(std::string(1, tag) + " on tuesday");
    WaitForGo(go);
    clock.AdvanceDays(1);  // midnight, in both processes at once
    for (int i = 0; i < 500; ++i) log.Flush(WriterLine(tag, i));
  }));
  // Started afresh once: last week's line is gone, the header is the first
  // process's, and all of both processes' lines are there.
  ExpectEveryLineOnceInOrder(ReadCrLfLines(wednesday), 500);
  const auto tuesday = ReadCrLfLines(tmp.File("tidewell3.log"));
  ASSERT_EQ(tuesday.size(), 3u);
  EXPECT_EQ(tuesday[0], Header());
}

TEST(MessLogProcesses, TheHeaderGoesFirstIntoAFileAnotherProcessCreatedButHasNotWrittenYet) {
  TTempDir tmp;
  TTestClock clock(Tuesday);
  // The other process has created the day's file and waits for its lock.
  test::WriteFile(tmp.File("tidewell3.log"), "");
  {
    TMessLog log(tmp.File("tidewell.log"), "", true, true, false, true);
    log.Flush("first");
  }
  const auto lines = ReadCrLfLines(tmp.File("tidewell3.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(TextOf(lines[1]), "first");
}
