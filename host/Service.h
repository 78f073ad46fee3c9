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

namespace tidewell {

inline constexpr std::uint32_t CM_SERVICE_CONTROL_CODE = platform::WM_USER + 1;

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

struct TServiceStatus {
  std::uint32_t ServiceType = 0x10;
  std::uint32_t CurrentState = 0;
  std::uint32_t ControlsAccepted = 0;
  std::uint32_t Win32ExitCode = 0;
  std::uint32_t ServiceSpecificExitCode = 0;
  std::uint32_t CheckPoint = 0;
  std::uint32_t WaitHint = 0;
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

  // Pausing suspends the thread inside its control action until Resume.
  void SuspendSelf();
  void Resume();
  bool Suspended() const;

 private:
  void Execute();

  TService& FService;
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<platform::TThreadId> FThreadId{0};
  mutable std::mutex FSuspendLock;
  std::condition_variable FSuspendWake;
  bool FSuspended = false;
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

  bool AllowStop = true;
  bool AllowPause = true;
  std::uint32_t WaitHint = 5000;

  // Receives every status report; the service-manager backend installs it.
  std::function<void(const TServiceStatus&)> StatusReporter;

  // Processes the service thread's queue; call on the service thread only.
  void HandleRequests(bool wait);
  // The service thread's terminate flag; false while there is no service thread.
  bool Terminated() const;
  // Queues a control code to the service thread, resuming it when paused.
  // False when there is no service thread to take it.
  bool Controller(std::uint32_t code);

  // The start sequence: report start pending, run the service thread until it
  // ends, report stopped.
  void Main(const std::vector<std::string>& args);

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
  std::atomic<TCurrentStatus> FStatus{TCurrentStatus::csStopped};
  std::unique_ptr<TServiceThread> FServiceThread;
  mutable std::mutex FThreadLock;  // guards FServiceThread against the controller
  std::unique_ptr<TEventLogger> FEventLogger;
  std::mutex FReportLock;
  TCurrentStatus FLastReported = TCurrentStatus::csStartPending;
  std::uint32_t FCheckPoint = 0;
};

}  // namespace tidewell
