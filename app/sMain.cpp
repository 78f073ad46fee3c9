#include "app/sMain.h"

#include "app/uLLFunc.h"
#include "common/Format.h"
#include "logging/MessLog.h"
#include "platform/System.h"

namespace tidewell {

TKestrel::TKestrel() : TOneShotService("Kestrel", "Tidewell") {
  OnExecute = [this] { ServiceExecute(); };
  OnStop = [this](bool& stopped) { ServiceStop(stopped); };
  OnShutdown = [this] { ServiceShutdown(); };
  // Made on the constructing (main) thread: that is where its ticks run.
  tmrMainProcess = std::make_unique<platform::TTimer>();
  tmrMainProcess->OnTimer = [this] { tmrMainProcessTimer(); };
}

TKestrel::~TKestrel() { tmrMainProcess.reset(); }

std::string ConnectErrorLine(const TConnectSettings& s) {
  return Format("ERROR - H:%s D:%s U:%s P:%s", s.Host, s.DataBase, s.User, s.Key.empty() ? "" : "*****");
}

void TKestrel::OpenLog() {
  ExeDir = ExeDirOverride.empty() ? platform::ExtractFileDir(platform::ExecutablePath()) : ExeDirOverride;
  const std::string sep(1, platform::PathDelim);
  platform::ForceDirectories(ExeDir + sep + "log");
  MainLog = std::make_unique<TMessLog>(ExeDir + sep + "log" + sep + "tidewell.log", true, true, false, false);
  MainLog->Flush("Starting scan of SQL tables...");
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
  // Raise the cycle flag before looking at the stop request: a stop handler
  // sets its flag before looking at ours, so one of the two always sees the
  // other and no cycle starts once a stop has been answered.
  FCycleRunning = true;
  if (StopRequested) {
    FCycleRunning = false;
    return;
  }
  struct Rearm {
    TKestrel& Self;
    ~Rearm() {
      Self.tmrMainProcess->SetInterval(Self.IntervalMs);
      Self.tmrMainProcess->SetEnabled(true);
      Self.FCycleRunning = false;
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
  if (LoadSettings()) {
    FLastCycleConnected = true;
    ConvertTables(WeightTurn);
    WeightTurn = !WeightTurn;
  } else {
    MainLog->Add(ConnectErrorLine(LastSettings));
  }
}

void TKestrel::WaitWhileBusy() {
  while (Busy || FCycleRunning) {
    ProcessMessages();
    platform::Sleep(50);
  }
}

void TKestrel::ServiceStop(bool& stopped) {
  MainLog->Add("Stop request received!");
  StopRequested = true;
  WaitWhileBusy();
  MainLog->Add("Process safely stopped...");
  stopped = true;
}

void TKestrel::ServiceShutdown() {
  MainLog->Add("Shutdown request received!");
  StopRequested = true;
  WaitWhileBusy();
  MainLog->Add("Process safely shutdown...");
}

bool TKestrel::RunOnce() {
  OpenLog();
  WeightTurn = true;
  bool allConnected = true;
  for (int cycle = 0; cycle < 2 && !StopRequested; ++cycle) {
    FCycleRunning = true;
    try {
      RunCycle();
      allConnected = allConnected && FLastCycleConnected;
    } catch (const std::exception& e) {
      allConnected = false;
      EventLogger().LogEvent(e.what());
    }
    FCycleRunning = false;
  }
  MainLog.reset();
  return allConnected;
}

void TKestrel::StopOnce() { StopRequested = true; }

}  // namespace tidewell
