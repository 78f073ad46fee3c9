// TKestrel: the service module. A timer on the main thread runs one cycle at
// a time: read the settings, connect, convert the unconverted rows of one
// table (weight and action in turn), disconnect, flush the log. The stop and
// shutdown handlers let a cycle in progress finish before answering.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include <string>

#include "common/DateTime.h"
#include "host/ServiceApplication.h"
#include "app/RowKey.h"
#include "dbf/CodeBase.h"
#include "platform/Timer.h"

namespace tidewell {

// First tick about a second after the start (the timer's default interval),
// then two minutes after the end of each cycle.
inline constexpr std::uint32_t FirstCycleDelayMs = 1000;
inline constexpr std::uint32_t CycleIntervalMs = 120000;
// Unconverted rows selected at a time: enough that the selections cost
// little beside the rows' updates, few enough that a run's memory does not
// grow with the backlog.
inline constexpr int DefaultSliceRows = 100000;

class TODBCStatement;
class TJournal;

// Name of the .dbf file of one machine and day: MMDDYY, the machine number
// with at least two digits, ".dbf" (03050407.dbf).
std::string MakeDbfName(TDateTime Date, int Machine);

// The library as a run and the next run's recovery use it: a file may be
// open twice, here and in other programs; d4create replaces a file (which
// the callers only do to files they mean to replace); a missing field is
// no error (the template decides which fields a file has); a damaged or
// missing index is rebuilt with the tags of `indexTemplate`, and what it
// repairs goes to the log. `reportOpenFailures` false: a table that does
// not open is the caller's to report. StopLibrary ends it (null: nothing).
CodeHandle StartLibrary(const std::string& indexTemplate, bool reportOpenFailures);
void StopLibrary(CodeHandle code);

// The connection settings one cycle read from mysqlconn.ini.
struct TConnectSettings {
  std::string Host, DataBase, User, Key, Driver, Custom;
};

class TKestrel : public TOneShotService {
 public:
  TKestrel();
  ~TKestrel() override;

  std::unique_ptr<platform::TTimer> tmrMainProcess;
  std::string ExeDir;
  // Raised for a whole cycle, settings and connection included, so a stop
  // never lets the log go away under a cycle that is still connecting (and
  // by ConvertTables for its own length when it runs outside a cycle).
  // Written by the cycle's thread only; the stop and shutdown handlers
  // poll it.
  std::atomic<bool> Busy{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> WeightTurn{true};
  TConnectSettings LastSettings;

  void ServiceExecute();
  void tmrMainProcessTimer();
  void RunCycle();
  void ServiceStop(bool& stopped);
  void ServiceShutdown();

  // Reads mysqlconn.ini into LastSettings and connects MainOdbc.
  virtual bool LoadSettings();
  bool OpenDatabase(const std::string& Host, const std::string& DataBase, const std::string& User,
                    const std::string& Key, const std::string& Driver, const std::string& Custom);
  // Frees MainOdbc if set (disconnects and commits).
  virtual void CloseDatabase();
  virtual void ConvertTables(bool Weight);

  // The share root the conversion writes under: the compiled-in one, or
  // ShareRootOverride when set (tests and the demo's own builds use the
  // build setting; tests use this seam).
  std::string ShareRootOverride;
  std::string ShareRootPath() const;

  // Two cycles back to back (weight then action when both connect) with the
  // log set up as the service does it. True when both cycles connected.
  bool RunOnce() override;
  void StopOnce() override;
  // tidewell -VERIFY [TABLE] [FROM [TO]] [-REPAIR] (Verify.h); the exit code.
  int Verify(const std::vector<std::string>& Args) override;

  // The intent journal of a table: journal/<table>.jnl beside the
  // executable (or ExeDirOverride).
  std::string JournalPath(const std::string& table) const;

  // Where the service writes: its log and journal folders (where the links
  // beside the executable lead) and the share root.
  std::vector<std::string> WritablePaths() const override;
  // The share root, when it is a path of this machine's file system.
  std::vector<std::string> RequiredMounts() const override;

  // Test seams: where the executable's folder is taken to be, and the two
  // timer periods.
  std::string ExeDirOverride;
  std::uint32_t FirstDelayMs = FirstCycleDelayMs;
  std::uint32_t IntervalMs = CycleIntervalMs;
  // Rows a run takes from the server at a time (see ConvertTables).
  int SliceRows = DefaultSliceRows;
  // Records whose marks go to the server together (TMarks); a statement
  // takes at most MaxMarksPerStatement of them.
  int MarkBatchRows = MaxMarksPerStatement;

 protected:
  void OpenLog(const std::string& FirstLine = "Starting scan of SQL tables...");
  // Settles what an interrupted run of the table left in its journal (see
  // Journal.cpp). False when the run must end before its select.
  bool ResolveJournal(TJournal& journal, const std::string& table);
  // Called once for each row whose mark is settled, in row order (a seam
  // for tests).
  virtual void RowSettled() {}

  // Called after each row's record is first written, before its mark is
  // sent (a seam for tests; a record written again after a refusal does
  // not call it).
  virtual void RecordWritten() {}

  void WaitWhileBusy();
  // What the administrator sees of the cycles (the service manager's status
  // line): the last cycle's outcome and the next cycle's time, and the rows
  // a long run has converted so far (their marks committed).
  void ReportCycle(const std::string& table);
  void ReportProgress(const std::string& table, int rows);
  std::optional<std::uint32_t> FLastProgressTick;
  // Rows the last run converted (their marks committed), those its journal's
  // resolution marked included; -1 when its select failed.
  int FLastRowsMarked = 0;
  // What held the table when the last run skipped it for another converter.
  std::string FLastSkippedFor;
  // The first journal write that failed since RunOnce began, and why.
  std::string FJournalProblem;
  bool FLastCycleConnected = false;
};

// The "ERROR - H:%s D:%s U:%s P:%s" line for the settings a cycle failed with.
// The password is never written: a set one shows as "*****".
std::string ConnectErrorLine(const TConnectSettings& settings);

}  // namespace tidewell
