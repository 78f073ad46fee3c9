// tidewell -VERIFY against files written by real conversion runs, on both
// drivers, then damaged the way sites damage them: a record cut off, a file
// deleted, a value edited and a record appended by another program
// (python3-dbf), a mark set by hand. Each damage must be named with its
// kind, a repair plus a cycle must converge to a clean check, and what the
// check can't read must end in exit code 2, never in a guess.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/Journal.h"
#include "app/Settings.h"
#include "app/Verify.h"
#include "app/sMain.h"
#include "common/Clock.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/app/DbfHelper.h"
#include "tests/app/ShareForRun.h"
#include "tests/support/JournalNotes.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TempDir.h"

using namespace tidewell;
using tidewell::test::RunPython;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;

namespace {


// The header's record count and record layout, read and written by hand,
// as a program that cuts a file would.
struct THeader {
  uint32_t Count = 0;
  uint16_t HeaderLength = 0, RecordLength = 0;
};
THeader ReadHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char b[12] = {};
  in.read(reinterpret_cast<char*>(b), sizeof b);
  return {static_cast<uint32_t>(b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24), static_cast<uint16_t>(b[8] | b[9] << 8),
          static_cast<uint16_t>(b[10] | b[11] << 8)};
}
void WriteCount(const std::string& path, uint32_t count) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  const unsigned char b[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                              static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
  f.seekp(4);
  f.write(reinterpret_cast<const char*>(b), 4);
}
// The last record deleted the way a cut does it: count and file both shorter.
void CutLastRecord(const std::string& path) {
  const THeader h = ReadHeader(path);
  WriteCount(path, h.Count - 1);
  std::filesystem::resize_file(path, h.HeaderLength + uint64_t{h.Count - 1} * h.RecordLength);
  std::ofstream(path, std::ios::binary | std::ios::app).put('\x1a');
}

const char* TemplateFields =
    "MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); WEIGHT N(10,2); OK L; NOTE M; LOT C(6); EXTRA C(10)";

class Verify : public ::testing::TestWithParam<TScratchDatabase::TKind> {
 protected:
  TTempDir Dir;
  TScratchDatabase Db{GetParam()};
  struct TKestrelSeams : TKestrel {
    using TKestrel::JournalPath;
  } K;
  std::string Share;
  std::vector<std::string> Lines;
  TVerifyCounts Counts;

  void SetUp() override {
    Share = test::ShareForRun(Dir, K, TemplateFields);
    Db.Exec({"create table weight (rec_num integer, machine integer, dat_e date, tim_e varchar(8), "
             "weight decimal(10,2), ok integer, note text, lot varchar(20), convtd integer)",
             "create table action (rec_num integer, machine integer, dat_e date, tim_e varchar(8), note text, "
             "convtd integer)"});
    // Three files over two days and three machines (NULL and 0 share one),
    // with what the field rules change: a cut text, a trimmed one, a memo
    // cut to 254, logicals from numbers and NULL, numbers in their width.
    Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 12.5, 1, 'first memo', 'LOT-0001x', NULL)",
             "insert into weight values (2, 7, '2004-03-05', '09:00:00', 3.25, 0, NULL, '  L2  ', NULL)",
             "insert into weight values (3, 7, '2004-03-05', '11:00:00', 1, 5, '" + std::string(300, 'x') + "', NULL, NULL)",
             "insert into weight values (4, 7, '2004-03-06', '08:00:00', 2, NULL, 'next day', 'L4', NULL)",
             "insert into weight values (5, NULL, '2004-03-05', '08:00:00', 5, 0, 'null machine', 'L5', NULL)",
             "insert into weight values (6, 0, '2004-03-05', '07:00:00', 6, 1, '  padded  ', 'L6', NULL)",
             "insert into weight values (7, 12, '2004-03-05', '07:30:00', 7.125, 1, 'twelve', 'L7', NULL)"});
  }
  void TearDown() override {
    MainOdbc.reset();
    MainLog.reset();
  }

  void Convert() {
    ASSERT_TRUE(K.OpenDatabase("", Db.Name(), Db.User(), Db.Password(), Db.Driver(), Db.Extra()));
    K.ConvertTables(true);
    K.CloseDatabase();
  }
  int Check(bool repair = false, const std::string& from = "2004-03-05", const std::string& to = "2004-03-06") {
    TVerifyRequest request;
    std::string error;
    std::vector<std::string> args{"weight", from, to};
    if (repair) args.push_back("-REPAIR");
    EXPECT_TRUE(ParseVerifyArgs(args, Today(), request, error)) << error;
    EXPECT_TRUE(K.OpenDatabase("", Db.Name(), Db.User(), Db.Password(), Db.Driver(), Db.Extra()));
    TVerify verify(Share, [this](const std::string& table) { return K.JournalPath(table); });
    Lines.clear();
    verify.Out = [this](const std::string& line) { Lines.push_back(line); };
    const int code = verify.Run(request);
    Counts = verify.Totals;
    K.CloseDatabase();
    return code;
  }
  std::string File(const std::string& name) { return Share + "netw/weight/" + name; }
  // Report lines that start with `start` and contain `part`.
  int LinesWith(const std::string& start, const std::string& part = "") {
    return static_cast<int>(std::count_if(Lines.begin(), Lines.end(), [&](const std::string& l) {
      return l.rfind(start, 0) == 0 && l.find(part) != std::string::npos;
    }));
  }
  std::string Report() {
    std::string all;
    for (const auto& l : Lines) all += l + "\n";
    return all;
  }
  std::string Marks() {
    std::string marks;
    for (const auto& v : Db.Column("select convtd from weight order by rec_num")) marks += v + " ";
    return marks;
  }
  std::vector<std::string> LogTexts() {
    MainLog->Flush();
    std::vector<std::string> texts;
    for (const auto& line : test::ReadCrLfLines(Dir.File("run.log")))
      if (line.size() > 24 && line[2] == ':') texts.push_back(line.substr(24));
    return texts;
  }
};

}  // namespace

TEST_P(Verify, FilesAsAConversionWroteThemAreInOrderAndOtherDaysAreNotRead) {
  Convert();
  ASSERT_EQ(Marks(), "2 1 3 1 1 2 1 ");
  EXPECT_EQ(Check(), 0) << Report();
  EXPECT_EQ(Counts.Files, 4);
  EXPECT_EQ(Counts.Rows, 7);
  EXPECT_EQ(Counts.Records, 7);
  EXPECT_EQ(Counts.Discrepancies(), 0);
  EXPECT_EQ(LinesWith(File("03050407.dbf") + ": 3 rows marked, 3 records, all in order"), 1) << Report();
  EXPECT_EQ(LinesWith(File("03050400.dbf") + ": 2 rows marked, 2 records, all in order"), 1) << Report();
  EXPECT_EQ(LinesWith("Summary: 4 files, 7 rows marked, 7 records; 0 missing"), 1) << Report();

  EXPECT_EQ(Check(false, "2004-03-06", "2004-03-06"), 0) << Report();
  EXPECT_EQ(Counts.Files, 1);
  EXPECT_EQ(Counts.Rows, 1);
  EXPECT_EQ(Check(false, "2004-03-07", "2004-03-31"), 0) << Report();
  EXPECT_EQ(Counts.Files, 0);
}

// Each kind of damage, each named once, with the right record and row.
TEST_P(Verify, EveryDamageIsNamedWithItsKind) {
  Convert();
  // Machine 7, 5 March: records 1 (rec_num 2), 2 (rec_num 1), 3 (rec_num 3).
  CutLastRecord(File("03050407.dbf"));
  // Machine 7, 6 March: gone.
  std::filesystem::remove(File("03060407.dbf"));
  std::filesystem::remove(File("03060407.fpt"));
  // Machine 0, 5 March: records 1 (rec_num 5), 2 (rec_num 6); another
  // program edits the weight of 2 and appends a copy of 1.
  RunPython("set '" + File("03050400.dbf") + "' 2 WEIGHT 66.5");
  RunPython("append-copy '" + File("03050400.dbf") + "' 1");
  // Machine 12: one record; an administrator marks a second row with it.
  Db.Exec({"insert into weight values (8, 12, '2004-03-05', '09:30:00', 8, 1, 'by hand', 'L8', 1)"});

  EXPECT_EQ(Check(), 1) << Report();
  EXPECT_EQ(Counts.Missing, 2);
  EXPECT_EQ(Counts.Different, 1);
  EXPECT_EQ(Counts.Unmarked, 1);
  EXPECT_EQ(Counts.Shared, 1);
  EXPECT_EQ(Counts.OtherRow, 0);
  EXPECT_EQ(LinesWith(File("03050407.dbf") + " record 3: missing (the file holds 2 records); the row machine 7, "
                                             "rec_num 3 is marked 3"),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03060407.dbf") + " record 1: missing (the file is missing); the row machine 7, rec_num 4"),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03060407.dbf") + ": missing, 1 rows marked"), 1) << Report();
  EXPECT_EQ(LinesWith(File("03050400.dbf") + " record 2: differs from the row machine 0, rec_num 6 marked with it: "
                                             "WEIGHT \"66.50\" in the file, \"6.00\" from the row"),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03050400.dbf") + " record 3: marked by no row: MACHINE=\"\", DAT_E=\"20040305\", "
                                             "TIM_E=\"08:00:00\", REC_NUM=\"5\""),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03050412.dbf") + " record 1: marked by two rows, machine 12, rec_num 7 and machine 12, "
                                             "rec_num 8"),
            1)
      << Report();

  // A mark moved by hand onto another row's record: that record holds
  // another row, two rows share it, and the moved row's own record is
  // marked by no row.
  Db.Exec({"delete from weight where rec_num = 8", "update weight set convtd = 1 where rec_num = 1"});
  EXPECT_EQ(Check(), 1) << Report();
  EXPECT_EQ(LinesWith(File("03050407.dbf") + " record 1: holds machine 7, rec_num 2, not the row machine 7, rec_num 1 "
                                             "marked 1"),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03050407.dbf") + " record 1: marked by two rows, machine 7, rec_num 1 and machine 7, "
                                             "rec_num 2"),
            1)
      << Report();
  EXPECT_EQ(LinesWith(File("03050407.dbf") + " record 2: marked by no row: MACHINE=\"7\", DAT_E=\"20040305\", "
                                             "TIM_E=\"10:00:00\", REC_NUM=\"1\""),
            1)
      << Report();
  EXPECT_EQ(Counts.OtherRow, 1);
  // Reading changed nothing.
  EXPECT_EQ(Marks(), "1 1 3 1 1 2 1 ");
}

// The repair clears exactly the marks whose records are missing, one log
// line each; the next cycle copies those rows again and the check is clean.
TEST_P(Verify, ARepairAndACycleConvergeToACleanCheck) {
  Convert();
  CutLastRecord(File("03050407.dbf"));
  std::filesystem::remove(File("03060407.dbf"));
  std::filesystem::remove(File("03060407.fpt"));
  ASSERT_EQ(Check(), 1);
  ASSERT_EQ(Counts.Missing, 2);
  EXPECT_EQ(Marks(), "2 1 3 1 1 2 1 ");  // the check alone changes nothing

  EXPECT_EQ(Check(true), 1) << Report();
  EXPECT_EQ(Counts.Cleared, 2);
  EXPECT_EQ(Marks(), "2 1 0 0 1 2 1 ");
  const auto texts = LogTexts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.rfind("Verify: weight machine 7, rec_num ", 0) == 0; }),
            2);
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Verify: weight machine 7, rec_num 3 was marked 3, but " + File("03050407.dbf") +
                          " record 3 is missing (the file holds 2 records); mark cleared, the next cycle copies the "
                          "row again"),
            texts.end());

  Convert();
  EXPECT_EQ(Marks(), "2 1 3 1 1 2 1 ");
  EXPECT_EQ(Check(), 0) << Report();
  EXPECT_EQ(Counts.Records, 7);
  // A second repair has nothing to do.
  EXPECT_EQ(Check(true), 0) << Report();
  EXPECT_EQ(Counts.Cleared, 0);
}

// A mark moved by hand past the end of its file while the row's record is
// still there: clearing it would copy the row twice, so the repair leaves
// it and says which record holds the row.
TEST_P(Verify, ARepairNeverClearsAMarkWhoseRowARecordStillHolds) {
  Convert();
  Db.Exec({"update weight set convtd=9 where machine=7 and rec_num=3"});
  EXPECT_EQ(Check(true), 1) << Report();
  EXPECT_EQ(Counts.Missing, 1);
  EXPECT_EQ(Counts.Cleared, 0);
  EXPECT_NE(Report().find("not repaired: record 3 of " + File("03050407.dbf") + " holds the row"), std::string::npos)
      << Report();
  EXPECT_EQ(Marks(), "2 1 9 1 1 2 1 ");
  Convert();
  EXPECT_EQ(Marks(), "2 1 9 1 1 2 1 ");  // nothing copied again
}

// Notes in the journal mean a run is under way or must settle first: the
// repair touches nothing. A record whose note is pending is named as
// waiting for its mark, not as a record of no row.
TEST_P(Verify, ARepairWaitsForTheJournalAndPendingRecordsAreNotCalledStrays) {
  Convert();
  CutLastRecord(File("03050407.dbf"));
  RunPython("append-copy '" + File("03050412.dbf") + "' 1");
  {
    TJournal journal(K.JournalPath("weight"));
    ASSERT_TRUE(journal.Load());
    TJournalEntry e = test::NumberKeyNote(12, "9", File("03050412.dbf"), 2);
    ASSERT_TRUE(journal.Note(e));
  }
  EXPECT_EQ(Check(true), 2) << Report();
  EXPECT_EQ(LinesWith("weight: the journal", "holds 1 notes not settled"), 1) << Report();
  EXPECT_EQ(Marks(), "2 1 3 1 1 2 1 ");

  EXPECT_EQ(Check(), 1) << Report();
  EXPECT_EQ(Counts.Awaiting, 1);
  EXPECT_EQ(Counts.Unmarked, 0);
  EXPECT_EQ(Counts.Missing, 1);
  EXPECT_EQ(LinesWith(File("03050412.dbf") + " record 2: awaits the mark of the row machine 12, rec_num 9"), 1)
      << Report();
}

// What can't be read ends in 2 and is never taken for missing records: a
// file cut inside its records, a folder that is not there (an unmounted
// share would otherwise read as every record gone).
TEST_P(Verify, WhatCantBeReadIsExitTwoAndNeverRepaired) {
  Convert();
  const THeader h = ReadHeader(File("03050407.dbf"));
  std::filesystem::resize_file(File("03050407.dbf"), h.HeaderLength + uint64_t{h.RecordLength} * 2 + 10);
  EXPECT_EQ(Check(true), 2) << Report();
  EXPECT_EQ(LinesWith(File("03050407.dbf") + ": can't be read (file holds fewer records than its header counts (3))"),
            1)
      << Report();
  EXPECT_EQ(Counts.Cleared, 0);
  EXPECT_EQ(Marks(), "2 1 3 1 1 2 1 ");

  std::filesystem::rename(Share + "netw/weight", Share + "netw/weight.away");
  EXPECT_EQ(Check(true), 2) << Report();
  EXPECT_EQ(LinesWith("weight: the folder " + Share + "netw/weight/ can't be read"), 1) << Report();
  EXPECT_EQ(Marks(), "2 1 3 1 1 2 1 ");
}

// A writer stopped between a record and the header's count: the next
// open takes the record in, so it is there, not missing (a repair would
// have it copied twice).
TEST_P(Verify, ARecordPastTheHeadersCountIsThereAndTheFileIsLeftAsItIs) {
  Convert();
  WriteCount(File("03050407.dbf"), 2);
  const std::string before = test::ReadFile(File("03050407.dbf"));
  EXPECT_EQ(Check(true), 0) << Report();
  EXPECT_EQ(test::ReadFile(File("03050407.dbf")), before);  // read-only: the count is the next writer's to fix
  EXPECT_EQ(Counts.Cleared, 0);
  EXPECT_EQ(LinesWith("note: " + File("03050407.dbf") + ": records 3 to 3 lay past the header's record count 2"), 1)
      << Report();
}

// Texts beyond ASCII compare as they were written: through the file's code
// page, and, in a file without one, cut at the last whole UTF-8 character
// that fits the field.
TEST_P(Verify, TextsBeyondAsciiCompareAsTheConversionCutThem) {
  Db.Exec({"delete from weight",
           "insert into weight values (1, 7, '2004-03-05', '10:00:00', 1, 1, 'Grüße', 'äöüßxyz', NULL)"});
  Convert();
  EXPECT_EQ(Check(), 0) << Report();

  const std::string tmpl = Share + "netw/gstru.dbf";
  std::filesystem::remove(tmpl);
  std::filesystem::remove(Share + "netw/gstru.fpt");
  RunPython("template '" + tmpl + "' 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); LOT C(5); NOTE M'");
  std::string header = test::ReadFile(tmpl);
  header[29] = 0;  // no code page: texts stored as their UTF-8 bytes
  test::WriteFile(tmpl, header);
  Db.Exec({"insert into weight values (2, 8, '2004-03-05', '10:00:00', 1, 1, 'Grüße', 'äääx', NULL)",
           "insert into weight values (3, 8, '2004-03-05', '11:00:00', 1, 1, NULL, 'aäää', NULL)"});
  Convert();
  EXPECT_EQ(Check(), 0) << Report();
  EXPECT_EQ(Counts.Records, 3);
  // The row changed afterwards: the cut texts are told apart.
  Db.Exec({"update weight set lot = 'äöäx' where rec_num = 2"});
  EXPECT_EQ(Check(), 1) << Report();
  EXPECT_EQ(LinesWith(File("03050408.dbf") + " record 1: differs from the row machine 8, rec_num 2 marked with it: "
                                             "LOT \"ää\" in the file, \"äö\" from the row"),
            1)
      << Report();
}

INSTANTIATE_TEST_SUITE_P(Drivers, Verify, ::testing::Values(TScratchDatabase::Sqlite, TScratchDatabase::Maria),
                         [](const auto& p) { return p.param == TScratchDatabase::Maria ? "MariaDB" : "SQLite"; });

// ---- the command line ----------------------------------------------------------

TEST(VerifyArguments, DefaultsTablesAndDatesAndWhatIsRefused) {
  const TDateTime today = EncodeDate(2026, 12, 9);
  TVerifyRequest r;
  std::string error;
  ASSERT_TRUE(ParseVerifyArgs({}, today, r, error));
  EXPECT_EQ(r.Tables, (std::vector<std::string>{"weight", "action"}));
  EXPECT_EQ(r.From, EncodeDate(2026, 12, 3));  // the last 7 days, today included
  EXPECT_EQ(r.To, today);
  EXPECT_FALSE(r.Repair);

  ASSERT_TRUE(ParseVerifyArgs({"-VERIFY", "ACTION", "2026-11-30", "/repair"}, today, r, error));
  EXPECT_EQ(r.Tables, (std::vector<std::string>{"action"}));
  EXPECT_EQ(r.From, EncodeDate(2026, 11, 30));
  EXPECT_EQ(r.To, today);  // FROM alone: up to today
  EXPECT_TRUE(r.Repair);

  ASSERT_TRUE(ParseVerifyArgs({"2024-02-28", "2024-03-01"}, today, r, error));
  EXPECT_EQ(r.To - r.From, 2);  // a leap year's February

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"2026-02-30"}, {"26-12-01"}, {"2026-12-09", "2026-12-01"}, {"weights"},
        {"2026-12-01", "weight"}, {"-ONCE"}, {"2026-12-01", "2026-12-02", "2026-12-03"}, {"1900-01-01", "2026-01-01"}}) {
    EXPECT_FALSE(ParseVerifyArgs(bad, today, r, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

// The executable: -VERIFY reaches the check from the command line, a bad
// argument and a database it can't reach are exit code 2, the help names it.
TEST(VerifyCommandLine, ReachesTheCheckAndFailsWithTwo) {
  TTempDir dir;
  const std::string exe = dir.File("tidewell");
  std::filesystem::copy_file(TIDEWELL_EXE, exe);
  test::WriteFile(dir.File("mysqlconn.ini"), "[MySQL]\nCustom=SERVER=127.0.0.1;PORT=1;CONN_TIMEOUT=2\n");
  const auto run = [&](const std::string& args, std::string& out) { return test::RunCommand(exe + " " + args, &out); };
  std::string out;
  EXPECT_EQ(run("-VERIFY yesterday", out), 2);
  EXPECT_NE(out.find("yesterday is neither weight, action nor a date YYYY-MM-DD"), std::string::npos) << out;
  EXPECT_EQ(run("-verify weight 2026-12-01", out), 2);
  EXPECT_NE(out.find("No connection to the database: ERROR - H:"), std::string::npos) << out;
  EXPECT_EQ(run("--help", out), 0);
  EXPECT_NE(out.find("-VERIFY [weight|action] [FROM [TO]] [-REPAIR]"), std::string::npos) << out;
}
