// The conversion end to end against real databases (the SQLite3 driver and
// the MariaDB server of the test script): rows in, .dbf files out, marks
// back, with the files read back by python3-dbf and dbfread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "app/ConverterLock.h"
#include "app/Journal.h"
#include "app/JournalRun.h"
#include "app/Marks.h"
#include "app/Settings.h"
#include "app/sMain.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "logging/MessLog.h"
#include "odbc/Statement.h"
#include "platform/SharedFiles.h"
#include "platform/System.h"
#include "tests/app/DbfHelper.h"
#include "tests/app/ShareForRun.h"
#include "tests/support/JournalNotes.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TempDir.h"
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/locks.h"
#include "xbase/os_file.h"
#include "xbase/table.h"

#include <chrono>
#include <thread>

using namespace tidewell;
using tidewell::test::RunPython;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTempDir;

namespace {


using TRecord = std::map<std::string, std::string>;

// Records of a .dbf file as both independent readers see them.
std::vector<TRecord> ReadBack(const std::string& path) {
  std::vector<TRecord> records;
  std::istringstream lines(RunPython("dump '" + path + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    TRecord r;
    std::istringstream parts(line);
    std::string part;
    std::getline(parts, part, '\t');
    r["_deleted"] = part;
    while (std::getline(parts, part, '\t')) {
      const auto eq = part.find('=');
      r[part.substr(0, eq)] = part.substr(eq + 1);
    }
    records.push_back(r);
  }
  return records;
}

// The service module with hooks after each record written (its mark not
// sent yet) and after each row whose mark is settled.
class THookedKestrel : public TKestrel {
 public:
  using TKestrel::FLastRowsMarked;
  using TKestrel::JournalPath;
  std::function<void(int rowsDone)> AfterRow;
  std::function<void(int recordsWritten)> AfterWrite;
  int Rows = 0;
  int Written = 0;
  void RowSettled() override {
    if (AfterRow) AfterRow(++Rows);
  }
  void RecordWritten() override {
    if (AfterWrite) AfterWrite(++Written);
  }
};

// The server refuses every update of the row with rec_num 2.
void RefuseMarksOfRow2(const TScratchDatabase& db) {
  if (db.Kind() == TScratchDatabase::Sqlite)
    db.Exec({"create trigger refuse before update on weight when new.rec_num = 2 "
             "begin select raise(abort, 'refused by trigger'); end"});
  else
    db.Exec({"create trigger refuse before update on weight for each row "
             "begin if new.rec_num = 2 then signal sqlstate '45000' set message_text = 'refused by trigger'; "
             "end if; end"});
}

std::string Marks(const TScratchDatabase& db) {
  std::string marks;
  for (const auto& v : db.Column("select convtd from weight order by rec_num")) marks += v + " ";
  return marks;
}

const char* TemplateFields =
    "MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); WEIGHT N(10,2); OK L; NOTE M; EXTRA C(10); WHEN D";

class Conversion : public ::testing::TestWithParam<TScratchDatabase::TKind> {
 protected:
  TTempDir Dir;
  TScratchDatabase Db{GetParam()};
  THookedKestrel K;
  std::string Share;

  void SetUp() override {
    Share = test::ShareForRun(Dir, K, TemplateFields);
    Db.Exec({"create table weight (rec_num integer, machine integer, dat_e date, tim_e varchar(8), "
             "weight decimal(10,2), ok integer, note text, convtd integer)",
             "create table action (rec_num integer, machine integer, dat_e date, tim_e varchar(8), note text, "
             "convtd integer)"});
  }
  void TearDown() override {
    MainOdbc.reset();
    MainLog.reset();
  }

  void Connect() {
    ASSERT_TRUE(K.OpenDatabase("", Db.Name(), Db.User(), Db.Password(), Db.Driver(), Db.Extra()));
  }
  void Convert(bool weight = true) {
    Connect();
    K.ConvertTables(weight);
    // No call of the run waits for another statement's call to return.
    EXPECT_EQ(MainOdbc->SerialisedWaits, 0u) << "the run called the connection while a statement was running";
    K.CloseDatabase();
  }
  std::vector<std::string> LogTexts() {
    MainLog->Flush();
    std::vector<std::string> texts;
    for (const auto& line : test::ReadCrLfLines(Dir.File("run.log")))
      if (line.size() > 24 && line[2] == ':') texts.push_back(line.substr(24));
    return texts;
  }
  std::string Marks() { return ::Marks(Db); }
  // How many of `lines` name `what` (a row, a file, a journal): a run's
  // report of what it did with a note, whatever its wording.
  static long Naming(const std::vector<std::string>& lines, const std::string& what) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& t) { return t.find(what) != std::string::npos; });
  }
  std::string File(const std::string& name) { return Share + "netw/weight/" + name; }
};

void InsertSampleRows(const TScratchDatabase& db) {
  db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 12.5, 1, 'first memo', NULL)",
           "insert into weight values (2, 7, '2004-03-05', '09:00:00', 3.25, 0, NULL, 0)",
           "insert into weight values (3, 7, '2004-03-06', '08:00:00', 1, 5, '" + std::string(300, 'x') + "', NULL)",
           "insert into weight values (4, 12, '2004-03-05', '08:00:00', 2, NULL, 'twelve', NULL)",
           "insert into weight values (5, NULL, '2004-03-05', '08:00:00', 5, 0, 'null machine', NULL)",
           "insert into weight values (6, 0, '2004-03-05', '07:00:00', 6, 1, '  padded  ', NULL)",
           "insert into weight values (7, 7, '2004-03-05', '11:00:00', 7, 1, 'done before', 99)"});
}

}  // namespace

TEST_P(Conversion, EveryRowLandsOnceInOrderInItsFileAndIsMarkedWithItsRecordNumber) {
  InsertSampleRows(Db);
  const std::string dayBefore = FormatDateTime("YYYYMMDD", Today());
  Convert();
  const std::string dayAfter = FormatDateTime("YYYYMMDD", Today());

  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 2u);
  EXPECT_EQ(m7[0].at("rec_num"), "2.0");  // tim_e order within the day
  EXPECT_EQ(m7[1].at("rec_num"), "1.0");
  EXPECT_EQ(m7[1].at("machine"), "7.0");
  EXPECT_EQ(m7[1].at("dat_e"), "20040305");
  EXPECT_EQ(m7[1].at("tim_e"), "10:00:00");
  EXPECT_EQ(m7[1].at("weight"), "12.5");
  EXPECT_EQ(m7[1].at("ok"), "T");
  EXPECT_EQ(m7[0].at("ok"), "F");
  EXPECT_EQ(m7[1].at("note"), "first memo");
  EXPECT_EQ(m7[1].at("extra"), "");  // no such column
  // A date field without a column: the day of the run (either, should it
  // cross midnight).
  EXPECT_TRUE(m7[1].at("when") == dayBefore || m7[1].at("when") == dayAfter) << m7[1].at("when");

  const auto nextDay = ReadBack(File("03060407.dbf"));
  ASSERT_EQ(nextDay.size(), 1u);
  EXPECT_EQ(nextDay[0].at("note"), std::string(254, 'x'));  // cut to 254
  EXPECT_EQ(nextDay[0].at("ok"), "T");                      // any nonzero value

  const auto m12 = ReadBack(File("03050412.dbf"));
  ASSERT_EQ(m12.size(), 1u);
  EXPECT_EQ(m12[0].at("ok"), "F");  // NULL

  // NULL and 0 machines share the 00 file; NULL sorts first.
  const auto m0 = ReadBack(File("03050400.dbf"));
  ASSERT_EQ(m0.size(), 2u);
  EXPECT_EQ(m0[0].at("rec_num"), "5.0");
  EXPECT_EQ(m0[1].at("rec_num"), "6.0");
  EXPECT_EQ(m0[1].at("note"), "padded");

  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  const auto texts = LogTexts();
  EXPECT_EQ(texts.front(), "Found weight records to convert...");
  EXPECT_EQ(texts.back(), "Converted 6 records");
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Created new .dbf: " + File("03050407.dbf")), 1);

  // A second run finds nothing, logs nothing and touches no file.
  const auto before = std::filesystem::last_write_time(File("03050407.dbf"));
  const size_t lines = texts.size();
  Convert();
  EXPECT_EQ(LogTexts().size(), lines);
  EXPECT_EQ(std::filesystem::last_write_time(File("03050407.dbf")), before);
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
}

TEST_P(Conversion, AMissingTemplateLeavesTheGroupUnmarkedWithTheLinesInOrder) {
  Db.Exec({"insert into action values (1, 3, '2004-03-05', '10:00:00', 'a', NULL)"});
  Convert(false);
  const std::string path = Share + "netw/action/03050403.dbf";
  const std::string tmpl = Share + "netw/astru.dbf";
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{"Found action records to convert...", "Working on " + path,
                                                  "File " + tmpl + " NOT FOUND!",
                                                  "Could not create " + path + " from the template " + tmpl,
                                                  "File " + path + " NOT FOUND!", "mopen " + path + " - Error!",
                                                  "Converted 0 records"}));
  EXPECT_EQ(Db.Column("select convtd from action"), (std::vector<std::string>{"NULL"}));
}

TEST_P(Conversion, AStopRequestEndsTheRunAfterTheRowInHand) {
  InsertSampleRows(Db);
  Connect();  // a login under way when a stop comes is given up, so connect first
  K.StopRequested = true;
  K.ConvertTables(true);
  K.CloseDatabase();
  EXPECT_EQ(LogTexts().back(), "Converted 0 records");
  EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
  EXPECT_FALSE(K.Busy);
  // Within a cycle, which raised Busy before it connected, the run leaves
  // it raised: the cycle still has its connection to let go.
  K.Busy = true;
  Connect();
  K.ConvertTables(true);
  EXPECT_TRUE(K.Busy);
  K.CloseDatabase();
  K.Busy = false;
}

TEST_P(Conversion, ARefusedUpdateTakesTheRecordBackAndTheNextRecordReusesItsNumber) {
  InsertSampleRows(Db);
  Db.Exec({"update weight set note = 'memo of the refused row' where rec_num = 2"});
  RefuseMarksOfRow2(Db);
  Convert();
  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 1u);  // row 2 taken back, row 1 took its place
  EXPECT_EQ(m7[0].at("rec_num"), "1.0");
  EXPECT_EQ(m7[0].at("note"), "first memo");
  // The refused row's memo blocks were given back too: the memo file holds
  // its header and the one block of "first memo".
  const std::string memo = test::ReadFile(File("03050407.fpt"));
  ASSERT_GE(memo.size(), 8u);
  const size_t blockSize = (static_cast<unsigned char>(memo[6]) << 8) | static_cast<unsigned char>(memo[7]);
  EXPECT_EQ(memo.size(), 512 + blockSize);
  EXPECT_EQ(Marks(), "1 0 1 1 1 2 99 ");
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Update of weight rec_num=2 failed; record 1 taken back from " + File("03050407.dbf")),
            texts.end());
  EXPECT_EQ(texts.back(), "Converted 5 records");
}

TEST_P(Conversion, AnExceptionInARunReleasesStatementsLibraryAndFile) {
  InsertSampleRows(Db);
  K.AfterRow = [](int rows) {
    if (rows == 3) throw std::runtime_error("disk on fire");
  };
  Connect();
  EXPECT_THROW(K.ConvertTables(true), std::runtime_error);
  EXPECT_FALSE(K.Busy);
  EXPECT_EQ(std::count(MainOdbc->Statements.begin(), MainOdbc->Statements.end(), nullptr),
            static_cast<long>(MainOdbc->Statements.size()));
  // The table's locks went with the run.
  for (const auto& lockFile : {File(".tidewell-weight.lock"), Dir.File("journal/weight.lock")}) {
    platform::TLockFile probe;
    EXPECT_EQ(probe.TryLock(lockFile, "probe"), platform::TLockFile::lsTaken) << lockFile;
  }
  if (GetParam() == TScratchDatabase::Maria) {
    EXPECT_EQ(Db.Column("select is_free_lock('" + TConverterLock::DatabaseLockName(Db.Name(), "weight") + "')"),
              std::vector<std::string>{"1"});
  }
  K.CloseDatabase();
  // The open file was closed: what was appended is in it, count and all.
  // Its marks were not known to have their records on disk, so they were
  // rolled back; the journal still names them.
  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 2u);
  EXPECT_EQ(m7[0].at("rec_num"), "2.0");
  EXPECT_EQ(m7[1].at("rec_num"), "1.0");
  EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
  // The next run marks the kept records and copies the rest, each once:
  // six rows converted, the four its journal settled included, and two
  // records written.
  K.AfterRow = nullptr;
  Convert();
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(K.FLastRowsMarked, 6);
  EXPECT_EQ(LogTexts().back(), "Converted 2 records");
  EXPECT_EQ(ReadBack(File("03050407.dbf")).size(), 2u);
  EXPECT_EQ(ReadBack(File("03050400.dbf")).size(), 2u);
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Journal: weight rec_num=2 (machine 7) was not marked; record 1 of " + File("03050407.dbf") +
                          " holds it and is now its mark"),
            texts.end());
}

TEST_P(Conversion, ADamagedTemplateOrAnUnwritableFolderLeavesRowsUnmarkedAndSaysSo) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 1, 1, NULL, NULL)",
           "insert into weight values (2, 8, '2004-03-05', '10:00:00', 1, 1, NULL, NULL)"});
  // A template cut short in its header: it exists but does not open.
  const std::string tmpl = Share + "netw/gstru.dbf";
  test::WriteFile(tmpl, test::ReadFile(tmpl).substr(0, 40));
  Convert();
  EXPECT_EQ(Marks(), "NULL NULL ");
  auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "mopen " + File("03050407.dbf") + " - Error!"), 1);
  EXPECT_EQ(texts.back(), "Converted 0 records");
  bool named = false;
  for (const auto& t : texts) named = named || (t.find(tmpl) != std::string::npos && t.find("NOT FOUND") == std::string::npos);
  EXPECT_TRUE(named) << "the damage of the template is not in the log";

  // A good template, but the output folder can't hold files.
  platform::ForceDirectories(Dir.File("fresh"));
  RunPython("template '" + Dir.File("fresh/gstru.dbf") + "' '" + TemplateFields + "'");
  std::filesystem::remove(tmpl);
  std::filesystem::rename(Dir.File("fresh/gstru.dbf"), tmpl);
  std::filesystem::rename(Dir.File("fresh/gstru.fpt"), Share + "netw/gstru.fpt");
  std::filesystem::remove_all(Share + "netw/weight");
  test::WriteFile(Share + "netw/weight", "a file where the folder should be");
  Convert();
  EXPECT_EQ(Marks(), "NULL NULL ");
  texts = LogTexts();
  EXPECT_EQ(texts.back(), "Converted 0 records");
  EXPECT_EQ(texts[texts.size() - 2], "mopen " + File("03050408.dbf") + " - Error!");
}

// A template with a production index: every file the run makes carries the
// template's tags, each record in each tag, also after a record was taken
// back, as dbfcheck and an independent reader confirm.
TEST_P(Conversion, FilesOfAnIndexedTemplateKeepEveryTagInStep) {
  InsertSampleRows(Db);
  RefuseMarksOfRow2(Db);
  {
    // The template: python3-dbf's table, given tags by our engine.
    const std::string plain = Dir.File("plain.dbf");
    RunPython("template '" + plain + "' '" + TemplateFields + "'");
    CodeHandle code = code4initP();
    code4safety(code, 0);
    DbfHandle source = d4open(code, plain.c_str());
    ASSERT_NE(source, nullptr);
    FIELD4INFO* fields = d4fieldInfo(source);
    const TAG4INFO tags[] = {{"MDATE", "DTOS(DAT_E)+STR(MACHINE,3)", "", 0, 0},
                             {"RECNUM", "REC_NUM", "", 0, 0},
                             {"CHECKED", "UPPER(TIM_E)", "OK", 0, 0},
                             {nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_NE(d4create(code, (Share + "netw/gstru.dbf").c_str(), fields, tags), nullptr);
    u4freeDefault(fields);
    code4initUndoP(code);
    ASSERT_TRUE(platform::FileExists(Share + "netw/gstru.cdx"));
  }
  Convert();
  EXPECT_EQ(Marks(), "1 0 1 1 1 2 99 ");
  for (const std::string name : {"03050407.dbf", "03060407.dbf", "03050412.dbf", "03050400.dbf"}) {
    ASSERT_TRUE(platform::FileExists(File(name.substr(0, 8) + ".cdx"))) << name;
    std::ostringstream report;
    EXPECT_EQ(tools::CheckDbf(File(name), report), 0) << report.str();
    const std::string cmd = std::string(TIDEWELL_PYTHON) + " " + TIDEWELL_TEST_SOURCE_DIR +
                            "/../xbase/index/idxcheck.py '" + File(name.substr(0, 8) + ".cdx") + "' --dbf '" +
                            File(name) + "' > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
}

// Rows as real sites hold them: text rec_num values that are SQL, quotes and
// backslashes; rec_num NULL; a machine no file name can hold; a row deleted
// between the select and its mark. After two runs every other row is in
// exactly one record and marked with its number, no other row's mark moves,
// and the log names each row left behind once per run.
TEST_P(Conversion, RowsAreNamedSafelyWhateverTheirKeysHoldAndUnnameableRowsAreLeftAndNamed) {
  const bool maria = GetParam() == TScratchDatabase::Maria;
  RunPython("template '" + Share + "netw/gstru.dbf' 'MACHINE N(12,0); DAT_E D; TIM_E C(8); REC_NUM C(20); NOTE M'");
  Db.Exec({"drop table weight",
           "create table weight (id integer, rec_num varchar(20), machine bigint, dat_e date, tim_e varchar(8), "
           "note text, convtd integer)"});
  const std::string backslash = maria ? "back\\\\slash" : "back\\slash";
  Db.Exec({"insert into weight values (1, '1', 7, '2004-03-05', '08:00:00', 'plain', NULL)",
           "insert into weight values (2, '2 or 1=1', 7, '2004-03-05', '09:00:00', 'injection', NULL)",
           "insert into weight values (3, 'it''s', 7, '2004-03-05', '10:00:00', 'quote', NULL)",
           "insert into weight values (4, '" + backslash + "', 7, '2004-03-05', '11:00:00', 'backslash', NULL)",
           "insert into weight values (5, NULL, 7, '2004-03-05', '12:00:00', 'no rec_num', NULL)",
           "insert into weight values (6, '6', 99999999999, '2004-03-05', '08:00:00', 'huge machine', NULL)",
           "insert into weight values (7, 'gone', 9, '2004-03-05', '08:00:00', 'deleted meanwhile', NULL)",
           "insert into weight values (8, '2', 9, '2004-03-05', '09:00:00', 'after the deleted one', NULL)",
           "insert into weight values (9, '2', 3, '2004-03-05', '09:00:00', 'converted before', 99)"});
  // Once row 4 (the last of machine 7) is settled, row 7 has been read but
  // its mark not yet sent: it goes, so its update changes no row. (Deleted
  // on the run's own connection: the run holds its batch of marks in a
  // transaction, which an SQLite database keeps other writers out of.)
  K.AfterRow = [&](int rows) {
    if (rows == 4) TODBCStatement(MainOdbc.get(), false, true).ExecSQL("delete from weight where id = 7");
  };
  Convert();
  const auto marks = [&] {
    std::string m;
    for (const auto& v : Db.Column("select convtd from weight order by id")) m += v + " ";
    return m;
  };
  EXPECT_EQ(marks(), "1 2 3 4 NULL NULL 1 99 ");
  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 4u);
  EXPECT_EQ(m7[0].at("rec_num"), "1");
  EXPECT_EQ(m7[1].at("rec_num"), "2 or 1=1");
  EXPECT_EQ(m7[2].at("rec_num"), "it's");
  EXPECT_EQ(m7[3].at("rec_num"), "back\\slash");
  // The deleted row's record was taken back; the next row took its number.
  const auto m9 = ReadBack(File("03050409.dbf"));
  ASSERT_EQ(m9.size(), 1u);
  EXPECT_EQ(m9[0].at("note"), "after the deleted one");

  const std::string noRecNum =
      "Row of weight with machine 7, dat_e 2004-03-05, tim_e 12:00:00 has no rec_num; it can't be marked and stays "
      "unconverted";
  const std::string hugeMachine =
      "Row of weight with machine 99999999999, dat_e 2004-03-05, tim_e 08:00:00, rec_num 6: the machine is no file "
      "number; it stays unconverted";
  auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), noRecNum), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), hugeMachine), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Update of weight rec_num=gone changed no row; record 1 taken back from " + File("03050409.dbf")),
            1);
  EXPECT_EQ(texts.back(), "Converted 5 records");

  // The second run copies nothing again and names the two rows once more.
  K.AfterRow = nullptr;
  Convert();
  EXPECT_EQ(marks(), "1 2 3 4 NULL NULL 1 99 ");
  EXPECT_EQ(ReadBack(File("03050407.dbf")).size(), 4u);
  texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), noRecNum), 2);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), hugeMachine), 2);
  EXPECT_EQ(texts.back(), "Converted 0 records");
}

// Two rows sharing machine and rec_num are both marked by one update: the
// run says so with the count instead of passing over it.
TEST_P(Conversion, AMarkThatChangesSeveralRowsIsLoggedWithTheCount) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '08:00:00', 1, 1, 'first', NULL)",
           "insert into weight values (1, 7, '2004-03-05', '09:00:00', 2, 1, 'twin', NULL)"});
  Convert();
  const auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Update of weight rec_num=1 marked 2 rows (rows share machine and rec_num); record 1 kept in " +
                           File("03050407.dbf")),
            1);
  // Both rows were in the selection, so the twin is copied too; the mark
  // takes only unconverted rows, so it keeps the first's number, and its
  // record is kept: every row has a record, none twice.
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Update of weight rec_num=1 found the row marked 1 with the rows it shares its key with; "
                       "record 2 kept in " + File("03050407.dbf")),
            1);
  const auto records = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].at("note"), "twin");
  EXPECT_EQ(Marks(), "1 1 ");
}

// Marks travel in batches of many rows. Rows with text keys, one pair
// sharing its key, a multibyte memo now and then, more rows than two
// batches hold; rows deleted or marked by someone else after their records
// are written and before their marks are sent: at the front of a batch, at
// its end and in the middle of the last. Each refused record goes, the
// later ones move down a number, and their marks follow them: every row
// left is in exactly one record and marked with its number.
TEST_P(Conversion, BatchesOfMarksKeepEveryRowOnceThroughRefusalsInTheirMidst) {
  RunPython("template '" + Share + "netw/gstru.dbf' 'MACHINE N(12,0); DAT_E D; TIM_E C(8); REC_NUM C(20); NOTE M'");
  Db.Exec({"drop table weight",
           "create table weight (id integer, rec_num varchar(20), machine bigint, dat_e date, tim_e varchar(8), "
           "note text, convtd integer)"});
  const int rows = 2 * MaxMarksPerStatement + 190;
  std::string insert;
  for (int id = 1; id <= rows; ++id) {
    insert += insert.empty() ? "insert into weight values " : ",";
    const std::string recNum = id == 101 ? "r100" : Format("r%d", id);  // 100 and 101 share a key
    insert += Format("(%d, '%s', 7, '2004-03-05', '%02d:%02d:%02d', %s, NULL)", id, recNum, id / 3600, id / 60 % 60,
                     id % 60, id % 7 == 0 ? Format("'Größe %d – ok'", id) : std::string("NULL"));
  }
  Db.Exec({insert});
  const std::set<int> deleted{10, MaxMarksPerStatement, MaxMarksPerStatement + 44, rows - 1};
  const int markedElsewhere = 2 * MaxMarksPerStatement + 50;
  K.AfterWrite = [&](int records) {
    // On the run's own connection: an SQLite database keeps other writers
    // out of the run's open transaction.
    TODBCStatement other(MainOdbc.get(), false, true);
    if (deleted.count(records)) other.ExecSQL(Format("delete from weight where id = %d", records));
    if (records == markedElsewhere) other.ExecSQL(Format("update weight set convtd = 77 where id = %d", records));
  };
  Convert();
  K.AfterWrite = nullptr;

  std::vector<std::string> wantRecNums, wantMarks;
  int recNo = 0, twinsMark = 0;
  for (int id = 1; id <= rows; ++id) {
    if (deleted.count(id)) continue;
    if (id == markedElsewhere) {
      wantMarks.push_back("77");
      continue;
    }
    wantRecNums.push_back(id == 101 ? "r100" : Format("r%d", id));
    ++recNo;
    if (id == 100) twinsMark = recNo;
    wantMarks.push_back(std::to_string(id == 101 ? twinsMark : recNo));
  }
  const auto records = ReadBack(File("03050407.dbf"));
  std::vector<std::string> recNums;
  for (const auto& r : records) {
    recNums.push_back(r.at("rec_num"));
    EXPECT_EQ(r.at("_deleted"), "-") << r.at("rec_num");
  }
  EXPECT_EQ(recNums, wantRecNums);
  ASSERT_EQ(records.size(), wantRecNums.size());
  const auto r140 = std::find(recNums.begin(), recNums.end(), "r140") - recNums.begin();
  EXPECT_EQ(records[static_cast<size_t>(r140)].at("note"), "Größe 140 – ok");
  EXPECT_EQ(Db.Column("select convtd from weight order by id"), wantMarks);
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
  const auto texts = LogTexts();
  for (int id : deleted)
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [&](const std::string& t) {
                              return t.rfind(Format("Update of weight rec_num=r%d changed no row; record ", id), 0) == 0;
                            }),
              1)
        << id;
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [&](const std::string& t) {
                            return t.rfind(Format("Update of weight rec_num=r%d found the row already marked 77 by "
                                                  "someone else; record ",
                                                  markedElsewhere),
                                           0) == 0;
                          }),
            1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       Format("Update of weight rec_num=r100 found the row marked %d with the rows it shares its key "
                              "with; record %d kept in %s",
                              twinsMark, twinsMark + 1, File("03050407.dbf"))),
            1);
  EXPECT_EQ(texts.back(), Format("Converted %d records", static_cast<int>(wantRecNums.size())));
  // Nothing is left for the next run, and nothing is copied twice.
  Convert();
  EXPECT_EQ(ReadBack(File("03050407.dbf")).size(), wantRecNums.size());
  EXPECT_EQ(Db.Column("select convtd from weight order by id"), wantMarks);
}

// A server that lets no mark change once given (a trigger here) refuses the
// marks that must follow records moved after a refusal: nothing of the batch
// may then stay marked. The marks are rolled back, the run ends, and the
// next run settles the records from its notes: each row once.
TEST_P(Conversion, MarksThatCanNotFollowTheirMovedRecordsAreRolledBackAndSettledNextRun) {
  for (int id = 1; id <= 5; ++id)
    Db.Exec({Format("insert into weight values (%d, 7, '2004-03-05', '10:00:0%d', 1, 1, NULL, NULL)", id, id)});
  if (GetParam() == TScratchDatabase::Sqlite)
    Db.Exec({"create trigger final before update of convtd on weight when old.convtd > 0 and new.convtd <> old.convtd "
             "begin select raise(abort, 'marks are final'); end"});
  else
    Db.Exec({"create trigger final before update on weight for each row "
             "begin if old.convtd > 0 and new.convtd <> old.convtd then signal sqlstate '45000' set message_text = "
             "'marks are final'; end if; end"});
  // Row 1 goes once its record is written. On MariaDB another session
  // deletes it; an SQLite database keeps other writers out of the run, so
  // there the run's own connection does, and the rollback brings it back.
  const bool maria = GetParam() == TScratchDatabase::Maria;
  K.AfterWrite = [&](int records) {
    if (records != 1) return;
    if (maria)
      Db.Exec({"delete from weight where rec_num = 1"});
    else
      TODBCStatement(MainOdbc.get(), false, true).ExecSQL("delete from weight where rec_num = 1");
  };
  Convert();
  K.AfterWrite = nullptr;
  const auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Update of weight rec_num=2 refused the number of its moved record 1 in " + File("03050407.dbf") +
                           "; the marks since the last commit were rolled back and the next run settles them, run "
                           "ended"),
            1);
  EXPECT_EQ(Marks(), maria ? "NULL NULL NULL NULL " : "NULL NULL NULL NULL NULL ");
  // Records were kept, but no row is converted until their notes settle.
  EXPECT_EQ(K.FLastRowsMarked, 0);
  EXPECT_NE(LogTexts().back(), "Converted 0 records");
  Convert();
  // Every row is in exactly one record, and its mark names it.
  const auto records = ReadBack(File("03050407.dbf"));
  const auto recNums = Db.Column("select rec_num from weight order by rec_num");
  const auto marks = Db.Column("select convtd from weight order by rec_num");
  ASSERT_EQ(records.size(), recNums.size());
  for (size_t i = 0; i < recNums.size(); ++i) {
    const size_t at = static_cast<size_t>(std::stoi(marks[i]));
    ASSERT_TRUE(at >= 1 && at <= records.size()) << marks[i];
    EXPECT_EQ(records[at - 1].at("rec_num"), recNums[i] + ".0");
    EXPECT_EQ(records[at - 1].at("_deleted"), "-");
  }
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// The share fills up while a batch of records is gathered: a write the
// engine makes on its own (a batch of appends grown old) fails, and later
// appends take the numbers of the records it lost. No mark of the batch
// may go out then; with room again, every row is in exactly one record.
TEST_P(Conversion, AShareThatFillsUpMidBatchMarksNoRecordItLost) {
  const std::string folder = Share + "netw/weight";
  if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=256k tmpfs '" + folder + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a small file system for the share needs root";
  struct TUnmount {
    std::string Dir;
    ~TUnmount() { std::system(("umount '" + Dir + "'").c_str()); }
  } unmount{folder};
  std::string insert;
  const int rows = 1500;
  for (int id = 1; id <= rows; ++id)
    insert += Format("%s(%d, 7, '2004-03-05', '%02d:%02d:%02d', 1, 1, '%s', NULL)",
                     insert.empty() ? "insert into weight values " : ",", id, id / 3600, id / 60 % 60, id % 60,
                     std::string(400, static_cast<char>('a' + id % 26)));
  Db.Exec({insert});
  K.MarkBatchRows = 1 << 20;  // the batch lasts until the journal's commit is due
  Convert();
  const auto texts = LogTexts();
  EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                         [](const std::string& t) { return t.rfind("Could not write record", 0) == 0; }),
            texts.end());
  K.MarkBatchRows = MaxMarksPerStatement;
  ASSERT_EQ(std::system(("mount -o remount,size=64m '" + folder + "'").c_str()), 0);
  for (int run = 0; run < 3; ++run) Convert();
  EXPECT_EQ(Db.Column("select count(*) from weight where ifnull(convtd,0)=0"), std::vector<std::string>{"0"});
  const auto records = ReadBack(File("03050407.dbf"));
  const auto marks = Db.Column("select convtd from weight order by rec_num");
  ASSERT_EQ(records.size(), static_cast<size_t>(rows));
  for (int id = 1; id <= rows; ++id) {
    const size_t at = static_cast<size_t>(std::stoi(marks[static_cast<size_t>(id - 1)]));
    ASSERT_TRUE(at >= 1 && at <= records.size()) << id;
    EXPECT_EQ(records[at - 1].at("rec_num"), std::to_string(id) + ".0") << id;
  }
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// Texts as sites hold them: UTF-8 that fills its column (more bytes than the
// column has characters), a multibyte memo beyond 254 characters, a field
// narrower than its text, a character the table's code page (cp1252) lacks,
// and a BIT(1) flag. Every text arrives whole or cut at a character, never
// inside one, as the independent readers and dbfcheck see the file.
TEST_P(Conversion, TextsArriveWholeAndCutsCountCharacters) {
  RunPython("template '" + Share +
            "netw/gstru.dbf' 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); NAME C(10); SHORT C(4); "
            "NOTE M; FLAG L'");
  Db.Exec({"drop table weight",
           "create table weight (rec_num integer, machine integer, dat_e date, tim_e varchar(8), name varchar(10), "
           "short varchar(10), note text, flag bit(1), convtd integer)" +
               std::string(GetParam() == TScratchDatabase::Maria ? " default charset=utf8mb4" : "")});
  std::string memo;
  for (int i = 0; i < 100; ++i) memo += "äöü";  // 300 characters, 600 bytes
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '08:00:00', 'Müllerßäöü', 'ßäöüx', '" + memo +
               "', 1, NULL)",
           "insert into weight values (2, 7, '2004-03-05', '09:00:00', 'Ωmega', '€uro', 'naïve', 0, NULL)"});
  Convert();
  EXPECT_EQ(Marks(), "1 2 ");
  const auto records = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("name"), "Müllerßäöü");
  EXPECT_EQ(records[0].at("short"), "ßäöü");
  std::string cut;
  for (int i = 0; i < 254; ++i) cut += memo.substr(static_cast<size_t>(i % 3) * 2, 2);
  EXPECT_EQ(records[0].at("note"), cut);
  EXPECT_EQ(records[0].at("flag"), "T");
  EXPECT_EQ(records[1].at("name"), "?mega");  // cp1252 has no omega
  EXPECT_EQ(records[1].at("short"), "€uro");
  EXPECT_EQ(records[1].at("note"), "naïve");
  EXPECT_EQ(records[1].at("flag"), "F");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// A memo file cut short: the record whose memo can't be stored is taken
// back, its row and the rest of its group stay unmarked with one line, and
// the next group is converted.
TEST_P(Conversion, ARecordWhoseMemoCanNotBeStoredEndsItsGroupOnly) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '07:00:00', 1, 1, NULL, NULL)"});
  Convert();
  ASSERT_EQ(Marks(), "1 ");
  std::filesystem::resize_file(File("03050407.fpt"), 100);
  Db.Exec({"insert into weight values (2, 7, '2004-03-05', '08:00:00', 2, 1, 'a memo with nowhere to go', NULL)",
           "insert into weight values (3, 7, '2004-03-05', '09:00:00', 3, 1, NULL, NULL)",
           "insert into weight values (4, 8, '2004-03-05', '10:00:00', 4, 1, 'memo of machine 8', NULL)"});
  Convert();
  EXPECT_EQ(Marks(), "1 NULL NULL 1 ");
  const auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Could not write a record of " + File("03050407.dbf") +
                           "; rec_num=2 of weight and the rest of its group stay unconverted"),
            1);
  EXPECT_EQ(texts.back(), "Converted 1 records");
  // The taken-back record is gone (the readers refuse the cut memo file).
  xbase::TableOptions readOnly;
  readOnly.read_only = true;
  EXPECT_EQ(xbase::Table::Open(File("03050407.dbf"), readOnly)->record_count(), 1u);
  const auto m8 = ReadBack(File("03050408.dbf"));
  ASSERT_EQ(m8.size(), 1u);
  EXPECT_EQ(m8[0].at("note"), "memo of machine 8");
}

// The byte a program of the table's flavour locks to append to it.
xbase::LockRange AppendLockOf(const std::string& path) {
  xbase::TableOptions options;
  options.read_only = true;
  auto table = xbase::Table::Open(path, options);
  const bool cdx = table && (table->header().table_flags & 0x01) && xbase::FindCompanionFile(path, ".cdx");
  return xbase::LockScheme::ForTable(table ? table->header().FlavorOfVersion() : xbase::Flavor::kDbase3, cdx)
      .Header();
}

// Another program keeps a file locked: after the waits its group stays
// unmarked (one line) and the next group is converted; a stop request
// ends such a wait at once.
TEST_P(Conversion, AFileLockedByAnotherProgramEndsItsGroupOnlyAndAStopEndsTheWait) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '07:00:00', 1, 1, NULL, NULL)"});
  Convert();
  ASSERT_EQ(Marks(), "1 ");
  Db.Exec({"insert into weight values (2, 7, '2004-03-05', '08:00:00', 2, 1, 'locked out', NULL)",
           "insert into weight values (3, 8, '2004-03-05', '09:00:00', 3, 1, 'next group', NULL)"});
  std::string error;
  auto other = xbase::OsFile::Open(File("03050407.dbf"), xbase::OsFile::Access::kReadWrite, &error);
  ASSERT_NE(other, nullptr) << error;
  const xbase::LockRange append = AppendLockOf(File("03050407.dbf"));
  ASSERT_TRUE(other->Lock(append.offset, append.length, true, 0));
  Convert();
  EXPECT_EQ(Marks(), "1 NULL 1 ");
  auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Could not write a record of " + File("03050407.dbf") +
                           "; rec_num=2 of weight and the rest of its group stay unconverted"),
            1);
  EXPECT_EQ(ReadBack(File("03050408.dbf")).size(), 1u);

  Db.Exec({"insert into weight values (4, 9, '2004-03-05', '09:00:00', 4, 1, NULL, NULL)"});
  // The stop comes once the run is at the locked file, waiting or about to.
  const auto atLockedFile = [&] {
    const auto t = LogTexts();
    return std::count(t.begin(), t.end(), "Working on " + File("03050407.dbf"));
  };
  const auto visits = atLockedFile();
  std::thread stopper([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (atLockedFile() == visits && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    K.StopRequested = true;
  });
  const auto started = std::chrono::steady_clock::now();
  Convert();
  const auto took = std::chrono::steady_clock::now() - started;
  stopper.join();
  K.StopRequested = false;
  // The lock would hold the run for 20 s; the stop ends the wait at once.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(atLockedFile(), visits + 1);
  EXPECT_EQ(Marks(), "1 NULL 1 NULL ");
  other->Unlock(append.offset, append.length);
  other.reset();
  Convert();
  EXPECT_EQ(Marks(), "1 2 1 1 ");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// A backlog is taken in slices. Rows the run leaves unconverted (no
// rec_num, a refused mark) stay in the selection before every later slice:
// whatever the slice size, each other row is copied exactly once, the left
// rows are named once, and the run ends.
TEST_P(Conversion, SlicesOfAnySizeCopyEveryRowOnceAndStepOverRowsLeftBehind) {
  InsertSampleRows(Db);
  Db.Exec({"insert into weight values (NULL, 7, '2004-03-05', '08:30:00', 8, 1, 'no rec_num', NULL)"});
  RefuseMarksOfRow2(Db);
  for (const int slice : {1, 2, 3, 100}) {
    SCOPED_TRACE("slice of " + std::to_string(slice));
    std::filesystem::remove_all(Share + "netw/weight");
    platform::ForceDirectories(Share + "netw/weight");
    Db.Exec({"update weight set convtd=NULL where rec_num<>2 and rec_num<>7"});
    const size_t linesBefore = LogTexts().size();
    K.SliceRows = slice;
    Convert();
    EXPECT_EQ(Marks(), "NULL 1 0 1 1 1 2 99 ");
    const auto m7 = ReadBack(File("03050407.dbf"));
    ASSERT_EQ(m7.size(), 1u);
    EXPECT_EQ(m7[0].at("rec_num"), "1.0");
    EXPECT_EQ(ReadBack(File("03060407.dbf")).size(), 1u);
    EXPECT_EQ(ReadBack(File("03050400.dbf")).size(), 2u);
    auto texts = LogTexts();
    texts.erase(texts.begin(), texts.begin() + static_cast<long>(linesBefore));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Found weight records to convert..."), 1);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("has no rec_num") != std::string::npos; }),
              1);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("rec_num=2 failed") != std::string::npos; }),
              1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Working on " + File("03050407.dbf")), 1);
    EXPECT_EQ(texts.back(), "Converted 5 records");
  }
}

// Another converter (one that takes no lock, or writes to another share)
// marks a row between this run's select and its mark: the mark takes no
// row, the record goes again, and one line says who had the row.
TEST_P(Conversion, ARowMarkedBySomeoneElseMeanwhileIsRefusedAndItsRecordTakenBack) {
  InsertSampleRows(Db);
  // Rows go 5, 6, 2, 1, 3, 4; row 1 is marked 77 just after row 2 is.
  if (GetParam() == TScratchDatabase::Sqlite) {
    Db.Exec({"create trigger other after update of convtd on weight when new.rec_num = 2 and new.convtd > 0 "
             "begin update weight set convtd = 77 where rec_num = 1; end"});
  } else {
    // Row 1 is marked once its record is written, before its mark is sent.
    // The run's open batch holds the rows it marked; the other converter
    // passes them, as a converter's own batch does.
    K.AfterWrite = [this](int records) {
      if (records == 4)
        Db.Exec({"set session transaction isolation level read committed",
                 "update weight set convtd = 77 where rec_num = 1"});
    };
  }
  Convert();
  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 1u);  // row 1's record, the last, is gone
  EXPECT_EQ(m7[0].at("rec_num"), "2.0");
  EXPECT_EQ(m7[0].at("_deleted"), "-");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
  EXPECT_EQ(Marks(), "77 1 1 1 1 2 99 ");
  const auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Update of weight rec_num=1 found the row already marked 77 by someone else; record 2 taken "
                       "back from " + File("03050407.dbf")),
            1);
  EXPECT_EQ(texts.back(), "Converted 5 records");
  // Nothing is left for the next run, and nothing is copied twice.
  Convert();
  EXPECT_EQ(ReadBack(File("03050407.dbf")).size(), 1u);
  EXPECT_EQ(Marks(), "77 1 1 1 1 2 99 ");
}

// Another converter's locks: the lock file on the share, the one beside
// the journal, and (MariaDB) the database's named lock. Each held one makes
// the run leave the table alone for the cycle, with one line naming the
// holder; the run holds the database lock while it works and lets it go.
TEST_P(Conversion, AnotherConvertersLockMakesTheRunSkipTheTableWithOneLine) {
  InsertSampleRows(Db);
  const auto skips = [this] {
    int n = 0;
    for (const auto& t : LogTexts()) n += t.find("weight is being converted by another converter") != std::string::npos;
    return n;
  };
  {
    platform::TLockFile other;
    ASSERT_EQ(other.TryLock(File(".tidewell-weight.lock"), "host far, pid 4711, /opt/tidewell, since then"),
              platform::TLockFile::lsTaken);
    Convert();
    EXPECT_EQ(LogTexts().back(),
              "weight is being converted by another converter (host far, pid 4711, /opt/tidewell, since then); "
              "this cycle skips it");
    EXPECT_EQ(skips(), 1);
    // Nothing of the table was touched, its journal included.
    EXPECT_FALSE(std::filesystem::exists(Dir.File("journal")));
    EXPECT_FALSE(std::filesystem::exists(File("03050407.dbf")));
    EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
  }
  {
    platform::ForceDirectories(Dir.File("journal"));
    platform::TLockFile sameFolder;
    ASSERT_EQ(sameFolder.TryLock(Dir.File("journal/weight.lock"), "host near, pid 12"), platform::TLockFile::lsTaken);
    Convert();
    EXPECT_EQ(skips(), 2);
    EXPECT_NE(LogTexts().back().find("(host near, pid 12)"), std::string::npos);
    EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
  }
  const std::string lockName = TConverterLock::DatabaseLockName(Db.Name(), "weight");
  if (GetParam() == TScratchDatabase::Maria) {
    TODBC other;
    ASSERT_TRUE(other.Connect("", Db.User(), Db.Password(), Db.Name(), false, Db.Driver(), Db.Extra()));
    TODBCStatement st(&other, true, false);
    ASSERT_TRUE(st.ExecSQLParams("select get_lock(?, 0) as v, connection_id() as id", {lockName}));
    ASSERT_EQ(st.FieldAsString("v"), "1");
    const std::string id = st.FieldAsString("id");
    Convert();
    EXPECT_EQ(skips(), 3);
    EXPECT_EQ(LogTexts().back(), "weight is being converted by another converter (database connection " + id +
                                     " holds the lock " + lockName + "); this cycle skips it");
    EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
  }
  // Alone, the run converts; on MariaDB it holds the lock while it works.
  std::vector<std::string> heldDuringRun;
  K.AfterRow = [&](int rows) {
    if (rows == 1 && GetParam() == TScratchDatabase::Maria)
      heldDuringRun = Db.Column("select is_free_lock('" + lockName + "')");
  };
  Connect();
  K.ConvertTables(true);
  if (GetParam() == TScratchDatabase::Maria) {
    EXPECT_EQ(heldDuringRun, std::vector<std::string>{"0"});
    TODBCStatement st(MainOdbc.get(), true, false);
    ASSERT_TRUE(st.ExecSQLParams("select is_used_lock(?) as v", {lockName}));
    EXPECT_EQ(st.FieldAsString("v"), "");  // released at the end of the run, before the cycle disconnects
  }
  K.CloseDatabase();
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(skips(), GetParam() == TScratchDatabase::Maria ? 3 : 2);
  // The lock files stay, naming the last holder.
  EXPECT_NE(test::ReadFile(File(".tidewell-weight.lock")).find(", pid " + std::to_string(platform::ProcessId()) + ", "),
            std::string::npos);
}

// The one read-back path tells a row's mark from a missing row, and both
// from a failed statement and from a lost link; marks count their rows.
TEST_P(Conversion, MarksCountTheirRowsAndReadBacksSayWhatTheyFound) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 1, 1, NULL, 5)",
           "insert into weight values (3, NULL, '2004-03-05', '10:00:00', 1, 1, NULL, NULL)"});
  Connect();
  TODBCStatement s(MainOdbc.get(), false, false);
  TRowKey key;
  key.Machine = 7;
  key.MachineNull = false;
  key.MachineValue = "7";
  key.RecNum = "1";
  TReadBack back = ReadRowMark(s, "weight", key);
  EXPECT_EQ(back.State, rbFound);
  EXPECT_EQ(back.Convtd, 5);
  // A mark takes only an unconverted row: one marked already keeps its
  // mark, and only the mark a row holds is taken back.
  TMarkResult mark = MarkRow(s, "weight", key, 8);
  EXPECT_TRUE(mark.Executed);
  EXPECT_EQ(mark.Rows, 0);
  EXPECT_EQ(ReadRowMark(s, "weight", key).Convtd, 5);
  EXPECT_EQ(UnmarkRow(s, "weight", key, 8).Rows, 0);
  EXPECT_EQ(ReadRowMark(s, "weight", key).Convtd, 5);
  EXPECT_EQ(UnmarkRow(s, "weight", key, 5).Rows, 1);
  mark = MarkRow(s, "weight", key, 8);
  EXPECT_EQ(mark.Rows, 1);
  ASSERT_TRUE(SelectRow(s, "weight", key));
  EXPECT_EQ(s.FieldAsInteger("convtd"), 8);

  key.RecNum = "2";
  EXPECT_EQ(ReadRowMark(s, "weight", key).State, rbGone);
  mark = MarkRow(s, "weight", key, 9);
  EXPECT_TRUE(mark.Executed);
  EXPECT_EQ(mark.Rows, 0);
  EXPECT_FALSE(SelectRow(s, "weight", key));

  // Machine 0 names the NULL machine too.
  key = TRowKey{};
  key.RecNum = "3";
  EXPECT_EQ(MarkRow(s, "weight", key, 4).Rows, 1);

  // Many rows in one statement: each takes its number only while it holds
  // what its request says; the read-back names every key's marks, a key
  // asked twice included, and a key no row has gets none.
  TRowKey seven = TRowKey{};
  seven.Machine = 7;
  seven.MachineNull = false;
  seven.MachineValue = "7";
  seven.RecNum = "1";
  TRowKey gone = seven;
  gone.RecNum = "2";
  const TRowKey nullMachine = key;  // rec_num 3, marked 4 above
  mark = MarkRows(s, "weight", {{&seven, 10, 8}, {&nullMachine, 11, 0}, {&gone, 12, 0}});
  EXPECT_TRUE(mark.Executed);
  EXPECT_EQ(mark.Rows, 1);
  TReadBacks backs = ReadRowMarks(s, "weight", {&seven, &nullMachine, &gone, &seven});
  ASSERT_EQ(backs.State, rbFound);
  EXPECT_EQ(backs.Marks, (std::vector<std::vector<std::int32_t>>{{10}, {4}, {}, {10}}));
  // A row holding another number than the request says is left alone.
  EXPECT_EQ(MarkRows(s, "weight", {{&seven, 13, 8}}).Rows, 0);
  EXPECT_EQ(ReadRowMarks(s, "weight", {&seven}).Marks, (std::vector<std::vector<std::int32_t>>{{10}}));
  EXPECT_EQ(MarkRows(s, "weight", {{&seven, 8, 10}}).Rows, 1);
  EXPECT_EQ(ReadRowMarks(s, "no_such_table", {&seven}).State, rbFailed);

  EXPECT_EQ(ReadRowMark(s, "no_such_table", key).State, rbFailed);
  EXPECT_FALSE(MainOdbc->ConnectionLost);
  if (GetParam() == TScratchDatabase::Maria) {
    TODBCStatement id(MainOdbc.get(), true, false);
    ASSERT_TRUE(id.ExecSQL("select connection_id() as id"));
    Db.Exec({"kill " + id.FieldAsString("id")});
    EXPECT_EQ(ReadRowMark(s, "weight", key).State, rbLinkLost);
    EXPECT_TRUE(MainOdbc->ConnectionLost);
    EXPECT_EQ(ReadRowMarks(s, "weight", {&key}).State, rbLinkLost);
  }
  K.CloseDatabase();
  EXPECT_EQ(Marks(), "8 4 ");
}

// What a read-back means is one reading for a run's batch and for the next
// run's recovery: a NULL and a 0 are both unconverted, a key whose rows hold
// another number and no mark is someone else's yet still leaves a row in the
// set, and an earlier record's number held by rows sharing a key is a twin.
TEST_P(Conversion, AReadBackOfMarksReadsTheSameForARunAndForItsRecovery) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 1, 1, NULL, NULL)",
           "insert into weight values (2, 7, '2004-03-05', '10:00:00', 1, 1, NULL, 0)",
           "insert into weight values (3, 7, '2004-03-05', '10:00:00', 1, 1, NULL, 6)",
           "insert into weight values (3, 7, '2004-03-05', '10:00:01', 1, 1, NULL, 0)",
           "insert into weight values (4, 7, '2004-03-05', '10:00:00', 1, 1, NULL, 9)",
           "insert into weight values (4, 7, '2004-03-05', '10:00:01', 1, 1, NULL, 9)"});
  Connect();
  TODBCStatement s(MainOdbc.get(), false, false);
  std::vector<TRowKey> keys(5);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = test::NumberKeyNote(7, std::to_string(i + 1), "", 0).Key;
  for (int i : {0, 1}) {
    const TMarkReading r = ReadingOf(ReadRowMark(s, "weight", keys[i]), 9);
    EXPECT_EQ(r.State, msUnconverted) << keys[i].RecNum;
    EXPECT_TRUE(r.AnyUnconverted);
  }
  EXPECT_EQ(ReadingOf(ReadRowMark(s, "weight", keys[4]), 9).State, msGone);
  EXPECT_EQ(ReadingOf(ReadRowMark(s, "no_such_table", keys[0]), 9).State, msFailed);

  const TReadBacks backs = ReadRowMarks(s, "weight", {&keys[0], &keys[2], &keys[3], &keys[4]});
  ASSERT_EQ(backs.State, rbFound);
  TMarkReading r = ReadingOf(backs.State, backs.Marks[1], 8);
  EXPECT_EQ(r.State, msElsewhere);
  EXPECT_EQ(r.Other, 6);
  EXPECT_TRUE(r.AnyUnconverted);  // the rest of the key stays in the set
  r = ReadingOf(backs.State, backs.Marks[1], 6);
  EXPECT_EQ(r.State, msOwn);
  EXPECT_EQ(r.Own, 1);
  r = ReadingOf(backs.State, backs.Marks[2], 9);
  EXPECT_EQ(r.State, msOwn);
  EXPECT_EQ(r.Own, 2);  // rows sharing the key took one mark
  EXPECT_EQ(ReadingOf(backs.State, backs.Marks[2], 10, 9).State, msTwin);
  EXPECT_EQ(ReadingOf(backs.State, backs.Marks[2], 10).State, msElsewhere);
  EXPECT_EQ(ReadingOf(backs.State, backs.Marks[3], 9).State, msGone);
  K.CloseDatabase();
}

// A DATETIME before 1899-12-30 keeps its day when it has a time of day: in
// the file name (by dat_e) and in a date field (from another DATETIME).
TEST_P(Conversion, DateTimesBeforeDayZeroLandOnTheirOwnDay) {
  const std::string tmpl = Share + "netw/gstru.dbf";
  std::filesystem::remove(tmpl);
  std::filesystem::remove(Share + "netw/gstru.fpt");
  RunPython("template '" + tmpl + "' 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); STAMP D; NOTE M'");
  const bool maria = GetParam() == TScratchDatabase::Maria;
  Db.Exec({"drop table weight",
           std::string("create table weight (rec_num integer, machine integer, dat_e datetime, tim_e varchar(8), "
                       "stamp ") +
               (maria ? "datetime" : "timestamp") + ", convtd integer)",
           "insert into weight values (1, 1, '1000-01-01 10:00:00', '10:00:00', '1899-12-29 18:00:00', NULL)",
           "insert into weight values (2, 1, '1899-12-29 18:00:00', '18:00:00', '1000-01-01 10:00:00', NULL)",
           "insert into weight values (3, 1, '1899-12-30 06:00:00', '06:00:00', '1899-12-28 23:59:59', NULL)"});
  Convert();
  const auto old = ReadBack(File("01010001.dbf"));
  ASSERT_EQ(old.size(), 1u);
  EXPECT_EQ(old[0].at("dat_e"), "10000101");
  EXPECT_EQ(old[0].at("stamp"), "18991229");
  const auto eve = ReadBack(File("12299901.dbf"));
  ASSERT_EQ(eve.size(), 1u);
  EXPECT_EQ(eve[0].at("dat_e"), "18991229");
  EXPECT_EQ(eve[0].at("stamp"), "10000101");
  const auto dayZero = ReadBack(File("12309901.dbf"));
  ASSERT_EQ(dayZero.size(), 1u);
  EXPECT_EQ(dayZero[0].at("dat_e"), "18991230");
  EXPECT_EQ(dayZero[0].at("stamp"), "18991228");
  EXPECT_FALSE(std::filesystem::exists(File("01020001.dbf")));
  EXPECT_EQ(Marks(), "1 1 1 ");
}

// A number too wide for its field is kept as the format keeps it and its row
// is marked; every such row is named in the log, with field, value and width.
TEST_P(Conversion, ANumberTooWideForItsFieldNamesItsRowEachTime) {
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 99999999.99, 1, NULL, NULL)",
           "insert into weight values (2, 7, '2004-03-05', '11:00:00', 12345678.5, 1, NULL, NULL)",
           "insert into weight values (3, 7, '2004-03-05', '12:00:00', 1.5, 1, NULL, NULL)",
           "insert into weight values (4, 8, '2004-03-05', '10:00:00', -9999999.99, 1, NULL, NULL)"});
  Convert();
  EXPECT_EQ(Marks(), "1 2 3 1 ");
  const auto texts = LogTexts();
  const auto line = [&](const char* machine, const char* recNum, const char* value, const std::string& file) {
    return std::string("Row of weight with machine ") + machine + ", rec_num " + recNum + ": value " + value +
           " does not fit field WEIGHT of " + File(file) + " (10 wide, 2 decimals); stored as asterisks";
  };
  EXPECT_EQ(std::count(texts.begin(), texts.end(), line("7", "1", "99999999.99", "03050407.dbf")), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), line("7", "2", "12345678.50", "03050407.dbf")) +
                std::count(texts.begin(), texts.end(), line("7", "2", "12345678.5", "03050407.dbf")),
            1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), line("8", "4", "-9999999.99", "03050408.dbf")), 1);
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.find("stored as asterisks") != std::string::npos; }),
            3);
  // The records are there, the one that fits as it came.
  auto table = xbase::Table::Open(File("03050407.dbf"), {});
  ASSERT_TRUE(table);
  ASSERT_EQ(table->record_count(), 3u);
  ASSERT_TRUE(table->Go(3));
  EXPECT_EQ(table->Value(table->FindField("WEIGHT")), "1.50");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// A table without a code page stores texts as they come, in bytes: a UTF-8
// text wider than its field is cut at the last character that fits whole.
TEST_P(Conversion, ATableWithoutACodePageGetsNoHalfCharacters) {
  const std::string tmpl = Share + "netw/gstru.dbf";
  std::filesystem::remove(tmpl);
  std::filesystem::remove(Share + "netw/gstru.fpt");
  RunPython("template '" + tmpl + "' 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); NOTE C(5); REMARK M'");
  std::string header = test::ReadFile(tmpl);
  header[29] = 0;  // no code page
  test::WriteFile(tmpl, header);
  Db.Exec({"insert into weight values (1, 7, '2004-03-05', '10:00:00', 1, 1, 'äääx', NULL)",
           "insert into weight values (2, 7, '2004-03-05', '11:00:00', 1, 1, 'aäää', NULL)"});
  Convert();
  EXPECT_EQ(Marks(), "1 2 ");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
  CodeHandle code = code4initP();
  DbfHandle file = d4open(code, File("03050407.dbf").c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(d4go(file, 1), 0);
  EXPECT_EQ(f4str(d4field(file, "NOTE")), "ää");  // 4 of 5 bytes: the third ä would not fit
  ASSERT_EQ(d4go(file, 2), 0);
  EXPECT_EQ(f4str(d4field(file, "NOTE")), "aää");  // 5 bytes exactly
  d4close(file);
  code4initUndoP(code);
}

// The fingerprint the conversion notes for record `recNo` of a file.
std::uint64_t FingerprintOf(const std::string& path, long recNo) {
  CodeHandle code = code4initP();
  DbfHandle data = d4open(code, path.c_str());
  EXPECT_NE(data, nullptr) << path;
  std::uint64_t fp = 0;
  if (data) {
    FIELD4INFO* fields = d4fieldInfo(data);
    EXPECT_EQ(d4go(data, recNo), r4success);
    fp = RecordFingerprint(data, fields);
    u4freeDefault(fields);
  }
  code4close(code);
  code4initUndoP(code);
  return fp;
}

// What a power cut can do to a file: its last records never reached the disk.
void KeepFirstRecords(const std::string& path, uint32_t count) {
  std::string bytes = test::ReadFile(path);
  const auto u16 = [&](size_t at) { return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8; };
  const size_t header = u16(8), record = u16(10);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>(count >> (8 * i));
  test::WriteFile(path, bytes.substr(0, header + count * record) + "\x1a");
}

TJournalEntry Noted(int machine, const std::string& recNum, const std::string& file, long recNo, std::uint64_t fp) {
  return test::NumberKeyNote(machine, recNum, file, recNo, fp);
}

// Each way an interrupted run can leave a noted row, settled by the next
// run before it selects: the row ends in exactly one record with its number.
TEST_P(Conversion, TheNextRunSettlesEveryNoteAnInterruptedRunLeft) {
  InsertSampleRows(Db);
  Convert();
  ASSERT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  const std::string m7 = File("03050407.dbf"), m7next = File("03060407.dbf"), m12 = File("03050412.dbf"),
                    m0 = File("03050400.dbf");
  Db.Exec({"update weight set convtd=NULL where rec_num=1",
           "insert into weight values (8, 12, '2004-03-05', '12:00:00', 8, 1, 'eighth', NULL)"});
  const std::uint64_t row6 = FingerprintOf(m0, 2);
  KeepFirstRecords(m0, 1);
  {
    TJournal j(K.JournalPath("weight"));
    std::vector<TJournalEntry> notes{
        Noted(7, "1", m7, 2, FingerprintOf(m7, 2)),  // its mark was lost: the record is its copy
        Noted(7, "3", m7next, 1, FingerprintOf(m7next, 1)),  // marked and kept
        Noted(7, "2", m7, 3, 0),                     // marked with another record
        Noted(12, "8", m12, 2, 1234),                // killed before its record was written
        Noted(0, "6", m0, 2, row6),                  // marked, but the record went with a power cut
        Noted(5, "55", m7, 1, 0)};                   // the row was deleted since
    for (auto& e : notes) ASSERT_TRUE(j.Note(e));
    ASSERT_TRUE(j.FileOpened(m12));
  }
  const size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  texts.erase(texts.begin(), texts.begin() + static_cast<long>(before));
  // Every note is settled, and said so in a line, before the select.
  const auto found = std::find(texts.begin(), texts.end(), "Found weight records to convert...");
  ASSERT_NE(found, texts.end());
  const std::vector<std::string> settling(texts.begin(), found);
  EXPECT_EQ(Naming(settling, m12), 2) << "checked, and the note of row 8";
  for (const char* row : {"weight rec_num=1 (machine 7)", "weight rec_num=3 (machine 7)", "weight rec_num=2 (machine 7)",
                          "weight rec_num=8 (machine 12)", "weight rec_num=6 (machine 0)",
                          "weight rec_num=55 (machine 5)"})
    EXPECT_EQ(Naming(settling, row), 1) << row;
  EXPECT_EQ(texts.back(), "Converted 2 records");

  // Row 1's mark is its record again and row 3's stays; row 2's other mark
  // stays; rows 6 and 8 were copied; nothing else was touched or copied
  // twice, and the deleted row's record is left as it was.
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 2 ");
  const auto zero = ReadBack(m0), twelve = ReadBack(m12), seven = ReadBack(m7), sevenNext = ReadBack(m7next);
  ASSERT_EQ(zero.size(), 2u);
  EXPECT_EQ(zero[1].at("rec_num"), "6.0");
  ASSERT_EQ(twelve.size(), 2u);
  EXPECT_EQ(twelve[1].at("rec_num"), "8.0");
  ASSERT_EQ(seven.size(), 2u);
  EXPECT_EQ(seven[0].at("rec_num"), "2.0");
  EXPECT_EQ(seven[0].at("_deleted"), "-");
  EXPECT_EQ(seven[1].at("rec_num"), "1.0");
  ASSERT_FALSE(sevenNext.empty());
  EXPECT_EQ(sevenNext[0].at("rec_num"), "3.0");
  for (const auto& path : {m0, m7, m12}) {
    std::ostringstream report;
    EXPECT_EQ(tools::CheckDbf(path, report), 0) << path << ": " << report.str();
  }
  EXPECT_EQ(test::ReadFile(K.JournalPath("weight")), "");  // nothing left to settle
}

// A note whose row the server can't be asked about stays, and the run does
// not select: copying its row now could copy it twice.
TEST_P(Conversion, ANoteTheServerCannotSettleStaysAndTheRunEndsBeforeItsSelect) {
  InsertSampleRows(Db);
  Convert();
  Db.Exec({"update weight set convtd=NULL where rec_num=1"});
  {
    TJournal j(K.JournalPath("weight"));
    TJournalEntry e = Noted(7, "1", File("03050407.dbf"), 2, FingerprintOf(File("03050407.dbf"), 2));
    ASSERT_TRUE(j.Note(e));
  }
  const size_t before = LogTexts().size();
  Connect();
  MainOdbc->ConnectionLost = true;
  K.ConvertTables(true);
  K.CloseDatabase();
  auto texts = LogTexts();
  const std::vector<std::string> run(texts.begin() + static_cast<long>(before), texts.end());
  ASSERT_EQ(run.size(), 1u);  // the line that says so, and no select
  EXPECT_EQ(Naming(run, "weight rec_num=1 (machine 7)"), 1) << run[0];
  EXPECT_EQ(Marks(), "NULL 1 1 1 1 2 99 ");  // not selected, so not copied again
  TJournal left(K.JournalPath("weight"));
  ASSERT_TRUE(left.Load());
  EXPECT_EQ(left.Pending().size(), 1u);

  // With the server back, the note is settled: the record it named is the
  // row's copy.
  Convert();
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(ReadBack(File("03050407.dbf")).size(), 2u);
}

// A share that is away holds no file, which says nothing of the records it
// holds: while the table's folder or the whole share is missing the notes
// stay and nothing is copied; once it is back each row is in one record.
TEST_P(Conversion, NotesStayWhileTheTablesFolderOrTheShareIsAway) {
  InsertSampleRows(Db);
  Convert();
  const std::string m7 = File("03050407.dbf");
  Db.Exec({"update weight set convtd=NULL where rec_num=1"});
  {
    TJournal j(K.JournalPath("weight"));
    TJournalEntry marked = Noted(7, "2", m7, 1, FingerprintOf(m7, 1));
    TJournalEntry unmarked = Noted(7, "1", m7, 2, FingerprintOf(m7, 2));
    ASSERT_TRUE(j.Note(marked));
    ASSERT_TRUE(j.Note(unmarked));
    ASSERT_TRUE(j.FileOpened(m7));
  }
  const std::string root = Share.substr(0, Share.size() - 1), folder = Share + "netw/weight", away = Dir.File("away");
  for (const std::string& gone : {folder, root}) {
    SCOPED_TRACE(gone);
    std::filesystem::rename(gone, away);
    const size_t before = LogTexts().size();
    Convert();
    auto texts = LogTexts();
    const std::vector<std::string> run(texts.begin() + static_cast<long>(before), texts.end());
    ASSERT_EQ(run.size(), 1u);  // the line that says so, and no select
    EXPECT_EQ(Naming(run, folder), 1) << run[0];
    std::filesystem::rename(away, gone);
    EXPECT_EQ(Marks(), "NULL 1 1 1 1 2 99 ");  // no mark cleared, nothing copied
    TJournal left(K.JournalPath("weight"));
    ASSERT_TRUE(left.Load());
    EXPECT_EQ(left.Pending().size(), 2u);
    EXPECT_EQ(left.OpenFiles().size(), 1u);
  }
  Convert();
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  const auto records = ReadBack(m7);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("rec_num"), "2.0");
  EXPECT_EQ(records[1].at("rec_num"), "1.0");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(m7, report), 0) << report.str();
  EXPECT_EQ(test::ReadFile(K.JournalPath("weight")), "");
}

// Journals swapped (a restore from a backup, a copied folder): a note is
// resolved only against the table and folder it was written for, older
// notes without a table name included: the other table's notes go to its
// journal, a note of no table's folder is set aside. A record is a row's
// copy only when it holds that row's own values, not merely the note's
// fingerprint.
TEST_P(Conversion, NotesOfAnotherTableGoToItsJournalAndARecordMustHoldTheRowsOwnValues) {
  InsertSampleRows(Db);
  Convert();
  ASSERT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  const std::string m7 = File("03050407.dbf"), m7next = File("03060407.dbf");
  const std::string actionFile = Share + "netw/action/03050407.dbf";
  Db.Exec({"insert into weight values (8, 7, '2004-03-05', '12:00:00', 8, 1, 'eighth', NULL)"});
  {
    TJournal j(K.JournalPath("weight"));
    TJournalEntry other = Noted(7, "2", actionFile, 1, 77);  // action's note: weight row 2 is marked 1 too
    other.Table = "action";
    TJournalEntry lookalike = Noted(7, "8", m7, 1, FingerprintOf(m7, 1));  // record 1 holds row 2, not row 8
    TJournalEntry kept = Noted(7, "3", m7next, 1, FingerprintOf(m7next, 1));
    TJournalEntry elsewhere = Noted(7, "2", Share + "copy/03050407.dbf", 1, FingerprintOf(m7, 1));
    ASSERT_TRUE(j.Note(elsewhere));
    ASSERT_TRUE(j.Note(other));
    ASSERT_TRUE(j.Note(lookalike));
    ASSERT_TRUE(j.Note(kept));
  }
  // A note of an older journal, which names no table.
  const std::string old = TJournal::Line("N 99 7 - 7 2 " + actionFile + " 1 0000000000000001");
  test::WriteFile(K.JournalPath("weight"), test::ReadFile(K.JournalPath("weight")) + old);
  const size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  texts.erase(texts.begin(), texts.begin() + static_cast<long>(before));
  const std::string journal = K.JournalPath("weight");
  // Each note handed, set aside or settled is said so before the select.
  const auto found = std::find(texts.begin(), texts.end(), "Found weight records to convert...");
  ASSERT_NE(found, texts.end());
  const std::vector<std::string> settling(texts.begin(), found);
  EXPECT_EQ(Naming(settling, K.JournalPath("action")), 1);
  EXPECT_EQ(Naming(settling, journal + ".foreign"), 1);
  EXPECT_EQ(Naming(settling, "weight rec_num=8 (machine 7)"), 1);
  EXPECT_EQ(Naming(settling, "weight rec_num=3 (machine 7)"), 1);
  EXPECT_EQ(texts.back(), "Converted 1 records");
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 3 ");  // row 2 not copied twice; row 8 copied, once
  const auto seven = ReadBack(m7);
  ASSERT_EQ(seven.size(), 3u);
  EXPECT_EQ(seven[0].at("rec_num"), "2.0");
  EXPECT_EQ(seven[1].at("rec_num"), "1.0");
  EXPECT_EQ(seven[2].at("rec_num"), "8.0");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(m7, report), 0) << report.str();
  EXPECT_EQ(test::ReadFile(journal), "");
  const std::string aside = test::ReadFile(journal + ".foreign");
  EXPECT_EQ(std::count(aside.begin(), aside.end(), '\n'), 1);
  EXPECT_FALSE(std::filesystem::exists(platform::ChangeFileExt(journal, ".check.dbf")));
  // The action table's run settles what it was handed, against its own
  // rows (none here) and folder.
  TJournal theirs(K.JournalPath("action"));
  ASSERT_TRUE(theirs.Load());
  ASSERT_EQ(theirs.Pending().size(), 2u);
  EXPECT_EQ(theirs.Pending()[1].Table, "action");
  const size_t handed = LogTexts().size();
  Convert(false);
  texts = LogTexts();
  const std::vector<std::string> actionRun(texts.begin() + static_cast<long>(handed), texts.end());
  EXPECT_EQ(actionRun.size(), 2u);  // the two notes, and nothing to select
  EXPECT_EQ(Naming(actionRun, "action rec_num=2 (machine 7)"), 2);
  EXPECT_FALSE(std::filesystem::exists(actionFile));  // nothing was written for them
  EXPECT_EQ(test::ReadFile(K.JournalPath("action")), "");
}

// Journals swapped: this table's notes sit in the other table's journal.
// They are taken from it before this table's select, or their rows would
// be copied again before the other table's run could hand them back.
TEST_P(Conversion, ThisTablesNotesInTheOtherJournalAreSettledBeforeItsSelect) {
  InsertSampleRows(Db);
  Convert();
  const std::string m7 = File("03050407.dbf");
  Db.Exec({"update weight set convtd=NULL where rec_num=1"});
  {
    TJournal swapped(K.JournalPath("action"));
    TJournalEntry e = Noted(7, "1", m7, 2, FingerprintOf(m7, 2));
    e.Table = "weight";
    ASSERT_TRUE(swapped.Note(e));
  }
  const size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  texts.erase(texts.begin(), texts.begin() + static_cast<long>(before));
  ASSERT_GE(texts.size(), 2u);
  // Taken over, then settled, each said so, before anything is selected.
  EXPECT_EQ(Naming({texts[0]}, K.JournalPath("action")), 1) << texts[0];
  EXPECT_EQ(Naming({texts[1]}, "weight rec_num=1 (machine 7)"), 1) << texts[1];
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(ReadBack(m7).size(), 2u);  // not copied again
  TJournal left(K.JournalPath("action"));
  ASSERT_TRUE(left.Load());
  EXPECT_TRUE(left.Pending().empty());
}

// A journal cut at half its length (a restore, a copy that stopped) lost
// notes: said in one line, once, and what it still holds is settled.
TEST_P(Conversion, AJournalCutShortIsReportedOnceAndWhatItHoldsIsSettled) {
  InsertSampleRows(Db);
  Convert();
  const std::string m7 = File("03050407.dbf");
  Db.Exec({"update weight set convtd=NULL where rec_num=1"});
  const std::string journal = K.JournalPath("weight");
  {
    TJournal j(journal);
    TJournalEntry unmarked = Noted(7, "1", m7, 2, FingerprintOf(m7, 2));
    ASSERT_TRUE(j.Note(unmarked));
    for (int i = 0; i < 6; ++i) {
      TJournalEntry gone = Noted(7, "55", m7, 1, 0);
      ASSERT_TRUE(j.Note(gone));
    }
    ASSERT_TRUE(j.Sync());
  }
  const std::string whole = test::ReadFile(journal);
  test::WriteFile(journal, whole.substr(0, whole.size() / 2));
  const size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  texts.erase(texts.begin(), texts.begin() + static_cast<long>(before));
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], Format("Journal %s is %d bytes, shorter than the %d it had; rows of the notes it lost may be "
                             "copied twice",
                             journal, static_cast<int>(whole.size() / 2), static_cast<int>(whole.size())));
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(ReadBack(m7).size(), 2u);
  const size_t after = LogTexts().size();
  Convert();
  const auto later = LogTexts();
  for (size_t i = after; i < later.size(); ++i) EXPECT_EQ(later[i].find("shorter than"), std::string::npos) << later[i];
}

// Log lines say what happened: an index rebuilt while a run settles the
// journal is in the log, and a journal that can't be written (a full disk
// under the program's folder) is named, with the system's reason.
TEST_P(Conversion, RepairsWhileSettlingAndAFullJournalDiskReachTheLog) {
  {
    CodeHandle code = code4initP();
    code4safety(code, 0);
    DbfHandle source = d4open(code, (Share + "netw/gstru.dbf").c_str());
    ASSERT_NE(source, nullptr);
    FIELD4INFO* fields = d4fieldInfo(source);
    const TAG4INFO tags[] = {{"RECNUM", "REC_NUM", "", 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_NE(d4create(code, Dir.File("indexed.dbf").c_str(), fields, tags), nullptr);
    u4freeDefault(fields);
    code4initUndoP(code);
    for (const char* ext : {".dbf", ".fpt", ".cdx"}) {
      const std::string to = Share + "netw/gstru" + ext;
      std::filesystem::remove(platform::ChangeFileExt(to, ".dbt"));
      std::filesystem::copy_file(Dir.File(std::string("indexed") + ext), to,
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
  InsertSampleRows(Db);
  Convert();
  const std::string m7 = File("03050407.dbf");
  std::filesystem::remove(File("03050407.cdx"));
  {
    TJournal j(K.JournalPath("weight"));
    ASSERT_TRUE(j.FileOpened(m7));
  }
  size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  ASSERT_GE(texts.size(), before + 2);
  EXPECT_EQ(texts[before], File("03050407.cdx") + ": production index missing; rebuilt from the table's 2 records");
  EXPECT_EQ(texts[before + 1], "Checked " + m7 + ", left open by an interrupted run");

  // The journal's folder on a file system with room for a few pages: a few
  // notes fit, then a write fails with ENOSPC.
  const std::string journalDir = Dir.File("journal");
  if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=64k tmpfs '" + journalDir + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a small file system for the journal needs root";
  struct TUnmount {
    std::string Dir;
    ~TUnmount() { std::system(("umount '" + Dir + "'").c_str()); }
  } unmount{journalDir};
  {
    std::ofstream fill(journalDir + "/fill", std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  }
  // A page for the journal, and one for each table's lock file beside it.
  std::filesystem::resize_file(journalDir + "/fill",
                               std::filesystem::file_size(journalDir + "/fill") / 4096 * 4096 - 3 * 4096);
  std::vector<std::string> rows;
  for (int i = 10; i < 70; ++i)
    rows.push_back("insert into weight values (" + std::to_string(i) + ", 7, '2004-03-08', '10:00:00', 1, 1, 'n', NULL)");
  Db.Exec(rows);
  before = LogTexts().size();
  Convert();
  texts = LogTexts();
  const std::string reason = platform::SysErrorMessage(ENOSPC);
  const auto failed = std::find_if(texts.begin() + static_cast<long>(before), texts.end(), [&](const std::string& t) {
    return t.find("Journal " + K.JournalPath("weight") + " can't be written (" + reason + "); the record of rec_num=") == 0;
  });
  ASSERT_NE(failed, texts.end());
  EXPECT_NE(failed->find(" of weight was not kept and the row stays unconverted, run ended"), std::string::npos) << *failed;
  for (auto t = texts.begin() + static_cast<long>(before); t != texts.end(); ++t)
    EXPECT_EQ(t->find("Could not write a record"), std::string::npos) << *t;

  // With room again, every row is in one record.
  std::filesystem::remove(journalDir + "/fill");
  Convert();
  EXPECT_EQ(Db.Column("select count(*) from weight where ifnull(convtd,0)=0"), std::vector<std::string>{"0"});
  const auto records = ReadBack(File("03080407.dbf"));
  ASSERT_EQ(records.size(), 60u);
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].at("rec_num"), std::to_string(10 + i) + ".0");
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03080407.dbf"), report), 0) << report.str();
}

// A day file whose header length was hit keeps its records at their
// numbers (the rows marked with them stay right), the damaged file is kept
// beside it, and a count past the file's end no longer stalls its day: the
// next rows follow the records the file holds.
TEST_P(Conversion, ADamagedHeaderOrCountIsRepairedWithoutLosingARecord) {
  InsertSampleRows(Db);
  Convert();
  const std::string m7 = File("03050407.dbf"), m12 = File("03050412.dbf");
  std::string bytes = test::ReadFile(m7);
  bytes[8] = bytes[9] = '\xff';
  test::WriteFile(m7, bytes);
  std::string twelve = test::ReadFile(m12);
  twelve[4] = 3;  // counts 3 records; the file holds 1
  test::WriteFile(m12, twelve);
  Db.Exec({"insert into weight values (8, 7, '2004-03-05', '12:00:00', 8, 1, 'eighth', NULL)",
           "insert into weight values (9, 12, '2004-03-05', '12:00:00', 9, 1, 'ninth', NULL)"});
  const size_t before = LogTexts().size();
  Convert();
  auto texts = LogTexts();
  texts.erase(texts.begin(), texts.begin() + static_cast<long>(before));
  const auto has = [&](const std::string& line) { return std::find(texts.begin(), texts.end(), line) != texts.end(); };
  EXPECT_TRUE(has(m7 + ": holds no complete table header; kept whole as " + m7 + ".damaged, salvaged with 2 records " +
                  "where the layout of " + Share + "netw/gstru.dbf puts them"));
  EXPECT_TRUE(has(m12 + ": header counted 3 records, the file holds 1; count set to 1"));
  EXPECT_FALSE(has("Created new .dbf: " + m7));
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 3 2 ");
  const auto seven = ReadBack(m7);
  ASSERT_EQ(seven.size(), 3u);
  EXPECT_EQ(seven[0].at("rec_num"), "2.0");
  EXPECT_EQ(seven[1].at("rec_num"), "1.0");
  EXPECT_EQ(seven[1].at("note"), "first memo");
  EXPECT_EQ(seven[2].at("rec_num"), "8.0");
  const auto mended = ReadBack(m12);
  ASSERT_EQ(mended.size(), 2u);
  EXPECT_EQ(mended[1].at("rec_num"), "9.0");
  for (const auto& f : {m7, m12}) {
    std::ostringstream report;
    EXPECT_EQ(tools::CheckDbf(f, report), 0) << report.str();
  }
  EXPECT_EQ(test::ReadFile(m7 + ".damaged"), bytes);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Conversion, ::testing::Values(TScratchDatabase::Sqlite, TScratchDatabase::Maria),
                         [](const auto& p) { return p.param == TScratchDatabase::Maria ? "MariaDB" : "SQLite"; });

// A server that refuses every mark alike (a user that may only select, a
// view that can't be updated): the run ends after the first row with one
// line, and the day file it made for nothing is not left behind.
class RefusingServer : public Conversion {
 protected:
  void ConnectAs(const std::string& user, const std::string& password) {
    ASSERT_TRUE(K.OpenDatabase("", Db.Name(), user, password, Db.Driver(), Db.Extra()));
  }
  void ConvertAs(const std::string& user, const std::string& password) {
    ConnectAs(user, password);
    K.ConvertTables(true);
    K.CloseDatabase();
  }
  // What the runs since `from` lines wrote about marks.
  std::vector<std::string> MarkLines(size_t from) {
    auto texts = LogTexts();
    std::vector<std::string> lines;
    for (size_t i = from; i < texts.size(); ++i)
      if (texts[i].rfind("Update of", 0) == 0 || texts[i].find("State:") != std::string::npos) lines.push_back(texts[i]);
    return lines;
  }
};

TEST_P(RefusingServer, AUserThatMayOnlySelectCostsOneLineAndLeavesNoEmptyFile) {
  InsertSampleRows(Db);
  const std::string reader = test::TestDbEnv("TIDEWELL_TEST_MARIADB_READER_USER");
  const std::string password = test::TestDbEnv("TIDEWELL_TEST_MARIADB_READER_PASSWORD");
  // A file of an earlier day, empty but not made by this run, stays.
  RunPython("template '" + File("03050412.dbf") + "' '" + TemplateFields + "'");
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
    const size_t before = LogTexts().size();
    ConvertAs(reader, password);
    const auto lines = MarkLines(before);
    ASSERT_EQ(lines.size(), 2u) << "the driver's message and one line of ours";
    EXPECT_NE(lines[0].find("State:  42000"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("Update of weight rec_num=5 refused as it would be for every row (", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("State:  42000, code 1142"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("run ended"), std::string::npos) << lines[1];
    EXPECT_EQ(LogTexts().back(), "Converted 0 records");
    EXPECT_EQ(Marks(), "NULL 0 NULL NULL NULL NULL 99 ");
    // The first row's file was made for it and holds nothing: gone, memo too.
    EXPECT_FALSE(std::filesystem::exists(File("03050400.dbf")));
    EXPECT_FALSE(std::filesystem::exists(File("03050400.fpt")));
    EXPECT_TRUE(std::filesystem::exists(File("03050412.dbf")));
  }
  EXPECT_EQ(test::ReadFile(K.JournalPath("weight")), "");
  // The same rows convert once the user may update.
  Convert();
  EXPECT_EQ(Marks(), "2 1 1 1 1 2 99 ");
  EXPECT_EQ(ReadBack(File("03050400.dbf")).size(), 2u);
  EXPECT_EQ(ReadBack(File("03050412.dbf")).size(), 1u);
}

TEST_P(RefusingServer, AViewThatCanNotBeUpdatedEndsTheRunButKeepsTheRecordsOfTheFileBefore) {
  InsertSampleRows(Db);
  Convert();  // every row copied and marked once
  Db.Exec({"update weight set convtd=NULL where rec_num in (1, 4)", "rename table weight to weight_rows",
           "create view weight as select distinct * from weight_rows"});
  const size_t before = LogTexts().size();
  Convert();
  const auto lines = MarkLines(before);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("State:  HY000, code 1288"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("record 3 taken back from " + File("03050407.dbf")), std::string::npos) << lines[1];
  // The file had its records before: they stay, and nothing was added.
  const auto m7 = ReadBack(File("03050407.dbf"));
  ASSERT_EQ(m7.size(), 2u);
  EXPECT_EQ(ReadBack(File("03050412.dbf")).size(), 1u);
  std::ostringstream report;
  EXPECT_EQ(tools::CheckDbf(File("03050407.dbf"), report), 0) << report.str();
}

// The server's own error numbers decide; a refusal of one row is no refusal
// of all of them.
TEST(RefusalKinds, OnlyPermissionAndReadOnlyRefusalsCountForEveryRow) {
  const auto refused = [](const char* state, int native, int kind = dkMySql, const char* cs = "") {
    TMarkResult r;
    r.State = state;
    r.Native = native;
    return RefusedForEveryRow(r, kind, cs);
  };
  EXPECT_TRUE(refused("42000", 1142));
  EXPECT_TRUE(refused("42000", 1143));
  EXPECT_TRUE(refused("HY000", 1036));
  EXPECT_TRUE(refused("HY000", 1288));
  EXPECT_TRUE(refused("HY000", 1290));
  EXPECT_TRUE(refused("42501", 0, dkOther));
  EXPECT_TRUE(refused("25006", 7, dkOther));
  EXPECT_TRUE(refused("HY000", 8, dkOther, "DRIVER=SQLite3;Database=x"));
  EXPECT_FALSE(refused("HY000", 8, dkOther, "DRIVER=Other"));
  EXPECT_FALSE(refused("45000", 1644));  // a trigger's signal
  EXPECT_FALSE(refused("40001", 1213));  // deadlock
  EXPECT_FALSE(refused("HY000", 1205));  // lock wait timeout
  EXPECT_FALSE(refused("23000", 1062));  // duplicate key
  EXPECT_FALSE(refused("HY000", 1142, dkOther));  // another driver's number
  EXPECT_FALSE(refused("HY000", 19, dkOther, "DRIVER=SQLite3"));  // a constraint
  TMarkResult ran;
  ran.Executed = true;
  ran.State = "42000";
  ran.Native = 1142;
  EXPECT_FALSE(RefusedForEveryRow(ran, dkMySql, ""));
}

INSTANTIATE_TEST_SUITE_P(Maria, RefusingServer, ::testing::Values(TScratchDatabase::Maria),
                         [](const auto&) { return std::string("MariaDB"); });

// The link to the server goes while a run is under way: the server may or
// may not have committed the mark in flight, so the record stays, the run
// ends, and the next cycle's new connection settles what the journal noted:
// every row ends in exactly one record.
TEST(ConversionLinkLost, ARunEndsKeepingTheRecordsInFlightAndTheNextRunSettlesThem) {
  TTempDir dir;
  TScratchDatabase db(TScratchDatabase::Maria);
  THookedKestrel k;
  const std::string share = dir.File("share") + "/";
  platform::ForceDirectories(share + "netw/weight");
  RunPython("template '" + share + "netw/gstru.dbf' '" + TemplateFields + "'");
  k.ShareRootOverride = share;
  k.ExeDirOverride = dir.Path();
  MainLog = std::make_unique<TMessLog>(dir.File("run.log"), "", false, false, false, true);
  db.Exec({"create table weight (rec_num integer, machine integer, dat_e date, tim_e varchar(8), "
           "weight decimal(10,2), ok integer, note text, convtd integer)"});
  InsertSampleRows(db);

  ASSERT_TRUE(k.OpenDatabase("", db.Name(), db.User(), db.Password(), db.Driver(), db.Extra()));
  std::string connectionId;
  {
    TODBCStatement id(MainOdbc.get(), true, false);
    ASSERT_TRUE(id.ExecSQL("select connection_id() as id"));
    connectionId = id.FieldAsString("id");
  }
  k.AfterRow = [&](int rows) {
    if (rows == 2) db.Exec({"kill " + connectionId});
  };
  k.ConvertTables(true);
  EXPECT_TRUE(MainOdbc->ConnectionLost);
  k.CloseDatabase();
  // The marks of the open batch went with the link.
  EXPECT_EQ(Marks(db), "NULL 0 NULL NULL NULL NULL 99 ");
  MainLog->Flush();
  std::vector<std::string> texts;
  for (const auto& line : test::ReadCrLfLines(dir.File("run.log"))) texts.push_back(line.substr(24));
  const std::string m7 = share + "netw/weight/03050407.dbf";
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Marks of 2 rows of weight (rec_num=2 to 1) got no answer (link to the server lost); records "
                      "1 to 2 kept in " + m7 + ", run ended"),
            texts.end());
  EXPECT_EQ(texts.back(), "Converted 4 records");

  k.AfterRow = nullptr;
  ASSERT_TRUE(k.OpenDatabase("", db.Name(), db.User(), db.Password(), db.Driver(), db.Extra()));
  k.ConvertTables(true);
  k.CloseDatabase();
  EXPECT_EQ(Marks(db), "2 1 1 1 1 2 99 ");
  const auto records = ReadBack(m7);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("rec_num"), "2.0");  // the rows in flight, once each
  EXPECT_EQ(records[1].at("rec_num"), "1.0");
  EXPECT_EQ(ReadBack(share + "netw/weight/03050400.dbf").size(), 2u);
  MainLog.reset();
  MainOdbc.reset();
}
