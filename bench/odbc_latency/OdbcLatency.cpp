// How much the ODBC layer adds to what the driver costs anyway.
//
//  1. Per-statement latency of an autocommit UPDATE through ExecSQLFmt (which
//     runs SQLExecDirect on a worker thread and waits for it) beside a plain
//     SQLExecDirect on the same connection, against MariaDB on loopback.
//     The conversion runs one such UPDATE per row, so this ratio is its cost.
//  2. Rows per second of walking a 100,000-row select with Skip and reading
//     10 columns per row, in unbound mode (MariaDB) and bound-column mode
//     (SQLite).
//
// It expects the environment that `scripts/testdb start DIR` writes to
// DIR/env.sh; scripts/bench-odbc does all of it in one go.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "odbc/ODBC.h"

using namespace tidewell;
using tidewell::bench::Env;
using tidewell::bench::Must;
using Clock = std::chrono::steady_clock;

namespace {

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool Connect(TODBC& c, bool maria, const std::string& database) {
  if (maria)
    return c.Connect("", Env("TIDEWELL_TEST_MARIADB_USER"), Env("TIDEWELL_TEST_MARIADB_PASSWORD"), database, false,
                     "MySQL ODBC 3.51 Driver",
                     "SERVER=127.0.0.1;PORT=" + Env("TIDEWELL_TEST_MARIADB_PORT") + ";CONN_TIMEOUT=5");
  return c.Connect("", "", "", database, false, "SQLite3", "");
}

void LatencyOfUpdates(int rounds) {
  TODBC c;
  c.ReportErrors = true;
  Must(Connect(c, true, Env("TIDEWELL_TEST_MARIADB_DATABASE")), "connect to MariaDB");
  TODBCStatement s(&c, false, false);
  Must(s.ExecSQL("drop table if exists bench_latency"), "drop");
  Must(s.ExecSQL("create table bench_latency (id int primary key, v int) engine=InnoDB"), "create");
  std::string insert = "insert into bench_latency values ";
  for (int i = 1; i <= 100; ++i) insert += (i > 1 ? ",(" : "(") + std::to_string(i) + ",0)";
  Must(s.ExecSQL(insert), "insert");

  // The raw path: the same connection, a plain statement handle, no thread.
  SQLHSTMT raw = SQL_NULL_HSTMT;
  Must(OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, c.ConnHandle, &raw)), "raw handle");

  std::vector<double> ours, direct;
  // Alternating blocks, so that drifts of the machine hit both sides alike.
  for (int i = 0; i < rounds; ++i) {
    const bool oursFirst = (i / 50) % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      const bool mine = (side == 0) == oursFirst;
      const int id = i % 100 + 1;
      const auto t0 = Clock::now();
      if (mine) {
        Must(s.ExecSQLFmt("update bench_latency set v=%d where id=%d", 2 * i, id), "update");
        ours.push_back(Micros(Clock::now() - t0));
      } else {
        // Another value than ours, so that neither side is a no-op update.
        const std::string sql =
            "update bench_latency set v=" + std::to_string(2 * i + 1) + " where id=" + std::to_string(id);
        Must(OdbcSucceeded(Odbc.SQLExecDirect(raw, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                              SQL_NTS)),
             "raw update");
        direct.push_back(Micros(Clock::now() - t0));
        Odbc.SQLFreeStmt(raw, SQL_CLOSE);
      }
    }
  }
  Odbc.SQLFreeHandle(SQL_HANDLE_STMT, raw);
  s.ExecSQL("drop table bench_latency");
  const double a = Median(ours), b = Median(direct);
  std::printf("autocommit UPDATE, MariaDB on loopback, %d each:\n", rounds);
  std::printf("  ExecSQLFmt median   %9.1f us\n", a);
  std::printf("  SQLExecDirect median %8.1f us\n", b);
  std::printf("  ratio               %9.3f  (target <= 1.2)\n", a / b);
}

void WalkRows(bool maria, int rows) {
  std::string database;
  std::filesystem::path folder;
  if (maria) {
    database = Env("TIDEWELL_TEST_MARIADB_DATABASE");
  } else {
    folder = std::filesystem::temp_directory_path() / ("tidewell-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    database = (folder / "walk.db").string();
  }
  TODBC c;
  c.ReportErrors = true;
  Must(Connect(c, maria, database), maria ? "connect to MariaDB" : "connect to SQLite");
  {
    TODBCStatement s(&c, false, false);
    s.ExecSQL("drop table if exists bench_walk");
    Must(s.ExecSQL("create table bench_walk (machine integer, dat_e date, tim_e time, rec_num integer, "
                   "convtd integer, weight double precision, name varchar(30), code varchar(10), "
                   "stamp datetime, flag integer)"),
         "create walk table");
    if (!maria) s.ExecSQL("begin");
    for (int done = 0; done < rows;) {
      std::string sql = "insert into bench_walk values ";
      for (int k = 0; k < 500 && done < rows; ++k, ++done)
        sql += std::string(k ? "," : "") + "(" + std::to_string(done % 40) + ",'2026-12-08','10:11:12'," +
               std::to_string(done) + ",0," + std::to_string(done * 0.25) + ",'name " + std::to_string(done) +
               "','C" + std::to_string(done % 997) + "','2026-12-08 10:11:12'," + std::to_string(done % 2) + ")";
      Must(s.ExecSQL(sql), "fill walk table");
    }
    if (!maria) s.ExecSQL("commit");
  }

  TODBCStatement s(&c, true, false);
  const auto t0 = Clock::now();
  Must(s.ExecSQL("select * from bench_walk order by rec_num"), "select");
  long seen = 0, checksum = 0;
  do {
    checksum += s.FieldAsInteger("machine") + s.FieldAsInteger("rec_num") + s.FieldAsInteger("convtd") +
                s.FieldAsInteger("flag");
    checksum += static_cast<long>(s.FieldAsDateTime("dat_e") + s.FieldAsDateTime("tim_e") + s.FieldAsDateTime("stamp"));
    checksum += static_cast<long>(s.FieldAsString("weight").size() + s.FieldAsString("name").size() +
                                  s.FieldAsString("code").size());
    ++seen;
  } while (s.Skip(sdNext, 1));
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("walk %d rows x 10 columns, %s (%s mode): %.0f rows/s (%.2f s, checksum %ld)\n", rows,
              maria ? "MariaDB" : "SQLite", s.Buffered ? "bound-column" : "unbound", seen / secs, secs, checksum);
  if (seen != rows) std::printf("  warning: saw %ld rows\n", seen);
  {
    TODBCStatement d(&c, false, false);
    d.ExecSQL("drop table bench_walk");
  }
  if (!maria) std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
  LatencyOfUpdates(rounds);
  WalkRows(true, rows);
  WalkRows(false, rows);
  return 0;
}
