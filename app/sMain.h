// TKestrel: the service module. A timer on the main thread runs one cycle at
// a time: read the settings, connect, convert the unconverted rows of one
// table (weight and action in turn), disconnect, flush the log. The stop and
// shutdown handlers let a cycle in progress finish before answering.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "host/ServiceApplication.h"
#include "dbf/CodeBase.h"
#include "platform/Timer.h"

namespace tidewell {

// First tick about a second after the start (the timer's default interval),
// then two minutes after the end of each cycle.
inline constexpr std::uint32_t FirstCycleDelayMs = 1000;
inline constexpr std::uint32_t CycleIntervalMs = 120000;

// The connection settings one cycle read from mysqlconn.ini.
class TODBCStatement;

// Name of the .dbf file of one machine and day: MMDDYY, the machine number
// with at least two digits, ".dbf" (03050407.dbf).
std::string MakeDbfName(TDateTime Date, int Machine);

struct TConnectSettings {
  std::string Host, DataBase, User, Key, Driver, Custom;
};

class TKestrel : public TOneShotService {
 public:
  TKestrel();
  ~TKestrel() override;

  std::unique_ptr<platform::TTimer> tmrMainProcess;
  std::string ExeDir;
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

  // Test seams: where the executable's folder is taken to be, and the two
  // timer periods.
  std::string ExeDirOverride;
  std::uint32_t FirstDelayMs = FirstCycleDelayMs;
  std::uint32_t IntervalMs = CycleIntervalMs;

 protected:
  void OpenLog();
  enum TAppendOutcome { aoMarked, aoTakenBack, aoStop };
  enum TMarkState { msMarked, msUnmarked, msUnknown };
  TMarkState ReadMark(TODBCStatement& statement, const std::string& table, const std::string& condition,
                      const std::string& recNum, long recNo);
  virtual TAppendOutcome AppendAndMark(TODBCStatement& row, TODBCStatement& update, const std::string& table, int machine,
                               DbfHandle file, const FIELD4INFO* fields, const std::string& path);
  void WaitWhileBusy();
  // Raised for a whole cycle, settings and connection included, so a stop
  // never lets the log go away under a cycle that is still connecting.
  std::atomic<bool> FCycleRunning{false};
  bool FLastCycleConnected = false;
};

// The "ERROR - H:%s D:%s U:%s P:%s" line for the settings a cycle failed with.
// The password is never written: a set one shows as "*****".
std::string ConnectErrorLine(const TConnectSettings& settings);

}  // namespace tidewell
