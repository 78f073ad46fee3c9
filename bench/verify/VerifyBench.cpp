// What `tidewell -VERIFY` costs over a long range.
//
// `prepare`: N weight rows (10 machines over N/1000 days, 1,000 rows a day)
// are converted by TKestrel::ConvertTables into FoxPro files with 12 fields
// and a memo. `check`, in a process of its own: TVerify checks a tenth of
// the range, then all of it (one select per day, every file read once).
// Figures: rows/s of the whole check, and the process's peak resident size
// after each, which must not grow with the range.
// Argument ROWS (default 100000).
//
// It expects the environment of `scripts/testdb start DIR` (DIR/env.sh);
// scripts/bench-verify does it all in one go.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/Settings.h"
#include "app/Verify.h"
#include "app/sMain.h"
#include "bench/BenchSupport.h"
#include "logging/MessLog.h"
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
       "checked tinyint, lot varchar(10), remark text, convtd int, key (dat_e)) engine=InnoDB");
  std::string insert;
  for (int i = 1; i <= rows; ++i) {
    const int machine = i % 10 + 1;
    const int day = (i - 1) / 1000;  // days from 2020-01-01
    char row[512];
    std::snprintf(row, sizeof row,
                  "(%d,%d,date_add('2020-01-01', interval %d day),'%02d:%02d:%02d',%d.50,250.25,%d.25,'operator %d',"
                  "'product %d',%d,'L%06d',%s,NULL)",
                  i, machine, day, i / 3600 % 24, i / 60 % 60, i % 60, 1000 + i % 500, 750 + i % 500, i % 17, i % 29,
                  i % 2, i, i % 5 == 0 ? "'a remark on this weighing, long enough to need a memo block'" : "NULL");
    insert += insert.empty() ? "insert into weight values " : ",";
    insert += row;
    if (i % 500 == 0 || i == rows) {
      Exec(c, insert);
      insert.clear();
    }
  }
}

// One check of the first `days` days; its seconds.
double Check(const TServer& server, const std::string& dir, int days, TVerifyCounts& totals) {
  TKestrel k;
  k.ShareRootOverride = dir + "/share/";
  Must(k.OpenDatabase("", server.Database, server.User, server.Password, "MySQL ODBC 3.51 Driver", server.Extra),
       "connect");
  TVerifyRequest request;
  request.Tables = {"weight"};
  request.From = EncodeDate(2020, 1, 1);
  request.To = request.From + days - 1;
  TVerify verify(dir + "/share/", [&](const std::string& table) { return dir + "/journal/" + table + ".jnl"; });
  verify.Out = [](const std::string&) {};
  const auto start = Clock::now();
  const int code = verify.Run(request);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  k.CloseDatabase();
  Must(code == 0, "a clean check");
  totals = verify.Totals;
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::string(argv[1]) != "prepare" && std::string(argv[1]) != "check")) {
    std::fprintf(stderr, "usage: %s prepare|check WORK_DIR [ROWS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[2];
  const int rows = argc > 3 ? std::atoi(argv[3]) : 100000;
  const int days = (rows + 999) / 1000;
  const TServer server;
  MainLog = std::make_unique<TMessLog>(dir + "/bench.log", "", true, false, false, true);
  if (std::string(argv[1]) == "prepare") {
    Must(std::filesystem::exists(dir + "/share/netw/gstru.dbf"), "the template (made by scripts/bench-verify)");
    std::filesystem::create_directories(dir + "/share/netw/weight");
    MakeRows(server, rows);
    TKestrel k;
    k.ShareRootOverride = dir + "/share/";
    k.ExeDirOverride = dir;
    Must(k.OpenDatabase("", server.Database, server.User, server.Password, "MySQL ODBC 3.51 Driver", server.Extra),
         "connect");
    const auto start = Clock::now();
    k.ConvertTables(true);
    k.CloseDatabase();
    std::printf("%d weight rows over %d days and 10 machines, FoxPro, 12 fields with a memo:\n"
                "  converted by ConvertTables in %.2f s\n",
                rows, days, std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
  }
  // A process of its own, so that its peak resident size is the check's:
  // a tenth of the range first, then all of it.
  TVerifyCounts tenth, all;
  const long atStart = PeakRssKb();
  Check(server, dir, std::max(1, days / 10), tenth);
  const long afterTenth = PeakRssKb();
  const double seconds = Check(server, dir, days, all);
  const long afterAll = PeakRssKb();
  Must(all.Rows == rows && all.Records == rows, "every row checked");
  std::printf("  TVerify over %d days (%d selects, %d files)  %9.0f rows/s  (%.2f s)\n", days, days, all.Files,
              rows / seconds, seconds);
  std::printf("  peak resident size: %ld KiB at the start, %ld KiB after %d days, %ld KiB after %d days\n", atStart,
              afterTenth, std::max(1, days / 10), afterAll, days);
  MainLog.reset();
  return 0;
}
