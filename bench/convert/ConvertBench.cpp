// What the conversion costs under the conditions of a site, beside the least
// it could cost and beside what a user would script instead.
//
//  1. Ours: the whole program, `tidewell -ONCE` in an installation folder of
//     its own (its mysqlconn.ini, log and journal beside it), over N
//     unconverted weight rows (10 machines, 10 days) into FoxPro files with
//     12 fields, a memo and a production index of two tags (a DTOS+STR
//     compound key and a numeric key); its second cycle finds the action
//     table empty. Timed from the spawn to the exit; its peak resident size
//     is its own high-water mark, read from /proc while it runs. A run counts only when it exits
//     with 0, every row is marked and the files hold N records.
//  2. The floor: the same select and one autocommit UPDATE per row through
//     plain ODBC calls on one connection, writing no file at all, under the
//     same condition in the same round.
//  3. The peer: a Python script (python3-pyodbc and python3-dbf) doing the
//     same job the same way, on a quiet machine up to 100,000 rows.
//
// The conditions:
//   quiet    the server on loopback, nothing else running;
//   busy     as quiet, with one core taken by another program (a child
//            process in a plain busy loop) while ours and the floor run;
//   latency  the server reached through TDelayRelay (DelayRelay.h), which
//            holds every chunk DELAY microseconds in each direction.
//
// usage: bench_convert [--conditions=LIST] [--delay-us=N] [--relay=PROGRAM]
//                      WORK_DIR PEER_SCRIPT [ROWS...]
//   LIST      conditions, separated by commas or spaces (default: all three)
//   N         the latency condition's hold in each direction (default 250)
//   PROGRAM   another relay to run instead of ours, started as
//             `PROGRAM LISTEN_PORT TARGET_PORT DELAY_US` (to compare with)
//   ROWS      backlog sizes, each measured under every condition (20000)
// Ours and the floor take turns twice below 500,000 rows (once above, which
// takes minutes) and each keeps its better run, so that a busy moment of
// the machine does not decide the ratio. Between the runs every mark is
// cleared and the files are removed. The server commits without waiting
// for the disk (scripts/bench-convert sets it), so the figures measure the
// work, not the disk.
//
// It expects the environment of `scripts/testdb start DIR` (DIR/env.sh);
// scripts/bench-convert does it all in one go.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Settings.h"
#include "bench/BenchSupport.h"
#include "bench/convert/Conditions.h"
#include "bench/convert/DelayRelay.h"
#include "dbf/CodeBase.h"
#include "odbc/ODBC.h"
#include "tests/support/Spawn.h"

using namespace tidewell;
using tidewell::bench::Must;
using tidewell::bench::TBusyCore;
using tidewell::bench::TDelayRelay;
using tidewell::bench::TOtherRelay;
using tidewell::bench::TServer;
using Clock = std::chrono::steady_clock;

namespace {

const char* const Driver = "MySQL ODBC 3.51 Driver";

// The goals: ours against the floor in each condition, and how far
// the peak of a large backlog may rise above that of 100,000 rows.
struct TCondition {
  const char* Name;
  double Goal;
};
const TCondition Conditions[] = {{"quiet", 1.5}, {"busy", 1.0}, {"latency", 3.0}};
const long MemoryGoalKb = 20 * 1024;
const int MemoryBaseRows = 100000;

struct TOptions {
  std::vector<std::string> Conditions;
  long DelayUs = 250;
  std::string Relay;
  std::string Dir, Peer;
  std::vector<int> Sizes;
};

[[noreturn]] void Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [--conditions=quiet,busy,latency] [--delay-us=N] [--relay=PROGRAM] WORK_DIR PEER_SCRIPT "
               "[ROWS...]\n",
               self);
  std::exit(2);
}

const TCondition* FindCondition(const std::string& name) {
  for (const auto& c : Conditions)
    if (name == c.Name) return &c;
  return nullptr;
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  std::vector<std::string> rest;
  std::string conditions = "quiet,busy,latency";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--conditions=", 0) == 0)
      conditions = a.substr(13);
    else if (a.rfind("--delay-us=", 0) == 0)
      o.DelayUs = std::atol(a.c_str() + 11);
    else if (a.rfind("--relay=", 0) == 0)
      o.Relay = a.substr(8);
    else if (a.rfind("--", 0) == 0)
      Usage(argv[0]);
    else
      rest.push_back(a);
  }
  std::replace(conditions.begin(), conditions.end(), ',', ' ');
  std::istringstream names(conditions);
  for (std::string name; names >> name;) {
    if (!FindCondition(name)) {
      std::fprintf(stderr, "unknown condition %s: the conditions are quiet, busy and latency\n", name.c_str());
      std::exit(2);
    }
    if (std::find(o.Conditions.begin(), o.Conditions.end(), name) == o.Conditions.end()) o.Conditions.push_back(name);
  }
  if (rest.size() < 2 || o.Conditions.empty() || o.DelayUs < 0) Usage(argv[0]);
  o.Dir = rest[0];
  o.Peer = rest[1];
  for (size_t i = 2; i < rest.size(); ++i) {
    const int rows = std::atoi(rest[i].c_str());
    if (rows <= 0) Usage(argv[0]);
    o.Sizes.push_back(rows);
  }
  if (o.Sizes.empty()) o.Sizes.push_back(20000);
  return o;
}

// Connection-string settings for the test server, or for whatever relays
// to it from `port`.
std::string ExtraAt(int port) { return "SERVER=127.0.0.1;PORT=" + std::to_string(port) + ";CONN_TIMEOUT=5"; }

void Connect(TODBC& c, const TServer& server, int port) {
  c.ReportErrors = true;
  Must(c.Connect("", server.User, server.Password, server.Database, false, Driver, ExtraAt(port)), "connect");
}

void Exec(TODBC& c, const std::string& sql) {
  TODBCStatement s(&c, false, true);
  Must(s.ExecSQL(sql), sql.c_str());
}

// One number a query gives, through plain ODBC calls.
long Count(TODBC& c, const std::string& sql) {
  SQLHSTMT s = SQL_NULL_HSTMT;
  Must(OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, c.ConnHandle, &s)), "statement handle");
  std::string text = sql;
  Must(OdbcSucceeded(Odbc.SQLExecDirect(s, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)), sql.c_str());
  Must(OdbcSucceeded(Odbc.SQLFetch(s)), sql.c_str());
  char value[32] = "";
  SQLLEN ind = 0;
  Must(OdbcSucceeded(Odbc.SQLGetData(s, 1, SQL_C_CHAR, value, sizeof value, &ind)), sql.c_str());
  Odbc.SQLFreeHandle(SQL_HANDLE_STMT, s);
  return ind == SQL_NULL_DATA ? 0 : std::atol(value);
}

const char* const Columns =
    "(rec_num int primary key, machine int, dat_e date, tim_e varchar(8), gross decimal(10,2), tare decimal(10,2), "
    "net decimal(10,2), operator varchar(20), product varchar(30), checked tinyint, lot varchar(10), remark text, "
    "convtd int) engine=InnoDB";

void MakeRows(const TServer& server, int rows) {
  TODBC c;
  Connect(c, server, server.PortNumber());
  Exec(c, "drop table if exists weight");
  Exec(c, std::string("create table weight ") + Columns);
  // The program's second cycle takes the action table: it is there, empty.
  Exec(c, "drop table if exists action");
  Exec(c, std::string("create table action ") + Columns);
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
  Connect(c, server, server.PortNumber());
  Exec(c, "update weight set convtd=NULL");
  std::filesystem::remove_all(share + "netw/weight");
  std::filesystem::create_directories(share + "netw/weight");
}

// Rows a run left without a mark.
long Unmarked(const TServer& server) {
  TODBC c;
  Connect(c, server, server.PortNumber());
  return Count(c, "select count(*) from weight where ifnull(convtd,0)=0");
}

// The records of every file on the share, from each file's header.
long RecordsOnShare(const std::string& share) {
  long records = 0;
  for (const auto& entry : std::filesystem::directory_iterator(share + "netw/weight")) {
    if (entry.path().extension() != ".dbf") continue;
    std::ifstream f(entry.path(), std::ios::binary);
    unsigned char header[8] = {};
    Must(f.read(reinterpret_cast<char*>(header), sizeof header).good(), "read a file's header");
    records += static_cast<long>(header[4] | header[5] << 8 | header[6] << 16 | static_cast<std::uint32_t>(header[7]) << 24);
  }
  return records;
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

// The program installed as a site has it: the executable in a folder of its
// own, its settings beside it.
struct TInstall {
  explicit TInstall(const std::string& dir) : Folder(dir + "/install"), Exe(Folder + "/tidewell") {
    std::filesystem::create_directories(Folder);
    std::filesystem::copy_file(TIDEWELL_BENCH_EXE, Exe, std::filesystem::copy_options::overwrite_existing);
  }
  // The settings of a site whose server answers on `port`.
  void Settings(const TServer& server, int port) const {
    const std::string path = Folder + "/" + SettingsFileName;
    std::ofstream ini(path, std::ios::trunc);
    ini << "[" << SettingsSection << "]\nHost=\nDataBase=" << server.Database << "\nUser=" << server.User
        << "\nKey=" << server.Password << "\nDriver=" << Driver << "\nCustom=SERVER=127.0.0.1;PORT=" << port
        << DefaultTimeouts << "\n";
    ini.close();
    Must(ini.good(), "write mysqlconn.ini");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::string Folder, Exe;
};

// VmHWM of a running process, in KiB (0 once it has exited).
long HighWaterKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct TOurs {
  double Seconds;
  long PeakKb;
};

// One `tidewell -ONCE`, from its spawn to its exit.
TOurs Ours(const TInstall& at, const std::string& share) {
  test::TSpawn spawn;
  spawn.Args = {at.Exe, "-ONCE"};
  spawn.DropEnv.push_back("TIDEWELL_BENCH_SHARE_ROOT=");
  spawn.AddEnv = {"TIDEWELL_BENCH_SHARE_ROOT=" + share};
  const std::string out = at.Folder + "/output.txt";
  spawn.Output = out;
  const auto start = Clock::now();
  const pid_t pid = test::SpawnProcess(spawn);
  const bool spawned = pid != -1;
  Must(spawned, "start tidewell -ONCE");
  // The peak is the child's own: its high-water mark, read while it runs.
  // (The rusage of its exit would not do: the kernel counts into it what
  // the benchmark itself held when the child was spawned from it.)
  int status = 0;
  long peakKb = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    Must(done == 0 || errno == EINTR, "wait for tidewell -ONCE");
    peakKb = std::max(peakKb, HighWaterKb(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "tidewell -ONCE ended with %s %d; its output (%s):\n", WIFEXITED(status) ? "code" : "signal",
                 WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status), out.c_str());
    std::ifstream text(out);
    std::fprintf(stderr, "%s\nits log is in %s/log\n",
                 std::string(std::istreambuf_iterator<char>(text), std::istreambuf_iterator<char>()).c_str(),
                 at.Folder.c_str());
    std::exit(1);
  }
  return TOurs{seconds, peakKb};
}

// The same select and per-row UPDATE through plain ODBC calls.
double Floor(const TServer& server, int port) {
  TODBC c;
  Connect(c, server, port);
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
  const std::string cmd = std::string(TIDEWELL_PYTHON) + " " + peer + " run '" + server.ConnectString() + "' '" + dir +
                          "/share' '" + dir + "/plain.dbf'";
  FILE* p = popen(cmd.c_str(), "r");
  Must(p != nullptr, "start the Python peer");
  double seconds = 0;
  Must(std::fscanf(p, "%d %lf", &rows, &seconds) == 2, "read the Python peer's figures");
  Must(pclose(p) == 0, "Python peer");
  return seconds;
}

struct TResult {
  int Rows;
  const TCondition* Condition;
  double Ours, Floor;  // rows/s
  long PeakKb;
};

// What the table says of the peak: how far above 100,000 rows' it is, in
// the same condition, once both were measured.
std::string MemoryNote(const TResult& r, const std::vector<TResult>& all) {
  if (r.Rows <= MemoryBaseRows) return "";
  for (const auto& base : all)
    if (base.Rows == MemoryBaseRows && base.Condition == r.Condition) {
      const long over = r.PeakKb - base.PeakKb;
      char text[96];
      std::snprintf(text, sizeof text, "%+ld KiB over 100000 rows (goal <= +%ld) %s", over, MemoryGoalKb,
                    over <= MemoryGoalKb ? "met" : "MISSED");
      return text;
    }
  return "(measure 100000 rows too for the memory goal)";
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);
  const std::string& dir = options.Dir;
  const std::string share = dir + "/share/";
  const TServer server;
  std::filesystem::create_directories(share + "netw/weight");
  std::filesystem::create_directories(share + "netw/action");
  MakeIndexedTemplate(dir);
  const TInstall install(dir);

  std::vector<TResult> results;
  for (const int rows : options.Sizes) {
    MakeRows(server, rows);
    std::printf("%d unconverted weight rows over 10 machines and 10 days; FoxPro template, 12 fields with a memo;\n"
                "our files also carry a two-tag .cdx, the Python peer's none\n",
                rows);
    for (const std::string& name : options.Conditions) {
      const TCondition* condition = FindCondition(name);
      const bool latency = name == "latency", busy = name == "busy";
      // The relay runs through the whole condition; the busy loop only while
      // ours or the floor does.
      std::unique_ptr<TDelayRelay> relay;
      std::unique_ptr<TOtherRelay> other;
      int port = server.PortNumber();
      if (latency && options.Relay.empty()) {
        relay = std::make_unique<TDelayRelay>(port, std::chrono::microseconds(options.DelayUs));
        port = relay->Port();
      } else if (latency) {
        other = std::make_unique<TOtherRelay>(options.Relay, port, options.DelayUs);
        port = other->Port();
      }
      install.Settings(server, port);

      // Each run is taken under the condition: with the busy loop spinning
      // beside it, or with the relay's holds counted from its start.
      TDelayRelay::THolds holds[2];
      const auto under = [&](int which, const auto& measure) {
        if (relay) relay->ForgetHolds();
        std::optional<TBusyCore> loop;
        if (busy) loop.emplace();
        measure();
        loop.reset();
        if (relay) holds[which] = relay->Holds();
      };
      // Ours goes first in each round, as a site runs it: on its own.
      const int rounds = rows >= 500000 ? 1 : 2;
      TOurs ours{1e300, 0};
      double floor = 1e300;
      for (int round = 0; round < rounds; ++round) {
        Reset(server, share);
        TOurs run{};
        under(0, [&] { run = Ours(install, share); });
        const long unmarked = Unmarked(server), records = RecordsOnShare(share);
        if (unmarked != 0 || records != rows) {
          std::fprintf(stderr, "tidewell -ONCE left %ld of %d rows unmarked and wrote %ld records; its log is in %s/log\n",
                       unmarked, rows, records, install.Folder.c_str());
          return 1;
        }
        ours.Seconds = std::min(ours.Seconds, run.Seconds);
        ours.PeakKb = std::max(ours.PeakKb, run.PeakKb);
        Reset(server, share);
        under(1, [&] { floor = std::min(floor, Floor(server, port)); });
        Must(Unmarked(server) == 0, "the floor marked every row");
      }
      const TResult r{rows, condition, rows / ours.Seconds, rows / floor, ours.PeakKb};
      results.push_back(r);
      if (relay)
        std::printf("  %s: the server %ld us away each way, through the benchmark's relay (its timer asked %.0f us "
                    "early)\n",
                    name.c_str(), options.DelayUs, relay->TimerLateness().count() / 1000.0);
      else if (latency)
        std::printf("  %s: the server %ld us away each way, through %s\n", name.c_str(), options.DelayUs,
                    options.Relay.c_str());
      else
        std::printf("  %s: %s\n", name.c_str(),
                    busy ? "the server on loopback, one core taken by a busy loop" : "the server on loopback");
      std::printf("    tidewell -ONCE                  %9.0f rows/s  (%.2f s, peak %ld KiB)\n", r.Ours, ours.Seconds,
                  r.PeakKb);
      std::printf("    floor: select + UPDATE, no file %9.0f rows/s  (%.2f s)\n", r.Floor, floor);
      std::printf("    tidewell / floor = %.2f   (goal >= %.1f)\n", r.Ours / r.Floor, condition->Goal);
      // What the wire was like in the last round: chunks both ways per row,
      // and how long the relay held them.
      if (relay)
        for (int which : {0, 1})
          std::printf("    relay, %-8s %5.2f chunks a row, held %.0f us (median), %.0f us (99th percentile)\n",
                      which ? "floor:" : "tidewell:", static_cast<double>(holds[which].Chunks) / rows,
                      holds[which].MedianUs, holds[which].P99Us);
      // The Python peer takes about a minute per 100,000 rows.
      if (name == "quiet" && rows <= 100000) {
        Reset(server, share);
        int peerRows = 0;
        const double peerSeconds = Peer(server, options.Peer, dir, peerRows);
        Must(peerRows == rows, "the Python peer converted every row");
        std::printf("    python3-pyodbc + python3-dbf    %9.0f rows/s  (%.2f s)\n", rows / peerSeconds, peerSeconds);
        std::printf("    tidewell / python = %.2f\n", r.Ours / (rows / peerSeconds));
      }
      std::fflush(stdout);
    }
  }

  std::printf("\n%9s  %-8s  %12s  %12s  %6s  %-9s  %9s  %s\n", "rows", "cond.", "tidewell/s", "floor/s", "ratio",
              "goal", "peak KiB", "memory");
  for (const auto& r : results) {
    const double ratio = r.Ours / r.Floor;
    char goal[16];
    std::snprintf(goal, sizeof goal, ">=%.1f %s", r.Condition->Goal, ratio >= r.Condition->Goal ? "met" : "MISS");
    std::printf("%9d  %-8s  %12.0f  %12.0f  %6.2f  %-9s  %9ld  %s\n", r.Rows, r.Condition->Name, r.Ours, r.Floor, ratio,
                goal, r.PeakKb, MemoryNote(r, results).c_str());
  }
  return 0;
}
