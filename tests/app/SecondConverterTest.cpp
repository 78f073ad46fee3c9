// Two converters on one backlog, as an administrator starts them by mistake:
// two installations (each with its settings, log and journal) on the same
// share and database; two processes of one installation; the foreground
// mode beside a one-shot run. They are real processes of the program, on
// the SQLite3 driver and on the test MariaDB server. Afterwards every row is
// in exactly one record of its file, marked with that record's number, every
// file passes dbfcheck and both independent readers, and the converter that
// found a table taken said so in one line for each table it skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "common/DateTime.h"
#include "common/Format.h"
#include "platform/SharedFiles.h"
#include "tests/app/DbfHelper.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/Spawn.h"
#include "tests/support/TempDir.h"
#include "tools/dbfcheck/dbf_check.h"

using tidewell::test::ReadCrLfLines;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;
using tidewell::test::WriteFile;

namespace {

const char* const SkipText = " is being converted by another converter (";


std::string Python(const std::string& args) { return tidewell::test::RunPython(args); }

// One installation of the program: the executable in a folder of its own,
// its settings beside it, its log and journal folders made by itself.
struct TInstall {
  TInstall(const TTempDir& dir, const std::string& name, const TScratchDatabase& db) : Folder(dir.File(name)) {
    std::filesystem::create_directories(Folder);
    Exe = Folder + "/tidewell";
    std::filesystem::copy_file(TIDEWELL_TEST_EXE, Exe);
    WriteFile(Folder + "/mysqlconn.ini", "[MySQL]\nHost=\nDataBase=" + db.Name() + "\nUser=" + db.User() +
                                             "\nKey=" + db.Password() + "\nDriver=" + db.Driver() +
                                             "\nCustom=" + db.Extra() + "\n");
    std::filesystem::permissions(Folder + "/mysqlconn.ini", std::filesystem::perms::owner_read |
                                                                std::filesystem::perms::owner_write);
  }
  std::string Folder, Exe;

  // Log lines of every day's file, as they stand, each without its stamp
  // (the header as it is).
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    if (!std::filesystem::is_directory(Folder + "/log")) return lines;
    for (const auto& entry : std::filesystem::directory_iterator(Folder + "/log"))
      for (const auto& line : ReadCrLfLines(entry.path().string())) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const auto& line : LogLines()) texts.push_back(line.size() > 24 && line[2] == ':' ? line.substr(24) : line);
    return texts;
  }
  int Lines(const std::string& part) const {
    int n = 0;
    for (const auto& t : LogTexts()) n += t.find(part) != std::string::npos;
    return n;
  }
  // Lines saying the table was skipped for another converter.
  int Skips(const std::string& table) const { return Lines(table + SkipText); }
};

pid_t Spawn(const TInstall& at, const std::string& mode, const std::string& share) {
  tidewell::test::TSpawn spawn;
  spawn.Args = {at.Exe, mode};
  spawn.AddEnv = {"TIDEWELL_TEST_SHARE_ROOT=" + share};
  spawn.Output = at.Folder + "/output.txt";
  spawn.AppendOutput = true;
  const pid_t pid = tidewell::test::SpawnProcess(spawn);
  EXPECT_NE(pid, -1) << "could not start " << at.Exe;
  return pid;
}

int WaitExit(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(120)) {
  const int rc = tidewell::test::WaitExit(pid, limit);
  if (rc == -1) ADD_FAILURE() << "the converter did not end in time";
  return rc;
}

// Waits until the log of the installation has `count` lines with `text`.
bool WaitForLine(const TInstall& at, const std::string& text, int count = 1,
                 std::chrono::seconds limit = std::chrono::seconds(90)) {
  for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
    if (at.Lines(text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

const int Machines = 4, Days = 3;

class TwoConverters : public ::testing::TestWithParam<TScratchDatabase::TKind> {
 protected:
  TTempDir Dir;
  TScratchDatabase Db{GetParam()};
  std::string Share;
  // Rows per table: enough that one run of a table lasts seconds.
  int Rows = 2000;

  void SetUp() override {
    Share = Dir.File("share") + "/";
    for (const char* table : {"weight", "action"}) std::filesystem::create_directories(Share + "netw/" + table);
    const std::string fields = "MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); NOTE M";
    Python("template '" + Share + "netw/gstru.dbf' '" + fields + "; WEIGHT N(10,2)'");
    Python("template '" + Share + "netw/astru.dbf' '" + fields + "'");
    Db.Exec({"create table weight (rec_num integer, machine integer, dat_e date, tim_e varchar(8), note text, "
             "weight decimal(10,2), convtd integer)",
             "create table action (rec_num integer, machine integer, dat_e date, tim_e varchar(8), note text, "
             "convtd integer)"});
    for (const char* table : {"weight", "action"}) {
      for (int first = 1; first <= Rows; first += 500) {
        std::string sql = std::string("insert into ") + table + " values ";
        for (int i = first; i < first + 500 && i <= Rows; ++i) {
          const std::string date = tidewell::FormatDateTime("YYYY-MM-DD", tidewell::EncodeDate(2026, 3, 2 + i % Days));
          sql += tidewell::Format("%s(%d, %d, '%s', '%.2d:%.2d:%.2d', 'note of %d'%s, NULL)", i == first ? "" : ",",
                                  i, i % Machines, date, i % 24, i % 60, i % 59, i,
                                  std::string(table) == "weight" ? tidewell::Format(", %d.5", i) : std::string());
        }
        Db.Exec({sql});
      }
    }
  }

  // Every row of both tables is in exactly one record, the one its mark
  // names, of the file its machine and day name; no record copies no row or
  // a row twice; every file passes dbfcheck; both readers agree.
  void ExpectEveryRowOnce() {
    for (const std::string table : {"weight", "action"}) {
      SCOPED_TRACE(table);
      std::vector<std::string> files;
      for (const auto& entry : std::filesystem::directory_iterator(Share + "netw/" + table))
        if (entry.path().extension() == ".dbf") files.push_back(entry.path().string());
      ASSERT_EQ(files.size(), static_cast<size_t>(Machines * Days));
      std::string args;
      for (const auto& f : files) {
        std::ostringstream report;
        EXPECT_EQ(tidewell::tools::CheckDbf(f, report), 0) << f << "\n" << report.str();
        args += " '" + f + "'";
      }
      // rec_num -> (file name, record number) of every copy
      std::map<int, std::vector<std::pair<std::string, int>>> copies;
      std::istringstream lines(Python("records" + args));
      std::string path, number, deleted, field;
      while (std::getline(lines, path, '\t') && std::getline(lines, number, '\t') &&
             std::getline(lines, deleted, '\t') && std::getline(lines, field)) {
        EXPECT_EQ(deleted, "-") << path << " record " << number;
        copies[static_cast<int>(std::stod(field))].emplace_back(std::filesystem::path(path).filename().string(),
                                                                 std::stoi(number));
      }
      const auto recNums = Db.Column("select rec_num from " + table + " order by rec_num");
      const auto marks = Db.Column("select convtd from " + table + " order by rec_num");
      const auto machines = Db.Column("select machine from " + table + " order by rec_num");
      const auto dates = Db.Column("select dat_e from " + table + " order by rec_num");
      ASSERT_EQ(recNums.size(), static_cast<size_t>(Rows));
      int faults = 0;
      for (size_t i = 0; i < recNums.size() && faults < 10; ++i) {
        const int recNum = std::stoi(recNums[i]);
        const auto& found = copies[recNum];
        const std::string want =
            dates[i].substr(5, 2) + dates[i].substr(8, 2) + dates[i].substr(2, 2) +
            tidewell::Format("%.2d", std::stoi(machines[i])) + ".dbf";
        const bool ok = found.size() == 1 && found[0].first == want && marks[i] == std::to_string(found[0].second);
        if (!ok) {
          ++faults;
          std::string where;
          for (const auto& [f, n] : found) where += " " + f + "#" + std::to_string(n);
          ADD_FAILURE() << table << " rec_num=" << recNum << " marked " << marks[i] << ", copies:" << where
                        << " (wanted one in " << want << ")";
        }
        copies.erase(recNum);
      }
      EXPECT_TRUE(copies.empty()) << copies.size() << " records copy no row, the first rec_num "
                                  << (copies.empty() ? 0 : copies.begin()->first);
    }
  }

  // Starts `first` in `mode` and, once it is converting weight, `second`
  // with -ONCE: their pids, in that order.
  std::pair<pid_t, pid_t> OnceWhileConvertingWeight(const TInstall& first, const std::string& mode,
                                                    const TInstall& second) {
    const pid_t started = Spawn(first, mode, Share);
    EXPECT_TRUE(WaitForLine(first, "Found weight records to convert...")) << "the first converter never began";
    return {started, Spawn(second, "-ONCE", Share)};
  }

  // Runs the installation once more (alone), so rows a skipped table left
  // are converted too.
  void Drain(const TInstall& at) {
    EXPECT_EQ(WaitExit(Spawn(at, "-ONCE", Share)), 0);
    EXPECT_EQ(Db.Column("select count(*) from weight where ifnull(convtd,0)=0"), std::vector<std::string>{"0"});
    EXPECT_EQ(Db.Column("select count(*) from action where ifnull(convtd,0)=0"), std::vector<std::string>{"0"});
  }
};

// Every line of a log is whole: the header, or a stamped line.
void ExpectWholeLines(const TInstall& at) {
  const std::regex stamped(R"(\d\d:\d\d:\d\d\.\d{3} \d\d/\d\d/\d\d - .*)");
  int broken = 0;
  for (const auto& line : at.LogLines())
    if (line.rfind(std::string(21, '.') + " - ", 0) != 0 && !std::regex_match(line, stamped) && ++broken < 5)
      ADD_FAILURE() << "broken log line: " << line;
}

}  // namespace

TEST_P(TwoConverters, FromTwoInstallationsEachTableIsConvertedByOneAndTheOtherSaysItSkipsIt) {
  TInstall a(Dir, "a", Db), b(Dir, "b", Db);
  const auto [first, second] = OnceWhileConvertingWeight(a, "-ONCE", b);
  EXPECT_EQ(WaitExit(second), 0);
  EXPECT_EQ(WaitExit(first), 0);
  // The second found weight taken, named the first, and went on to action.
  EXPECT_EQ(b.Skips("weight"), 1);
  EXPECT_EQ(b.Lines(tidewell::Format("weight is being converted by another converter (host %s, pid %d, %s, since ",
                                     platform::HostName(), static_cast<int>(first), a.Exe)),
            1);
  EXPECT_EQ(a.Skips("weight"), 0);
  // Whoever came to action second skipped it, once, or found it done.
  EXPECT_LE(a.Skips("action") + b.Skips("action"), 1);
  Drain(a);
  ExpectEveryRowOnce();
}

TEST_P(TwoConverters, TwoProcessesOfOneInstallationShareNeitherTableNorJournalNorALogLine) {
  TInstall a(Dir, "a", Db);
  const auto [first, second] = OnceWhileConvertingWeight(a, "-ONCE", a);
  EXPECT_EQ(WaitExit(second), 0);
  EXPECT_EQ(WaitExit(first), 0);
  EXPECT_EQ(a.Skips("weight"), 1);
  EXPECT_EQ(a.Lines(tidewell::Format("weight is being converted by another converter (host %s, pid %d, ",
                                     platform::HostName(), static_cast<int>(first))),
            1);
  EXPECT_LE(a.Skips("action"), 1);
  // Both wrote the one day's file, whole lines each, and neither lost one.
  EXPECT_EQ(a.Lines("Start Log"), 2);
  EXPECT_EQ(a.Lines("End Log"), 2);
  ExpectWholeLines(a);
  Drain(a);
  ExpectWholeLines(a);
  ExpectEveryRowOnce();
}

TEST_P(TwoConverters, AForegroundRunBesideAOneShotRunTakesTurnsAtTheTables) {
  TInstall a(Dir, "a", Db);
  const auto [console, once] = OnceWhileConvertingWeight(a, "-CONSOLE", a);
  EXPECT_EQ(WaitExit(once), 0);
  // The foreground run is still at weight (its next cycle is minutes away):
  // the one-shot run skipped weight and converted action alone.
  EXPECT_EQ(a.Skips("weight"), 1);
  EXPECT_EQ(a.Skips("action"), 0);
  EXPECT_EQ(Db.Column("select count(*) from action where ifnull(convtd,0)=0"), std::vector<std::string>{"0"});
  // Its weight run ends as it would alone.
  EXPECT_TRUE(WaitForLine(a, tidewell::Format("Converted %d records", Rows), 2));
  kill(console, SIGINT);
  EXPECT_EQ(WaitExit(console), 0);
  ExpectWholeLines(a);
  ExpectEveryRowOnce();
}

INSTANTIATE_TEST_SUITE_P(Drivers, TwoConverters, ::testing::Values(TScratchDatabase::Sqlite, TScratchDatabase::Maria),
                         [](const auto& p) { return p.param == TScratchDatabase::Maria ? "Maria" : "Sqlite"; });
