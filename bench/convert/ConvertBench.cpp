// What one conversion run costs, beside the least it could cost and beside
// what a user would script instead.
//
//  1. TKestrel::ConvertTables over N unconverted weight rows (10 machines,
//     10 days) into FoxPro files with 12 fields, a memo and a production
//     index of two tags (a DTOS+STR compound key and a numeric key): rows/s.
//  2. The floor: the same select and the same per-row UPDATE through plain
//     ODBC calls on one connection, writing no file at all.
//  3. The peer: a Python script (python3-pyodbc and python3-dbf) doing the
//     same job the same way (up to 100,000 rows).
// Argument ROWS (default 20000): the size of the backlog. A run's memory
// must not grow with it: compare the peak resident size across sizes.
// Between the phases every mark is cleared and the files are removed. The
// server commits without waiting for the disk (scripts/bench-convert sets
// it), so the figures measure the work, not the disk.
//
// It expects the environment of `scripts/testdb start DIR` (DIR/env.sh);
// scripts/bench-convert does it all in one go.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/Settings.h"
#include "dbf/CodeBase.h"
#include "app/sMain.h"
#include "logging/MessLog.h"
#include "bench/BenchSupport.h"
#include "odbc/ODBC.h"

using namespace tidewell;
using tidewell::bench::Env;
using tidewell::bench::Must;
using tidewell::bench::PeakRssKb;
using tidewell::bench::TServer;
using Clock = std::chrono::steady_clock;

namespace {

void Exec(TODBC& c, const std::string& sql) {
  TODBCStatement s(&c, false, true);
  Must(s.ExecSQL(sql), sql.c_str());
}

void MakeRows(const TServer& server, int rows) {
  TODBC c;
  c.ReportErrors = true;
  Must(c.Connect("", server.User, server.Password, server.Database, false, "MySQL ODBC 3.51 Driver", server.Extra),
       "connect");
  Exec(c, "drop table if exists weight");
  Exec(c,
       "create table weight (rec_num int primary key, machine int, dat_e date, tim_e varchar(8), "
       "gross decimal(10,2), tare decimal(10,2), net decimal(10,2), operator varchar(20), product varchar(30), "
       "checked tinyint, lot varchar(10), remark text, convtd int) engine=InnoDB");
  std::string insert;
  for (int i = 1; i <= rows; ++i) {
    const int machine = i % 10 + 1;
    const int day = (i / 10) % 10 + 1;
    char row[512];
    std::snprintf(row, sizeof row,
                  "(%d,%d,'2026-11-%02d','%02d:%02d:%02d',%d.50,250.25,%d.25,'operator %d','product %d',%d,'L%06d',%s,NULL)",
                  i, machine, day, i / 3600 % 24, i / 60 % 60, i % 60, 1000 + i % 500, 750 + i % 500, i % 17,
                  i % 29, i % 2, i, i % 5 == 0 ? "'a remark on this weighing, long enough to need a memo block'" : "NULL");
    insert += insert.empty() ? "insert into weight values " : ",";
    insert += row;
    if (i % 500 == 0 || i == rows) {
      Exec(c, insert);
      insert.clear();
    }
  }
}

void Reset(const TServer& server, const std::string& share) {
  TODBC c;
  Must(c.Connect("", server.User, server.Password, server.Database, false, "MySQL ODBC 3.51 Driver", server.Extra),
       "connect");
  Exec(c, "update weight set convtd=NULL");
  std::filesystem::remove_all(share + "netw/weight");
  std::filesystem::create_directories(share + "netw/weight");
}

// The template: python3-dbf's FoxPro table (made by the script) given the
// two tags by our engine.
void MakeIndexedTemplate(const std::string& dir) {
  const std::string plain = dir + "/plain.dbf";
  CodeHandle code = code4initP();
  code4safety(code, 0);
  DbfHandle source = d4open(code, plain.c_str());
  Must(source != nullptr, "open the plain template");
  FIELD4INFO* fields = d4fieldInfo(source);
  const TAG4INFO tags[] = {{"DAYMACH", "DTOS(DAT_E)+STR(MACHINE,3)", "", 0, 0},
                           {"RECNUM", "REC_NUM", "", 0, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  Must(d4create(code, (dir + "/share/netw/gstru.dbf").c_str(), fields, tags) != nullptr, "create the template");
  u4freeDefault(fields);
  code4initUndoP(code);
}

// Runs one ConvertTables; rssGrowthKb: how far the process's peak resident
// size rose during it, peakKb: that peak.
double Ours(const TServer& server, const std::string& dir, long& rssGrowthKb, long& peakKb) {
  TKestrel k;
  k.ShareRootOverride = dir + "/share/";
  MainLog = std::make_unique<TMessLog>(dir + "/bench.log", "", true, false, false, true);
  Must(k.OpenDatabase("", server.Database, server.User, server.Password, "MySQL ODBC 3.51 Driver", server.Extra),
       "connect");
  const long before = PeakRssKb();
  const auto start = Clock::now();
  k.ConvertTables(true);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  peakKb = PeakRssKb();
  rssGrowthKb = peakKb - before;
  k.CloseDatabase();
  MainLog.reset();
  return seconds;
}

// The same select and per-row UPDATE through plain ODBC calls.
double Floor(const TServer& server) {
  TODBC c;
  Must(c.Connect("", server.User, server.Password, server.Database, false, "MySQL ODBC 3.51 Driver", server.Extra),
       "connect");
  SQLHSTMT sel = SQL_NULL_HSTMT, upd = SQL_NULL_HSTMT;
  Must(OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, c.ConnHandle, &sel)), "select handle");
  Must(OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, c.ConnHandle, &upd)), "update handle");
  const auto start = Clock::now();
  std::string select = "select * from weight where ifnull(convtd,0)=0 order by machine,dat_e,tim_e,rec_num";
  Must(OdbcSucceeded(Odbc.SQLExecDirect(sel, reinterpret_cast<SQLCHAR*>(select.data()), SQL_NTS)), "select");
  int recno = 0, lastMachine = -99;
  char lastDate[32] = "";
  while (OdbcSucceeded(Odbc.SQLFetch(sel))) {
    SQLINTEGER machine = 0;
    SQLLEN ind = 0;
    char recNum[32] = "", date[32] = "";
    Odbc.SQLGetData(sel, 1, SQL_C_CHAR, recNum, sizeof recNum, &ind);
    Odbc.SQLGetData(sel, 2, SQL_C_SLONG, &machine, 0, &ind);
    Odbc.SQLGetData(sel, 3, SQL_C_CHAR, date, sizeof date, &ind);
    if (machine != lastMachine || std::string(date) != lastDate) {
      recno = 0;
      lastMachine = machine;
      std::snprintf(lastDate, sizeof lastDate, "%s", date);
    }
    std::string update = "update weight set convtd=" + std::to_string(++recno) +
                         " where machine=" + std::to_string(machine) + " and rec_num=" + recNum;
    Must(OdbcSucceeded(Odbc.SQLExecDirect(upd, reinterpret_cast<SQLCHAR*>(update.data()), SQL_NTS)), "update");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Odbc.SQLFreeHandle(SQL_HANDLE_STMT, upd);
  Odbc.SQLFreeHandle(SQL_HANDLE_STMT, sel);
  return seconds;
}

double Peer(const TServer& server, const std::string& peer, const std::string& dir, int& rows) {
  const std::string cmd = std::string(TIDEWELL_PYTHON) + " " + peer + " run '" + server.ConnectString() + "' '" + dir + "/share' '" +
                          dir + "/plain.dbf'";
  FILE* p = popen(cmd.c_str(), "r");
  Must(p != nullptr, "start the Python peer");
  double seconds = 0;
  Must(std::fscanf(p, "%d %lf", &rows, &seconds) == 2, "read the Python peer's figures");
  Must(pclose(p) == 0, "Python peer");
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORK_DIR PEER_SCRIPT [ROWS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::string peer = argv[2];
  const int rows = argc > 3 ? std::atoi(argv[3]) : 20000;
  const TServer server;
  std::filesystem::create_directories(dir + "/share/netw/weight");
  MakeIndexedTemplate(dir);

  MakeRows(server, rows);
  std::printf("%d unconverted weight rows over 10 machines and 10 days; FoxPro template, 12 fields with a memo;\n"
              "our files also carry a two-tag .cdx, the Python peer's none\n",
              rows);

  // Ours and the floor take turns, twice (once for a large backlog, which
  // takes minutes), and each keeps its better run, so that a busy moment of
  // the machine does not decide the ratio. Ours goes first: the floor's
  // cursor holds the whole result, and the process's peak would show it.
  const int rounds = rows >= 500000 ? 1 : 2;
  long rssGrowth = 0, peak = 0;
  double ours = 1e300, floor = 1e300;
  for (int round = 0; round < rounds; ++round) {
    Reset(server, dir + "/share/");
    long growth = 0, peakNow = 0;
    ours = std::min(ours, Ours(server, dir, growth, peakNow));
    rssGrowth = std::max(rssGrowth, growth);
    if (round == 0) peak = peakNow;
    Reset(server, dir + "/share/");
    floor = std::min(floor, Floor(server));
  }
  // The Python peer takes about a minute per 100,000 rows: it runs on the
  // smaller backlogs only.
  double peerSeconds = 0;
  if (rows <= 100000) {
    Reset(server, dir + "/share/");
    int peerRows = 0;
    peerSeconds = Peer(server, peer, dir, peerRows);
    Must(peerRows == rows, "the Python peer converted every row");
  }

  const double oursRate = rows / ours, floorRate = rows / floor;
  std::printf("  ConvertTables                   %9.0f rows/s  (%.2f s)\n", oursRate, ours);
  std::printf("  floor: select + UPDATE, no file %9.0f rows/s  (%.2f s)\n", floorRate, floor);
  if (peerSeconds > 0) std::printf("  python3-pyodbc + python3-dbf    %9.0f rows/s  (%.2f s)\n", rows / peerSeconds, peerSeconds);
  std::printf("  ConvertTables / floor  = %.2f   (target >= 0.9)\n", oursRate / floorRate);
  if (peerSeconds > 0) std::printf("  ConvertTables / python = %.2f   (target >= 2.5)\n", oursRate / (rows / peerSeconds));
  std::printf("  peak resident size after ConvertTables: %ld KiB\n", peak);
  std::printf("  peak memory growth during ConvertTables: %ld KiB\n", rssGrowth);
  return 0;
}
