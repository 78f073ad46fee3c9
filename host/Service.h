// TService: one service of the process, and TServiceThread, the thread that
// runs it.
//
// The service thread runs the start sequence, the service's execute handler
// and every control request, one at a time in arrival order. Control codes
// reach it as thread messages (CM_SERVICE_CONTROL_CODE, the code in WParam)
// posted by Controller() from whatever thread the service manager calls on.
// HandleRequests is the service thread's message loop; the execute handler
// calls it and reads Terminated() to know when to return.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/EventLogger.h"
#include "platform/Messages.h"
#include "platform/ServiceManager.h"

namespace tidewell {

inline constexpr std::uint32_t CM_SERVICE_CONTROL_CODE = platform::MsgUser + 1;

inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr std::uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

// Values as the service manager knows them.
enum class TCurrentStatus : std::uint32_t {
  csStopped = 1,
  csStartPending = 2,
  csStopPending = 3,
  csRunning = 4,
  csContinuePending = 5,
  csPausePending = 6,
  csPaused = 7,
};

using TServiceStatus = platform::TServiceStatusRecord;

// Registration values, as the service is described to the service manager.
enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

struct TDependency {
  std::string Name;
  bool IsGroup = false;  // a load-order group, written with a leading "+"
};

class TService;

class TServiceThread {
 public:
  explicit TServiceThread(TService& service);
  ~TServiceThread();  // joins
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  // Starts the thread and returns once it can receive messages.
  void Start();
  void WaitFor();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  platform::TThreadId ThreadId() const { return FThreadId; }

  // Pausing suspends the thread inside its control action until the next
  // Resume after the given wake generation (taken before the pause was
  // reported, so a control code sent on seeing "paused" always wakes it).
  std::uint64_t WakeGeneration() const;
  void SuspendSelf(std::uint64_t since);
  void Resume();
  bool Suspended() const;

 private:
  void Execute();

  TService& FService;
  std::thread FThread;
  // The start hand-off: members, so they outlive the new thread's signal.
  std::mutex FReadyLock;
  std::condition_variable FReadyWake;
  bool FReady = false;
  std::atomic<bool> FTerminated{false};
  std::atomic<platform::TThreadId> FThreadId{0};
  mutable std::mutex FSuspendLock;
  std::condition_variable FSuspendWake;
  bool FSuspended = false;
  std::uint64_t FWakeGeneration = 0;
};

class TService {
 public:
  TService(std::string name, std::string displayName);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  const std::string& Name() const { return FName; }
  const std::string& DisplayName() const { return FDisplayName.empty() ? FName : FDisplayName; }

  // Handlers; unassigned ones are skipped as the host's defaults say.
  std::function<void(bool& started)> OnStart;
  std::function<void()> OnExecute;
  std::function<void(bool& stopped)> OnStop;
  std::function<void(bool& paused)> OnPause;
  std::function<void(bool& continued)> OnContinue;
  std::function<void()> OnShutdown;

  TServiceType ServiceType = stWin32;
  TStartType StartType = stAuto;
  TErrorSeverity ErrorSeverity = esNormal;
  std::string LoadGroup;
  std::vector<TDependency> Dependencies;
  // Where an administrator reads about the service ("man:tidewell(8)"),
  // for service managers that show it.
  std::string Documentation;
  std::uint32_t TagID = 0;
  bool AllowStop = true;
  bool AllowPause = true;
  std::uint32_t WaitHint = 5000;
  // A service-specific exit code other than 0 is reported with the general
  // code ERROR_SERVICE_SPECIFIC_ERROR (1066).
  std::uint32_t ServiceSpecificExitCode = 0;

  // An interactive service runs under the local system account, so setting
  // it clears the account and password; naming an account clears it.
  void SetInteractive(bool interactive);
  bool Interactive() const { return FInteractive; }
  void SetServiceStartName(const std::string& name);
  const std::string& ServiceStartName() const { return FServiceStartName; }
  void SetPassword(const std::string& password);
  const std::string& Password() const { return FPassword; }

  // The values handed to the service manager.
  std::uint32_t GetNTServiceType(bool sharedProcess = false) const;
  std::uint32_t GetNTStartType() const;
  std::uint32_t GetNTErrorSeverity() const;
  std::uint32_t GetNTControlsAccepted() const;
  std::string GetNTDependencies() const;

  // Receives every status report; the service-manager backend installs it.
  std::function<void(const TServiceStatus&)> StatusReporter;
  // Where SetStatusText goes; installed and removed like StatusReporter.
  void SetStatusTextReporter(std::function<void(const std::string&)> reporter);
  // One line for administrators on what the service is doing; may be called
  // from any thread, and is dropped while no service manager listens.
  void SetStatusText(const std::string& text);

  // Folders the service writes to and file systems it needs mounted, for a
  // service manager that confines the service.
  virtual std::vector<std::string> WritablePaths() const { return {}; }
  virtual std::vector<std::string> RequiredMounts() const { return {}; }

  // Processes the service thread's queue; call on the service thread only.
  void HandleRequests(bool wait);
  // The service thread's terminate flag; false while there is no service thread.
  bool Terminated() const;
  // Queues a control code to the service thread, resuming it when paused.
  // False when there is no service thread to take it.
  bool Controller(std::uint32_t code);

  // The start sequence: report start pending, run the service thread until it
  // ends, report stopped.
  void Main();

  TCurrentStatus Status() const { return FStatus; }
  void ReportStatus();
  TEventLogger& EventLogger();
  std::vector<std::string> Params;

 protected:
  friend class TServiceThread;
  void SetStatus(TCurrentStatus status);
  void DoStart();
  void DoExecute();
  void DoControl(std::uint32_t code);

 private:
  std::string FName;
  std::string FDisplayName;
  bool FInteractive = false;
  std::string FServiceStartName;
  std::string FPassword;
  std::atomic<TCurrentStatus> FStatus{TCurrentStatus::csStopped};
  std::unique_ptr<TServiceThread> FServiceThread;
  mutable std::mutex FThreadLock;  // guards FServiceThread against the controller
  std::unique_ptr<TEventLogger> FEventLogger;
  std::mutex FReportLock;
  std::mutex FTextLock;
  std::function<void(const std::string&)> FTextReporter;
  TCurrentStatus FLastReported = TCurrentStatus::csStartPending;
  std::uint32_t FCheckPoint = 0;
};

}  // namespace tidewell
