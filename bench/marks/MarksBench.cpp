// Ways to mark many rows converted, side by side, on each driver.
//
// A run marks the rows of a batch and must then know each row's outcome
// (changed, not changed, twinned). Every way below marks the same rows of a
// table shaped like `weight` (rec_num the primary key, machine, convtd),
// in batches of B rows, and commits once a batch where it can:
//
//   per row, autocommit   one UPDATE per row, each its own transaction (the
//                         conversion's floor); each row's count is its own
//   per row, one commit   one UPDATE per row, one commit a batch
//   parameter array       one prepared UPDATE executed once over B sets of
//                         parameters (SQL_ATTR_PARAMSET_SIZE), then the
//                         batch's marks read back in one SELECT, then the
//                         commit; the driver's SQL_PARAM_ARRAY_ROW_COUNTS
//                         says whether it could tell each set's count
//   one statement         the conversion's way: one UPDATE ... CASE naming
//                         every row of the batch (MarkRows), the marks read
//                         back in one SELECT (ReadRowMarks), the commit
//
// under three conditions: MariaDB on loopback, MariaDB behind TDelayRelay
// (DELAY microseconds each way), and SQLite in a file. It prints rows per
// second and microseconds per row for each way, checks that every row got
// the mark it was given, and prints what the drivers say of their arrays.
//
// usage: bench_marks [--delay-us=N] [ROWS [BATCH]]   (250, 4096, 128)
// It expects the environment of `scripts/testdb start DIR` (DIR/env.sh);
// scripts/bench-marks does it all in one go.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/RowKey.h"
#include "bench/BenchSupport.h"
#include "bench/convert/DelayRelay.h"
#include "odbc/ODBC.h"

using namespace tidewell;
using tidewell::bench::Must;
using tidewell::bench::TDelayRelay;
using tidewell::bench::TServer;
using Clock = std::chrono::steady_clock;

namespace {

struct TWay {
  const char* Name;
  // Marks rows [first, first + count) of the table with their index + 1.
  std::function<void(TODBC&, long first, long count)> Mark;
};

long Machine(long i) { return i % 10 + 1; }

TRowKey KeyOf(long i) {
  TRowKey key;
  key.Machine = static_cast<int>(Machine(i));
  key.MachineNull = false;
  key.MachineValue = std::to_string(key.Machine);
  key.RecNum = std::to_string(i + 1);
  return key;
}

void Exec(TODBC& c, const std::string& sql) {
  TODBCStatement s(&c, false, false);
  if (!s.ExecSQL(sql)) {
    std::fprintf(stderr, "failed: %s\n", sql.c_str());
    std::exit(1);
  }
}

long CountWhere(TODBC& c, const std::string& where) {
  TODBCStatement s(&c, true, false);
  Must(s.ExecSQL("select count(*) as n from bench_marks where " + where), "count");
  return s.FieldAsInteger("n");
}

void Fill(TODBC& c, long rows) {
  Exec(c, "drop table if exists bench_marks");
  Exec(c, "create table bench_marks (rec_num int primary key, machine int, convtd int)");
  for (long done = 0; done < rows;) {
    std::string sql = "insert into bench_marks values ";
    for (int k = 0; k < 500 && done < rows; ++k, ++done)
      sql += (k ? ",(" : "(") + std::to_string(done + 1) + "," + std::to_string(Machine(done)) + ",0)";
    Exec(c, sql);
  }
  c.EndTransaction(true);
}

// One UPDATE per row, each committed by itself (autocommit) or all at once.
void PerRow(TODBC& c, long first, long count, bool autocommit) {
  if (autocommit) Must(c.SetAutoCommit(true), "autocommit on");
  {
    TODBCStatement s(&c, false, false);
    for (long i = first; i < first + count; ++i) {
      const auto key = KeyOf(i);
      const TMarkResult r = MarkRow(s, "bench_marks", key, i + 1);
      Must(r.Executed && r.Rows == 1, "row marked");
    }
  }
  if (autocommit)
    Must(c.SetAutoCommit(false), "autocommit off");
  else
    Must(c.EndTransaction(true), "commit");
}

// The driver's own answer to how it runs an array of parameter sets.
struct TArraySupport {
  SQLUINTEGER RowCounts = 0, Selects = 0;
};

TArraySupport ArraySupport(TODBC& c) {
  TArraySupport a;
  Odbc.SQLGetInfo(c.ConnHandle, SQL_PARAM_ARRAY_ROW_COUNTS, &a.RowCounts, sizeof a.RowCounts, nullptr);
  Odbc.SQLGetInfo(c.ConnHandle, SQL_PARAM_ARRAY_SELECTS, &a.Selects, sizeof a.Selects, nullptr);
  return a;
}

void ReadBack(TODBC& c, long first, long count) {
  std::vector<TRowKey> keys;
  keys.reserve(static_cast<size_t>(count));
  for (long i = first; i < first + count; ++i) keys.push_back(KeyOf(i));
  std::vector<const TRowKey*> asked;
  for (const auto& k : keys) asked.push_back(&k);
  TODBCStatement s(&c, true, false);
  const TReadBacks r = ReadRowMarks(s, "bench_marks", asked);
  Must(r.State == rbFound, "read back");
  for (long i = 0; i < count; ++i) {
    const auto& m = r.Marks[static_cast<size_t>(i)];
    Must(m.size() == 1 && m[0] == first + i + 1, "read back the mark given");
  }
}

// Set when a driver left a parameter array's status array unfilled.
bool StatusUnfilled = false;

void ParameterArray(TODBC& c, long first, long count) {
  SQLHSTMT h = SQL_NULL_HSTMT;
  Must(OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, c.ConnHandle, &h)), "statement handle");
  const std::string sql = "update bench_marks set convtd=? where machine=? and rec_num=? and ifnull(convtd,0)=0";
  Must(OdbcSucceeded(Odbc.SQLPrepare(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS)),
       "prepare");
  const auto n = static_cast<size_t>(count);
  std::vector<SQLINTEGER> mark(n), machine(n), recNum(n);
  std::vector<SQLUSMALLINT> status(n, 0xFFFF);
  SQLULEN processed = 0;
  for (size_t i = 0; i < n; ++i) {
    const long row = first + static_cast<long>(i);
    mark[i] = static_cast<SQLINTEGER>(row + 1);
    machine[i] = static_cast<SQLINTEGER>(Machine(row));
    recNum[i] = static_cast<SQLINTEGER>(row + 1);
  }
  Must(OdbcSucceeded(Odbc.SQLSetStmtAttr(h, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)),
       "column-wise binding");
  Must(OdbcSucceeded(Odbc.SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(n), 0)), "set size");
  Must(OdbcSucceeded(Odbc.SQLSetStmtAttr(h, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0)), "status array");
  Must(OdbcSucceeded(Odbc.SQLSetStmtAttr(h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0)), "processed count");
  SQLINTEGER* columns[] = {mark.data(), machine.data(), recNum.data()};
  for (SQLUSMALLINT p = 0; p < 3; ++p)
    Must(OdbcSucceeded(Odbc.SQLBindParameter(h, static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, SQL_C_SLONG,
                                             SQL_INTEGER, 0, 0, columns[p], 0, nullptr)),
         "bind");
  Must(OdbcSucceeded(Odbc.SQLExecute(h)), "execute the array");
  Must(processed == n, "every set processed");
  // A driver may leave the status array as it was: it then tells nothing
  // of any one set, and only the read-back does.
  for (auto st : status)
    if (st == 0xFFFF)
      StatusUnfilled = true;
    else if (st != SQL_PARAM_SUCCESS && st != SQL_PARAM_SUCCESS_WITH_INFO) {
      std::fprintf(stderr, "a set's status is %u\n", static_cast<unsigned>(st));
      std::exit(1);
    }
  SQLLEN rows = -1;
  Odbc.SQLRowCount(h, &rows);
  Must(rows == -1 || rows == count, "total count");
  Odbc.SQLFreeHandle(SQL_HANDLE_STMT, h);
  ReadBack(c, first, count);
  Must(c.EndTransaction(true), "commit");
}

void OneStatement(TODBC& c, long first, long count) {
  std::vector<TRowKey> keys;
  keys.reserve(static_cast<size_t>(count));
  for (long i = first; i < first + count; ++i) keys.push_back(KeyOf(i));
  std::vector<TMarkRequest> requests;
  for (long i = 0; i < count; ++i) requests.push_back({&keys[static_cast<size_t>(i)], first + i + 1, 0});
  TODBCStatement s(&c, false, false);
  const TMarkResult r = MarkRows(s, "bench_marks", requests);
  Must(r.Executed && r.Rows == count, "batch marked");
  ReadBack(c, first, count);
  Must(c.EndTransaction(true), "commit");
}

struct TTarget {
  const char* Name;
  std::function<bool(TODBC&)> Connect;
};

void RunTarget(const TTarget& target, long rows, long batch) {
  TODBC c;
  c.ReportErrors = true;
  Must(target.Connect(c), target.Name);
  Fill(c, rows);
  const TArraySupport a = ArraySupport(c);
  std::printf("%s: parameter arrays %s, %s\n", target.Name,
              a.RowCounts == SQL_PARC_BATCH      ? "give each set's row count"
              : a.RowCounts == SQL_PARC_NO_BATCH ? "give one row count for all sets"
                                                 : "say nothing of row counts",
              a.Selects == SQL_PAS_NO_SELECT ? "no selects" : "selects allowed");
  const TWay ways[] = {
      {"per row, autocommit", [](TODBC& cc, long f, long n) { PerRow(cc, f, n, true); }},
      {"per row, one commit", [](TODBC& cc, long f, long n) { PerRow(cc, f, n, false); }},
      {"parameter array", ParameterArray},
      {"one statement", OneStatement},
  };
  for (const auto& way : ways) {
    Exec(c, "update bench_marks set convtd=0");
    Must(c.EndTransaction(true), "commit the reset");
    const auto t0 = Clock::now();
    for (long first = 0; first < rows; first += batch) way.Mark(c, first, std::min(batch, rows - first));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    Must(CountWhere(c, "convtd=rec_num") == rows, "every row holds its own mark");
    std::printf("  %-22s %9.0f rows/s %9.1f us/row\n", way.Name, static_cast<double>(rows) / secs,
                secs * 1e6 / static_cast<double>(rows));
  }
  if (StatusUnfilled) std::printf("  (its parameter arrays left their status arrays unfilled)\n");
  StatusUnfilled = false;
  Exec(c, "drop table bench_marks");
  c.EndTransaction(true);
}

}  // namespace

int main(int argc, char** argv) {
  long delayUs = 250;
  std::vector<long> numbers;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    char* end = nullptr;
    const long v = std::strtol(a.c_str() + (a.rfind("--delay-us=", 0) == 0 ? 11 : 0), &end, 10);
    if (!end || *end || v <= 0 || (a.rfind("--", 0) == 0 && a.rfind("--delay-us=", 0) != 0)) {
      std::fprintf(stderr, "usage: %s [--delay-us=N] [ROWS [BATCH]]\n", argv[0]);
      return 2;
    }
    if (a.rfind("--delay-us=", 0) == 0)
      delayUs = v;
    else
      numbers.push_back(v);
  }
  const long rows = numbers.size() > 0 ? numbers[0] : 4096;
  const long batch = numbers.size() > 1 ? numbers[1] : MaxMarksPerStatement;
  if (numbers.size() > 2 || batch > MaxMarksPerStatement) {
    std::fprintf(stderr, "at most two numbers, and a batch of at most %d\n", MaxMarksPerStatement);
    return 2;
  }
  const TServer server;
  auto maria = [&server](int port) {
    return [&server, port](TODBC& c) {
      return c.Connect("", server.User, server.Password, server.Database, true, "MySQL ODBC 3.51 Driver",
                       "SERVER=127.0.0.1;PORT=" + std::to_string(port) + ";CONN_TIMEOUT=5");
    };
  };
  std::printf("%ld rows in batches of %ld\n", rows, batch);
  RunTarget({"MariaDB on loopback", maria(server.PortNumber())}, rows, batch);
  {
    TDelayRelay relay(server.PortNumber(), std::chrono::microseconds(delayUs));
    const std::string name = "MariaDB " + std::to_string(2 * delayUs) + " us away";
    RunTarget({name.c_str(), maria(relay.Port())}, rows, batch);
  }
  const auto folder = std::filesystem::temp_directory_path() /
                      ("tidewell-bench-marks-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "marks.db").string();
  RunTarget({"SQLite in a file", [&file](TODBC& c) { return c.Connect("", "", "", file, true, "SQLite3", ""); }},
            rows, batch);
  std::filesystem::remove_all(folder);
  return 0;
}
