#include "app/sMain.h"

#include <algorithm>

#include "app/Settings.h"
#include "app/uLLFunc.h"
#include "common/Clock.h"
#include "common/Format.h"
#include "logging/MessLog.h"
#include "platform/System.h"

namespace tidewell {

TKestrel::TKestrel() : TOneShotService("Kestrel", "Tidewell") {
  OnExecute = [this] { ServiceExecute(); };
  OnStop = [this](bool& stopped) { ServiceStop(stopped); };
  OnShutdown = [this] { ServiceShutdown(); };
  Documentation = "man:tidewell(8)";
  // Made on the constructing (main) thread: that is where its ticks run.
  tmrMainProcess = std::make_unique<platform::TTimer>();
  tmrMainProcess->OnTimer = [this] { tmrMainProcessTimer(); };
  // Where the package made its account, the service runs as that user;
  // elsewhere as the system's (root), confined all the same.
  if (platform::UserAccountExists(ServiceAccount)) SetServiceStartName(ServiceAccount);
}

TKestrel::~TKestrel() { tmrMainProcess.reset(); }

std::string ConnectErrorLine(const TConnectSettings& s) {
  return Format("ERROR - H:%s D:%s U:%s P:%s", s.Host, s.DataBase, s.User, s.Key.empty() ? "" : "*****");
}

void TKestrel::OpenLog(const std::string& FirstLine) {
  ExeDir = ExeDirOverride.empty() ? platform::ExtractFileDir(platform::ExecutablePath()) : ExeDirOverride;
  const std::string sep(1, platform::PathDelim);
  platform::ForceDirectories(ExeDir + sep + "log");
  MainLog = std::make_unique<TMessLog>(ExeDir + sep + "log" + sep + "tidewell.log", true, true, false, false);
  // A log folder that can't be written (a file named log, a full disk) must
  // not leave the service converting in silence.
  MainLog->UseStandardError = true;
  MainLog->OnFileUnwritable = [this](const std::string& file, const std::string& reason) {
    EventLogger().LogEvent("The log file " + file + " can't be written (" + reason +
                           "); log lines go to standard error until it can");
  };
  MainLog->Flush(FirstLine);
  // The settings hold the database password.
  const std::string settings = SettingsPath(ExeDirOverride);
  if (platform::ReadableByOthers(settings, ServiceAccount))
    MainLog->Flush("Warning: " + settings +
                   " holds the database password and is readable by other users; make it readable by its owner "
                   "only (chmod 600), or by the group " + ServiceAccount + " too (chmod 640)");
}

std::vector<std::string> TKestrel::WritablePaths() const {
  // log/ and journal/ beside the executable may be links to folders of
  // their own (the package's /var/log/tidewell and /var/lib/tidewell): the
  // service writes there, and only there. A folder without them (a plain
  // install) stays writable, so that the service can make them.
  const std::string exeDir = platform::ExtractFileDir(platform::ExecutablePath());
  const std::string sep(1, platform::PathDelim);
  std::vector<std::string> paths;
  const auto add = [&paths](const std::string& path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  };
  for (const char* name : {"log", "journal"}) {
    const std::string beside = exeDir + sep + name;
    const std::string real = platform::ResolveLinks(beside);
    if (real != beside)
      add(real);
    else
      add(platform::DirectoryExists(beside) ? beside : exeDir);
  }
  add(ShareRootPath());
  return paths;
}

std::vector<std::string> TKestrel::RequiredMounts() const {
  const std::string root = ShareRootPath();
  if (root.empty() || root[0] != platform::PathDelim || (root.size() > 1 && root[1] == platform::PathDelim)) return {};
  return {root};
}

void TKestrel::ReportCycle(const std::string& table) {
  const TDateTime now = Now();
  const std::string at = FormatDateTime("hh:nn:ss", now);
  const std::string next = FormatDateTime("hh:nn:ss", now + IntervalMs / 86400000.0);
  std::string what;
  if (!FLastCycleConnected)
    what = "no connection to the database (" + ConnectErrorLine(LastSettings) + ")";
  else if (!FLastSkippedFor.empty())
    what = "skipped, another converter has it (" + FLastSkippedFor + ")";
  else if (FLastRowsMarked < 0)
    what = "the select failed (see the log)";
  else
    what = Format("%d rows converted", FLastRowsMarked);
  SetStatusText(Format("%s: %s at %s; next cycle %s", table, what, at, next));
}

void TKestrel::ReportProgress(const std::string& table, int rows) {
  const std::uint32_t now = platform::GetTickCount();
  if (FLastProgressTick && now - *FLastProgressTick < 5000) return;
  FLastProgressTick = now;
  SetStatusText(Format("%s: converting, %d rows so far", table, rows));
}

void TKestrel::ServiceExecute() {
  OpenLog();
  WeightTurn = true;
  tmrMainProcess->SetInterval(FirstDelayMs);
  tmrMainProcess->SetEnabled(true);
  while (!Terminated()) {
    HandleRequests(true);
    platform::Sleep(100);
  }
  tmrMainProcess->SetEnabled(false);
  MainLog.reset();  // writes what is buffered and "End Log"
}

void TKestrel::tmrMainProcessTimer() {
  tmrMainProcess->SetEnabled(false);
  // Raise Busy before looking at the stop request: a stop handler sets its
  // flag before looking at ours, so one of the two always sees the other
  // and no cycle starts once a stop has been answered.
  Busy = true;
  if (StopRequested) {
    Busy = false;
    return;
  }
  struct Rearm {
    TKestrel& Self;
    ~Rearm() {
      Self.tmrMainProcess->SetInterval(Self.IntervalMs);
      Self.tmrMainProcess->SetEnabled(true);
      Self.Busy = false;
    }
  } rearm{*this};
  RunCycle();
}

void TKestrel::RunCycle() {
  struct FinalFlush {
    TKestrel& Self;
    ~FinalFlush() {
      // The connection goes away on every path, an exception included.
      try {
        Self.CloseDatabase();
      } catch (...) {
      }
      if (MainLog) MainLog->Flush("");
    }
  } finalFlush{*this};
  FLastCycleConnected = false;
  const std::string table = WeightTurn ? "weight" : "action";
  if (LoadSettings()) {
    FLastCycleConnected = true;
    FLastRowsMarked = 0;
    FLastProgressTick.reset();
    ConvertTables(WeightTurn);
    WeightTurn = !WeightTurn;
  } else {
    MainLog->Add(ConnectErrorLine(LastSettings));
  }
  ReportCycle(table);
}

void TKestrel::WaitWhileBusy() {
  std::uint32_t lastReport = platform::GetTickCount();
  while (Busy) {
    ProcessMessages();
    platform::Sleep(50);
    // Reporting stop pending again asks the service manager for more time
    // (the wait hint) while the row in hand is finished.
    if (platform::GetTickCount() - lastReport >= 2000 && Status() == TCurrentStatus::csStopPending) {
      ReportStatus();
      lastReport = platform::GetTickCount();
    }
  }
}

void TKestrel::ServiceStop(bool& stopped) {
  if (MainLog) MainLog->Add("Stop request received!");
  StopRequested = true;
  WaitWhileBusy();
  if (MainLog) MainLog->Add("Process safely stopped...");
  stopped = true;
}

void TKestrel::ServiceShutdown() {
  if (MainLog) MainLog->Add("Shutdown request received!");
  StopRequested = true;
  WaitWhileBusy();
  if (MainLog) MainLog->Add("Process safely shutdown...");
}

bool TKestrel::RunOnce() {
  OpenLog();
  WeightTurn = true;
  FJournalProblem.clear();
  bool allConnected = true;
  for (int cycle = 0; cycle < 2 && !StopRequested; ++cycle) {
    Busy = true;
    try {
      RunCycle();
      allConnected = allConnected && FLastCycleConnected;
    } catch (const std::exception& e) {
      allConnected = false;
      EventLogger().LogEvent(e.what());
    }
    Busy = false;
  }
  // A run that could not log or note what it did did not go well, whatever
  // it converted: whoever started it must hear so.
  MainLog->Flush();
  const bool logged = !MainLog->EverUnwritable();
  MainLog.reset();
  if (!FJournalProblem.empty()) EventLogger().LogEvent(FJournalProblem + "; its rows stay unconverted");
  return allConnected && logged && FJournalProblem.empty();
}

void TKestrel::StopOnce() { StopRequested = true; }

}  // namespace tidewell
