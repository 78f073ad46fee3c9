// The dbfcheck command run as an administrator runs it: its arguments, and
// files it can't read.
#include "dbf/CodeBase.h"

#include "library_fixture.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 6, 1, 0}, {nullptr, 0, 0, 0, 0},
};
const TAG4INFO kTags[] = {{"NAME", "UPPER(NAME)", "", 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};

std::string Text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct TCommandResult {
  int Exit = -1;
  std::string Out, Err;
};

// Runs dbfcheck with `args` (shell words), its two outputs kept apart.
TCommandResult RunDbfcheck(const ScratchDir& dir, const std::string& args) {
  const std::string out = dir / "stdout.txt", err = dir / "stderr.txt";
  const std::string cmd = std::string("'") + TIDEWELL_DBFCHECK + "' " + args + " >'" + out + "' 2>'" + err + "'";
  const int status = std::system(cmd.c_str());
  TCommandResult r;
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.Out = Text(out);
  r.Err = Text(err);
  return r;
}

}  // namespace

TEST(DbfcheckCommand, UnknownOptionsAndMissingValuesAreUsageErrorsThatTouchNoTable) {
  ScratchDir dir;
  Code code;
  const std::string table = dir / "t.dbf";
  ASSERT_NE(d4create(code.h, table.c_str(), kFields, kTags), nullptr);
  const auto before = Text(table);
  const std::string quoted = "'" + table + "'";
  const std::vector<std::string> wrong = {"--bogus " + quoted,
                                         "-x " + quoted,
                                         "--repair --template",
                                         "--repair " + quoted + " --template",
                                         "--repair --template --repair " + quoted,
                                         "--template= --repair " + quoted,
                                         "--template " + quoted + " " + quoted,
                                         "",
                                         "--repair"};
  for (const std::string& args : wrong) {
    SCOPED_TRACE(args);
    const TCommandResult r = RunDbfcheck(dir, args);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("Usage: dbfcheck"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.rfind("dbfcheck: ", 0), 0u) << r.Err;  // what was wrong comes first
  }
  EXPECT_NE(RunDbfcheck(dir, "--bogus " + quoted).Err.find("unknown option --bogus"), std::string::npos);
  EXPECT_NE(RunDbfcheck(dir, "--repair --template").Err.find("--template needs"), std::string::npos);
  EXPECT_EQ(Text(table), before);

  // The good spellings still work, "--" included.
  EXPECT_EQ(RunDbfcheck(dir, quoted).Exit, 0);
  EXPECT_EQ(RunDbfcheck(dir, "--repair --template=" + quoted + " -- " + quoted).Exit, 0);
  const TCommandResult help = RunDbfcheck(dir, "--help");
  EXPECT_EQ(help.Exit, 0);
  EXPECT_NE(help.Out.find("Usage: dbfcheck"), std::string::npos);
}

TEST(DbfcheckCommand, AFolderOrAMissingOrUnreadableFileIsAFaultNeverAnAbort) {
  ScratchDir dir;
  Code code;
  const std::string table = dir / "t.dbf", folder = dir / "folder.dbf", locked = dir / "locked.dbf";
  ASSERT_NE(d4create(code.h, table.c_str(), kFields, kTags), nullptr);
  std::filesystem::create_directories(folder);
  ASSERT_NE(d4create(code.h, locked.c_str(), kFields, nullptr), nullptr);
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  const bool root = geteuid() == 0;  // root reads any file

  for (const std::string mode : {"", "--repair "}) {
    SCOPED_TRACE(mode);
    const TCommandResult r = RunDbfcheck(dir, mode + "'" + folder + "' '" + (dir / "missing.dbf") + "' '" + locked +
                                                  "' '" + table + "'");
    EXPECT_EQ(r.Exit, 1) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(folder + ": FAULT: can't open the file: it is a folder"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("missing.dbf: FAULT: can't open the file"), std::string::npos) << r.Out;
    if (!root) {
      EXPECT_NE(r.Out.find(locked + ": FAULT: can't open the file"), std::string::npos) << r.Out;
    }
    EXPECT_NE(r.Out.find(table + ": OK"), std::string::npos) << r.Out;  // the good table is still checked
    EXPECT_TRUE(std::filesystem::is_directory(folder));
  }
  std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
}
