#include <gtest/gtest.h>

#include <optional>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "odbc/ODBC.h"
#include "tests/odbc/OdbcTestLog.h"
#include "tests/support/OdbcTestEnv.h"
#include "tests/support/TestClock.h"

using namespace tidewell;
using tidewell::test::TScratchDatabase;
using tidewell::test::TTestLog;

namespace {

const TDateTime Tuesday = EncodeDate(2026, 12, 8) + EncodeTime(10, 11, 12, 345);

std::string KindName(const testing::TestParamInfo<TScratchDatabase::TKind>& info) {
  return info.param == TScratchDatabase::Maria ? "MariaDB" : "SQLite";
}

// One scratch database per test on either driver, with a connected TODBC
// that logs into a test log.
class OnBothDrivers : public testing::TestWithParam<TScratchDatabase::TKind> {
 protected:
  TScratchDatabase Db{GetParam()};
  TTestLog Log;
  std::unique_ptr<TODBC> C;

  bool IsMaria() const { return GetParam() == TScratchDatabase::Maria; }

  void SetUp() override {
    Db.Exec({"create table weight (machine integer, dat_e date, tim_e time, rec_num integer, "
             "convtd integer, name varchar(20), stamp datetime, note text)"});
    C = std::make_unique<TODBC>();
    C->Log = Log.Log.get();
    C->ReportErrors = true;
    ASSERT_TRUE(C->Connect("", Db.User(), Db.Password(), Db.Name(), false, Db.Driver(), Db.Extra()));
  }

  void InsertRows(int count) {
    std::vector<std::string> sql;
    for (int i = 1; i <= count; ++i)
      sql.push_back("insert into weight (machine, rec_num, name) values (" + std::to_string(i % 3) + ", " +
                    std::to_string(i) + ", 'row " + std::to_string(i) + "')");
    Db.Exec(sql);
  }
};

INSTANTIATE_TEST_SUITE_P(Drivers, OnBothDrivers, testing::Values(TScratchDatabase::Maria, TScratchDatabase::Sqlite),
                         KindName);

}  // namespace

// -- modes and classification -----------------------------------------------

TEST_P(OnBothDrivers, DriverDecidesBetweenBoundAndUnboundReading) {
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.Allocated);
  // The connector reads values in place; the SQLite driver can't refresh a
  // row and so gets bound buffers.
  EXPECT_EQ(s.Buffered, !IsMaria());
}

TEST_P(OnBothDrivers, SelectFetchesItsFirstRowAndSkipWalksTheRest) {
  InsertRows(5);
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select rec_num, name from weight order by rec_num"));
  EXPECT_FALSE(s.Eof);
  int seen = 0;
  do {
    ++seen;
    EXPECT_EQ(s.FieldAsInteger("rec_num"), seen);
    EXPECT_EQ(s.FieldAsString("name"), "row " + std::to_string(seen));
  } while (s.Skip(sdNext, 1));
  EXPECT_EQ(seen, 5);
  EXPECT_FALSE(s.Skip(sdNext, 1));
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_P(OnBothDrivers, OnlyAnUnindentedSelectIsTakenForAQuery) {
  InsertRows(2);
  TODBCStatement s(C.get(), true, false);
  // Five letters of the keyword in the first six characters: no row fetched.
  EXPECT_TRUE(s.ExecSQL(" select rec_num from weight order by rec_num"));
  EXPECT_FALSE(s.Eof);
  ASSERT_TRUE(s.Skip(sdNext, 1));
  EXPECT_EQ(s.FieldAsInteger("rec_num"), 1);

  EXPECT_TRUE(s.ExecSQL("\nselect rec_num from weight order by rec_num", true));
  EXPECT_EQ(s.FieldAsInteger("rec_num"), 1);
}

TEST_P(OnBothDrivers, EmptySelectFailsUnlessEmptyResultsAreAccepted) {
  TODBCStatement s(C.get(), true, false);
  EXPECT_FALSE(s.ExecSQL("select * from weight"));
  EXPECT_TRUE(s.Eof);
  C->AcceptEmptyResult = true;
  EXPECT_TRUE(s.ExecSQL("select * from weight"));
  EXPECT_TRUE(s.Eof);
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_P(OnBothDrivers, ChangesThatMatchNoRowStillSucceed) {
  TODBCStatement s(C.get(), false, false);
  // SQLite answers SQL_NO_DATA here, MariaDB success.
  EXPECT_TRUE(s.ExecSQLFmt("update %s set convtd=%d where machine=%d and rec_num=%s", "weight", 15, 7, "1234"));
  EXPECT_TRUE(s.ExecSQL("delete from weight where rec_num=99"));
  EXPECT_EQ(s.Columns.Count(), 0);
  EXPECT_EQ(s.FieldAsString("convtd"), "");
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_P(OnBothDrivers, FailingStatementGivesFalseAndLeavesTheDriverMessageInTheLog) {
  TODBCStatement s(C.get(), true, false);
  EXPECT_FALSE(s.ExecSQL("select * from no_such_table"));
  const auto lines = Log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("no_such_table"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 15, 10), ". State:  ") << lines[0];
  EXPECT_FALSE(C->ConnectionLost);

  C->ReportErrors = false;
  EXPECT_FALSE(s.ExecSQL("select * from no_such_table"));
  EXPECT_EQ(Log.Lines().size(), lines.size());
}

TEST_P(OnBothDrivers, SelectWalkingWhileUpdatesRunOnASecondStatement) {
  InsertRows(40);
  TODBCStatement update(C.get(), false, false);
  TODBCStatement select(C.get(), true, false);
  ASSERT_TRUE(select.ExecSQLFmt("select * from %s where %s order by machine,rec_num", "weight",
                                "coalesce(convtd,0)=0"));
  int record = 0;
  do {
    ++record;
    EXPECT_TRUE(update.ExecSQLFmt("update %s set convtd=%d where machine=%d and rec_num=%s", "weight", record,
                                  select.FieldAsInteger("machine"), select.FieldAsString("rec_num")));
  } while (select.Skip(sdNext, 1));
  EXPECT_EQ(record, 40);
  EXPECT_EQ(Db.Column("select count(*) from weight where convtd between 1 and 40"),
            std::vector<std::string>{"40"});
  EXPECT_TRUE(Log.Lines().empty());
}

// Values handed over as parameters are never read as SQL, whatever they
// hold, and an update says how many rows it changed (SQLite answers
// SQL_NO_DATA for none).
TEST_P(OnBothDrivers, BoundTextsStayValuesAndUpdatesCountTheirRows) {
  Db.Exec({"insert into weight (rec_num, machine, name) values (1, 7, 'plain')",
           "insert into weight (rec_num, machine, name) values (2, 7, 'it''s')",
           IsMaria() ? "insert into weight (rec_num, machine, name) values (3, 7, 'back\\\\slash')"
                     : "insert into weight (rec_num, machine, name) values (3, 7, 'back\\slash')"});
  TODBCStatement s(C.get(), false, false);
  for (const std::string name : {"x' or '1'='1", "it's", "back\\slash", ""}) {
    ASSERT_TRUE(s.ExecSQLParams("update weight set convtd=9 where machine=7 and name=?", {name})) << name;
    EXPECT_EQ(s.RowCount(), name == "it's" || name == "back\\slash" ? 1 : 0) << name;
  }
  ASSERT_TRUE(s.ExecSQL("update weight set convtd=5 where machine=7"));
  EXPECT_EQ(s.RowCount(), 3);
  // A statement without parameters after one with them runs as written.
  ASSERT_TRUE(s.ExecSQLParams("select count(*) as n from weight where name=?", {"plain"}));
  EXPECT_EQ(s.FieldAsInteger("n"), 1);
  ASSERT_TRUE(s.ExecSQL("select count(*) as n from weight"));
  EXPECT_EQ(s.FieldAsInteger("n"), 3);
  EXPECT_FALSE(s.ExecSQL("update weight set nosuchcolumn=1"));
  EXPECT_EQ(s.RowCount(), -1);
}

// Texts longer in bytes than the column is in characters, texts a database
// holds beyond their declared size (SQLite does not enforce it), blanks at
// the ends, NULL, and a BIT(1) the driver hands over as the byte 0x01.
TEST_P(OnBothDrivers, TextsAreReadWholeAndExactAndBitsReadAsFlags) {
  Db.Exec({IsMaria() ? "create table t (name varchar(10), pad varchar(10), flag bit(1), off bit(1)) "
                       "default charset=utf8mb4"
                     : "create table t (name varchar(10), pad varchar(10), flag bit(1), off bit(1))",
           "insert into t values ('Müllerßäöü', ' 7 ', 1, 0)"});
  if (!IsMaria()) Db.Exec({"insert into t values ('" + std::string(300, 'x') + "', NULL, 1, 0)"});
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select * from t"));
  EXPECT_EQ(s.FieldAsString("name"), "Müllerßäöü");
  EXPECT_EQ(s.FieldAsString("pad"), "7");
  EXPECT_EQ(s.FieldAsExactText("pad"), std::optional<std::string>(" 7 "));
  EXPECT_TRUE(s.FieldAsBoolean("flag"));
  EXPECT_FALSE(s.FieldAsBoolean("off"));
  EXPECT_FALSE(s.FieldAsExactText("nosuchcolumn"));
  if (!IsMaria()) {
    ASSERT_TRUE(s.Skip(sdNext, 1));
    EXPECT_EQ(s.FieldAsString("name"), std::string(300, 'x'));
    EXPECT_FALSE(s.FieldAsExactText("pad")) << "NULL has no text";
    EXPECT_EQ(s.FieldAsString("pad"), "");
  }
}

// The drivers do not serialise calls on one connection: a statement whose
// connection has a call running on another statement's worker waits for it
// to return before it calls the driver.
TEST_P(OnBothDrivers, ACallWaitsWhileAnotherStatementOfTheConnectionIsRunning) {
  InsertRows(3);
  TODBCStatement slow(C.get(), false, false);
  TODBCStatement select(C.get(), true, false);
  ASSERT_TRUE(select.ExecSQL("select * from weight order by rec_num"));
  EXPECT_EQ(C->SerialisedWaits, 0u);
  const std::string sleepy = IsMaria() ? "select sleep(0.3) as s"
                                       : "with recursive n(i) as (select 1 union all select i+1 from n where i<3000000) "
                                         "select count(*) as s from n";
  ASSERT_TRUE(slow.StartExecSQL(sleepy));
  EXPECT_TRUE(select.Skip(sdNext, 1));
  EXPECT_EQ(select.FieldAsInteger("rec_num"), 2);
  EXPECT_TRUE(slow.FinishExecSQL());
  EXPECT_EQ(C->SerialisedWaits, 1u);
}

// -- values ------------------------------------------------------------------

TEST_P(OnBothDrivers, DatesTimesAndTimestampsDropFractionsAndNullIsDayZero) {
  test::TTestClock clock(Tuesday);
  Db.Exec({"insert into weight (rec_num, dat_e, tim_e, stamp, name) values "
           "(1, '2026-02-28', '23:59:58', '2026-12-08 10:11:12.75', 'x')",
           "insert into weight (rec_num) values (2)"});
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select * from weight order by rec_num"));
  EXPECT_EQ(s.FieldAsDateTime("dat_e"), EncodeDate(2026, 2, 28));
  EXPECT_DOUBLE_EQ(s.FieldAsDateTime("tim_e"), EncodeTime(23, 59, 58, 0));
  EXPECT_DOUBLE_EQ(s.FieldAsDateTime("stamp"), EncodeDate(2026, 12, 8) + EncodeTime(10, 11, 12, 0));
  // Not a date column, or no such column: today at midnight.
  EXPECT_EQ(s.FieldAsDateTime("name"), EncodeDate(2026, 12, 8));
  EXPECT_EQ(s.FieldAsDateTime("rec_num"), EncodeDate(2026, 12, 8));
  EXPECT_EQ(s.FieldAsDateTime("missing"), EncodeDate(2026, 12, 8));

  ASSERT_TRUE(s.Skip(sdNext, 1));
  EXPECT_EQ(s.FieldAsDateTime("dat_e"), 0);
  EXPECT_EQ(s.FieldAsDateTime("tim_e"), 0);
  EXPECT_EQ(s.FieldAsDateTime("stamp"), 0);
  EXPECT_EQ(s.FieldAsString("name"), "");
  EXPECT_EQ(s.FieldAsInteger("machine"), 0);
  EXPECT_FALSE(s.FieldAsBoolean("machine"));
}

TEST_P(OnBothDrivers, LongTextIsReadWholeAndASecondReadOnOneRowGivesTheSameValue) {
  const std::string note(5000, 'n');
  Db.Exec({"insert into weight (rec_num, machine, name, note) values (1, 42, 'abc', '  " + note + "x  ')"});
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select * from weight"));
  const std::string expected = note + "x";
  EXPECT_TRUE(s.FieldAsString("note") == expected);
  EXPECT_TRUE(s.FieldAsString("note") == expected);
  EXPECT_EQ(s.FieldAsInteger("machine"), 42);
  EXPECT_EQ(s.FieldAsInteger("machine"), 42);
  EXPECT_EQ(s.FieldAsString("name"), "abc");
  EXPECT_EQ(s.FieldAsString("name"), "abc");
  EXPECT_TRUE(s.FieldAsBoolean("machine"));
}

TEST_P(OnBothDrivers, DescribedWithSQLDescribeColTextsAreMemosReadOnDemand) {
  // SQLite calls a text column VARCHAR through SQLColAttribute but
  // LONGVARCHAR through SQLDescribeCol; this way both drivers give a memo
  // column, which bound-column mode leaves unbound.
  C->UseDescribeCol = true;
  Db.Exec({"insert into weight (rec_num, machine, note) values (1, 5, ' 42 ')"});
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select note, machine, name from weight"));
  ASSERT_EQ(s.Columns.Count(), 3);
  EXPECT_EQ(s.Columns[0].DataKind, odMemo);
  EXPECT_EQ(s.Columns[1].DataKind, odInteger);
  EXPECT_EQ(s.FieldAsString("note"), "42");
  EXPECT_EQ(s.FieldAsString("note"), "42");
  // Bound mode reads integers from buffers only; a memo has none.
  EXPECT_EQ(s.FieldAsInteger("note"), IsMaria() ? 42 : 0);
  EXPECT_EQ(s.FieldAsInteger("machine"), 5);
  EXPECT_EQ(s.FieldAsString("name"), "");
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_P(OnBothDrivers, IntegerReadsConvertLikeTheDriverInPlaceButOnlyDecimalsFromBuffers) {
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select 12.7 as f, '  42 ' as t, 'x1' as bad, 3000000000 as big, -17 as neg"));
  // In place the driver's character-to-integer rule cuts fractions; a bound
  // buffer must hold a plain decimal number.
  EXPECT_EQ(s.FieldAsInteger("f"), IsMaria() ? 12 : 0);
  EXPECT_EQ(s.FieldAsInteger("t"), 42);
  EXPECT_EQ(s.FieldAsInteger("bad"), 0);
  EXPECT_EQ(s.FieldAsInteger("big"), 0);
  EXPECT_EQ(s.FieldAsInteger("neg"), -17);
  EXPECT_TRUE(s.FieldAsBoolean("neg"));
  EXPECT_EQ(s.FieldAsString("f"), "12.7");
}

TEST_P(OnBothDrivers, ColumnsAreFoundByNameInAnyCaseAndLongNamesAreCut) {
  const std::string longName = "c" + std::string(129, 'x');
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select 7 as Machine, 8 as machine, 9 as " + longName));
  EXPECT_EQ(s.FieldAsInteger("machine"), 7);
  EXPECT_EQ(s.FieldAsInteger("MACHINE"), 7);
  EXPECT_EQ(s.FieldAsInteger("mAcHiNe"), 7);
  EXPECT_EQ(s.FieldIndex(" machine"), -1);
  EXPECT_EQ(s.FieldIndex(longName), -1);
  EXPECT_EQ(s.FieldAsInteger(longName.substr(0, 128)), 9);
}

TEST_P(OnBothDrivers, ImpossibleDateTextsReadAsZero) {
  // SQLite keeps any text; MariaDB keeps the zero date outside strict
  // date modes.
  if (IsMaria())
    Db.Exec({"set session sql_mode=''", "insert into weight (rec_num, dat_e, stamp) values "
                                        "(1, '0000-00-00', '0000-00-00 00:00:00')"});
  else
    Db.Exec({"insert into weight (rec_num, dat_e, stamp, tim_e) values "
             "(1, '2026-13-01', '2026-04-31 10:00:00', '24:00:00')"});
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select * from weight"));
  EXPECT_EQ(s.FieldAsDateTime("dat_e"), 0);
  EXPECT_EQ(s.FieldAsDateTime("stamp"), 0);
  if (!IsMaria()) {
    EXPECT_EQ(s.FieldAsDateTime("tim_e"), 0);
  }
}

// -- cursor movement and registry --------------------------------------------

TEST_P(OnBothDrivers, PlainStatementOnlyMovesForward) {
  InsertRows(3);
  TODBCStatement s(C.get(), true, true);
  ASSERT_TRUE(s.ExecSQL("select rec_num from weight order by rec_num"));
  EXPECT_FALSE(s.ForwardOnly);
  for (std::uint8_t d : {sdFirst, sdLast, sdPrior, sdAbsolute, sdRelative, std::uint8_t(6)})
    EXPECT_FALSE(s.Skip(d, 1)) << int(d);
  ASSERT_TRUE(s.Skip(sdNext, 1));
  EXPECT_EQ(s.FieldAsInteger("rec_num"), 2);
}

TEST_P(OnBothDrivers, DirectionWithoutItsCapabilityMakesNoDriverCall) {
  InsertRows(3);
  TODBCStatement s(C.get(), true, false);
  ASSERT_TRUE(s.ExecSQL("select rec_num from weight order by rec_num"));
  // A cursor that moves relatively but not absolutely.
  s.ForwardOnly = false;
  s.CanAbsolute = false;
  s.CanRelative = true;
  EXPECT_FALSE(s.Skip(sdFirst, 0));
  EXPECT_FALSE(s.Skip(sdAbsolute, 1));
  EXPECT_FALSE(s.Skip(9, 1));
  // Still on the first row: nothing was fetched.
  ASSERT_TRUE(s.Skip(sdNext, 1));
  EXPECT_EQ(s.FieldAsInteger("rec_num"), 2);
  // A forward-only cursor takes any direction as "next".
  s.ForwardOnly = true;
  ASSERT_TRUE(s.Skip(sdLast, 0));
  EXPECT_EQ(s.FieldAsInteger("rec_num"), 3);
}

TEST_P(OnBothDrivers, FreedStatementsLeaveSlotsThatTheNextOneTakes) {
  auto a = std::make_unique<TODBCStatement>(C.get(), true, false);
  auto b = std::make_unique<TODBCStatement>(C.get(), false, false);
  ASSERT_EQ(C->Statements.size(), 2u);
  TODBCStatement* first = a.get();
  EXPECT_EQ(C->Statements[0], first);
  a.reset();
  EXPECT_EQ(C->Statements[0], nullptr);
  TODBCStatement c(C.get(), false, true);
  EXPECT_EQ(C->Statements.size(), 2u);
  EXPECT_EQ(C->Statements[0], &c);
  EXPECT_EQ(C->Statements[1], b.get());
}

// -- waiting, lost links, timing lines ---------------------------------------

TEST(MariaStatement, WaitLetsTheServiceWorkAndCanBeCancelledFromAnotherThread) {
  TScratchDatabase db(TScratchDatabase::Maria);
  TODBC c;
  ASSERT_TRUE(c.Connect("", db.User(), db.Password(), db.Name(), false, db.Driver(), db.Extra()));
  int serviceCalls = 0;
  c.ServiceThread = [&] { ++serviceCalls; };
  TODBCStatement s(&c, true, false);
  ASSERT_TRUE(s.ExecSQL("select sleep(0.3) as z"));
  EXPECT_GE(serviceCalls, 5);

  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s.CancelRequest = true;
  });
  const auto start = std::chrono::steady_clock::now();
  s.ExecSQL("select sleep(20) as z");
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(s.Executing);
}

TEST(MariaStatement, ServerDroppingTheConnectionMarksItLost) {
  TScratchDatabase db(TScratchDatabase::Maria);
  TTestLog log;
  TODBC c;
  c.Log = log.Log.get();
  c.ReportErrors = true;
  ASSERT_TRUE(c.Connect("", db.User(), db.Password(), db.Name(), false, db.Driver(), db.Extra()));
  TODBCStatement s(&c, true, false);
  ASSERT_TRUE(s.ExecSQL("select connection_id() as id"));
  const std::string id = s.FieldAsString("id");
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    db.Exec({"kill " + id});
  });
  EXPECT_FALSE(s.ExecSQL("select sleep(5) as z"));
  killer.join();
  EXPECT_TRUE(c.ConnectionLost);
  const auto lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(". State:  08S01"), std::string::npos) << lines.back();
  // The flag stays until a new login; Connect on the lost link changes nothing.
  EXPECT_TRUE(c.Connect("", "", "", "", false, "", ""));
  EXPECT_TRUE(c.ConnectionLost);
  c.Disconnect();
  EXPECT_FALSE(c.ConnectionLost);
}

TEST(StatementTiming, SlowOperationsAreLoggedFromTheThresholdOn) {
  TScratchDatabase db(TScratchDatabase::Sqlite);
  TTestLog log;
  TODBC c;
  c.Log = log.Log.get();
  ASSERT_TRUE(c.Connect("", "", "", db.Name(), false, db.Driver(), ""));
  TODBCStatement s(&c, true, false);
  s.LogTimeOver(60000, "DoSQL", "select 1");
  c.TimeOverMs = 1000;
  s.LogTimeOver(999, "DoSQL", "select 1");
  s.LogTimeOver(1000, "DoSQL", "select 1");
  s.LogTimeOver(2345, "dbSkip", "select * from weight");
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"*** TIMEOVR *** #00: 1.000 secs 'DoSQL'  select 1",
                                                   "*** TIMEOVR *** #00: 2.345 secs 'dbSkip'  select * from weight"}));
}

// -- texts -------------------------------------------------------------------

TEST(StatementTexts, ThirdWordIsTheWordAfterTheSecondBlank) {
  EXPECT_EQ(ThirdWord("select x into @v from t"), "INTO");
  EXPECT_EQ(ThirdWord("SELECT a, b INTO t"), "B");
  EXPECT_EQ(ThirdWord("select * from weight"), "FROM");
  EXPECT_EQ(ThirdWord("select  into"), "INTO");
  EXPECT_EQ(ThirdWord("select x"), "X");
  EXPECT_EQ(ThirdWord("select"), "SELECT");
  EXPECT_EQ(ThirdWord(""), "");
}

TEST(StatementTexts, MariaSelectIntoFetchesNoRowAndSucceeds) {
  TScratchDatabase db(TScratchDatabase::Maria);
  TODBC c;
  ASSERT_TRUE(c.Connect("", db.User(), db.Password(), db.Name(), false, db.Driver(), db.Extra()));
  TODBCStatement s(&c, true, false);
  EXPECT_TRUE(s.ExecSQL("select 5 into @v"));
  EXPECT_FALSE(s.Eof);
  ASSERT_TRUE(s.ExecSQL("select @v as v"));
  EXPECT_EQ(s.FieldAsInteger("v"), 5);
}

TEST(DateTexts, FieldsAreReadAtFixedPositionsWithDefaults) {
  EXPECT_EQ(ParseDate("2026-12-08"), EncodeDate(2026, 12, 8));
  EXPECT_EQ(ParseDate("2024-02-29"), EncodeDate(2024, 2, 29));
  EXPECT_EQ(ParseDate("2023-02-29"), 0);
  EXPECT_EQ(ParseDate("2026-04-31"), 0);
  EXPECT_EQ(ParseDate("0000-00-00"), 0);
  EXPECT_EQ(ParseDate(""), 0);                                // 1899-12-30 itself
  EXPECT_EQ(ParseDate("2026/12/08"), EncodeDate(2026, 12, 8));  // separators are not read
  EXPECT_EQ(ParseDate("2026-1x-08"), EncodeDate(2026, 12, 8));  // unreadable month: default 12
  EXPECT_EQ(ParseDate("2026-03-1"), EncodeDate(2026, 3, 1));    // cut short: read as far as it goes
  EXPECT_DOUBLE_EQ(ParseTime("10:11:12"), EncodeTime(10, 11, 12, 0));
  EXPECT_EQ(ParseTime("24:00:00"), 0);
  EXPECT_EQ(ParseTime("10:60:00"), 0);
  EXPECT_DOUBLE_EQ(ParseTime(" 9:05"), EncodeTime(9, 5, 0, 0));
  EXPECT_DOUBLE_EQ(ParseDateTime("2026-12-08 10:11:12.999"), EncodeDate(2026, 12, 8) + EncodeTime(10, 11, 12, 0));
  EXPECT_EQ(ParseDateTime("2026-12-08 25:00:00"), 0);
  EXPECT_EQ(ParseDateTime("2026-13-08 10:00:00"), 0);
  // Before 1899-12-30 the time of day still counts forwards from midnight.
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn", ParseDateTime("1899-12-29 18:00:00")), "18991229 18:00");
  EXPECT_EQ(FormatDateTime("YYYYMMDD hh:nn", ParseDateTime("1000-01-01 10:00:00")), "10000101 10:00");
  EXPECT_EQ(BufferText(TodBytes{' ', '\t', '4', '2', ' ', 0, 'x'}), "42");
}
