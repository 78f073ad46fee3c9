#include "host/Service.h"

#include <exception>

#include "common/Format.h"

namespace tidewell {

// ---- TServiceThread ------------------------------------------------------

TServiceThread::TServiceThread(TService& service) : FService(service) {}

TServiceThread::~TServiceThread() {
  Resume();
  WaitFor();
}

void TServiceThread::Start() {
  FThread = std::thread([this] {
    // The queue must exist before anyone posts a control code to us.
    platform::EnsureMessageQueue();
    FThreadId = platform::CurrentThreadId();
    // Signalled under the lock, so the starter can't see the flag and move
    // on while the notify is still running.
    {
      std::lock_guard<std::mutex> lock(FReadyLock);
      FReady = true;
      FReadyWake.notify_all();
    }
    Execute();
  });
  std::unique_lock<std::mutex> lock(FReadyLock);
  FReadyWake.wait(lock, [&] { return FReady; });
}

void TServiceThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

std::uint64_t TServiceThread::WakeGeneration() const {
  std::lock_guard<std::mutex> lock(FSuspendLock);
  return FWakeGeneration;
}

void TServiceThread::SuspendSelf(std::uint64_t since) {
  std::unique_lock<std::mutex> lock(FSuspendLock);
  FSuspended = true;
  FSuspendWake.wait(lock, [&] { return FWakeGeneration != since; });
  FSuspended = false;
}

void TServiceThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(FSuspendLock);
    ++FWakeGeneration;
  }
  FSuspendWake.notify_all();
}

bool TServiceThread::Suspended() const {
  std::lock_guard<std::mutex> lock(FSuspendLock);
  return FSuspended;
}

void TServiceThread::Execute() {
  try {
    FService.DoStart();
  } catch (const std::exception& e) {
    FService.EventLogger().LogEvent(Format("Service failed on %s: %s", "start", e.what()));
    return;
  } catch (...) {
    FService.EventLogger().LogEvent(Format("Service failed on %s: %s", "start", "unknown error"));
    return;
  }
  if (FService.Status() != TCurrentStatus::csRunning) return;  // OnStart declined
  try {
    FService.DoExecute();
  } catch (const std::exception& e) {
    FService.EventLogger().LogEvent(Format("Service failed on %s: %s", "execute", e.what()));
  } catch (...) {
    FService.EventLogger().LogEvent(Format("Service failed on %s: %s", "execute", "unknown error"));
  }
}

// ---- TService ------------------------------------------------------------

TService::TService(std::string name, std::string displayName)
    : FName(std::move(name)), FDisplayName(std::move(displayName)) {}

TService::~TService() = default;

void TService::SetInteractive(bool interactive) {
  FInteractive = interactive;
  if (interactive) {
    FServiceStartName.clear();
    FPassword.clear();
  }
}

void TService::SetServiceStartName(const std::string& name) {
  FServiceStartName = name;
  if (!name.empty()) FInteractive = false;
}

void TService::SetPassword(const std::string& password) {
  FPassword = password;
  if (!password.empty()) FInteractive = false;
}

std::uint32_t TService::GetNTServiceType(bool sharedProcess) const {
  std::uint32_t type = 0;
  switch (ServiceType) {
    case stWin32:
      type = sharedProcess ? 0x20 : 0x10;
      break;
    case stDevice:
      type = 1;
      break;
    case stFileSystem:
      type = 2;
      break;
  }
  return FInteractive ? type | 0x100 : type;
}

std::uint32_t TService::GetNTStartType() const {
  if ((StartType == stBoot || StartType == stSystem) && ServiceType != stDevice) return 2;
  return static_cast<std::uint32_t>(StartType);
}

std::uint32_t TService::GetNTErrorSeverity() const { return static_cast<std::uint32_t>(ErrorSeverity); }

std::uint32_t TService::GetNTControlsAccepted() const {
  std::uint32_t accepted = 4;  // shutdown
  if (AllowStop || OnStop) accepted |= 1;
  if (AllowPause) accepted |= 2;
  return accepted;
}

std::string TService::GetNTDependencies() const {
  if (Dependencies.empty()) return {};
  std::string list;
  for (const auto& d : Dependencies) {
    list += (d.IsGroup ? "+" : "") + d.Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

TEventLogger& TService::EventLogger() {
  if (!FEventLogger) FEventLogger = std::make_unique<TEventLogger>(FName);
  return *FEventLogger;
}

bool TService::Terminated() const {
  std::lock_guard<std::mutex> lock(FThreadLock);
  return FServiceThread && FServiceThread->Terminated();
}

bool TService::Controller(std::uint32_t code) {
  std::lock_guard<std::mutex> lock(FThreadLock);
  if (!FServiceThread) return false;
  const bool posted = platform::PostToThread(FServiceThread->ThreadId(), CM_SERVICE_CONTROL_CODE, code, 0);
  FServiceThread->Resume();  // wakes a paused service thread for the code
  return posted;
}

void TService::SetStatus(TCurrentStatus status) {
  FStatus = status;
  ReportStatus();
}

void TService::ReportStatus() {
  std::lock_guard<std::mutex> lock(FReportLock);
  const TCurrentStatus state = FStatus;
  const bool pending = state == TCurrentStatus::csStartPending || state == TCurrentStatus::csStopPending ||
                       state == TCurrentStatus::csContinuePending || state == TCurrentStatus::csPausePending;
  if (pending && state == FLastReported)
    ++FCheckPoint;
  else
    FCheckPoint = 0;
  FLastReported = state;

  TServiceStatus s;
  s.ServiceType = GetNTServiceType();
  s.CurrentState = static_cast<std::uint32_t>(state);
  if (state != TCurrentStatus::csStartPending) s.ControlsAccepted = GetNTControlsAccepted();
  s.ServiceSpecificExitCode = ServiceSpecificExitCode;
  if (ServiceSpecificExitCode != 0) s.Win32ExitCode = 1066;
  s.CheckPoint = FCheckPoint;
  s.WaitHint = WaitHint;
  if (StatusReporter) StatusReporter(s);
}

void TService::SetStatusTextReporter(std::function<void(const std::string&)> reporter) {
  std::lock_guard<std::mutex> lock(FTextLock);
  FTextReporter = std::move(reporter);
}

void TService::SetStatusText(const std::string& text) {
  std::lock_guard<std::mutex> lock(FTextLock);
  if (FTextReporter) FTextReporter(text);
}

void TService::Main() {
  try {
    SetStatus(TCurrentStatus::csStartPending);
    {
      std::lock_guard<std::mutex> lock(FThreadLock);
      FServiceThread = std::make_unique<TServiceThread>(*this);
    }
    FServiceThread->Start();
    FServiceThread->WaitFor();
  } catch (const std::exception& e) {
    EventLogger().LogEvent(Format("Service failed on %s: %s", "execute", e.what()));
  }
  {
    std::lock_guard<std::mutex> lock(FThreadLock);
    FServiceThread.reset();
  }
  SetStatus(TCurrentStatus::csStopped);
}

void TService::DoStart() {
  SetStatus(TCurrentStatus::csStartPending);
  bool started = true;
  if (OnStart) OnStart(started);
  if (!started) return;
  SetStatus(TCurrentStatus::csRunning);
}

void TService::DoExecute() {
  if (OnExecute)
    OnExecute();
  else
    HandleRequests(true);
  HandleRequests(false);
}

void TService::HandleRequests(bool wait) {
  for (;;) {
    if (wait && Terminated()) return;
    platform::TMessage msg;
    if (wait) {
      if (platform::GetNextMessage(msg) == 0) return;
    } else {
      if (!platform::PeekNextMessage(msg, true) || msg.Message == platform::MsgQuit) return;
    }
    if (msg.Message == CM_SERVICE_CONTROL_CODE)
      DoControl(static_cast<std::uint32_t>(msg.WParam));
    else
      platform::DispatchNextMessage(msg);
  }
}

void TService::DoControl(std::uint32_t code) {
  static const char* const words[] = {"", "stop", "pause", "continue", "interrogate", "shutdown"};
  if (code < 1 || code > 5) return;  // codes we don't know change nothing
  // Once a stop or shutdown has been answered the service is on its way out:
  // what it used (the log among it) may already be gone, and a pause would
  // suspend the thread that has to finish the stop. Later codes (a second
  // stop, a pause sent while stopping) change nothing.
  if (FServiceThread->Terminated()) return;
  const TCurrentStatus old = FStatus;
  bool result = true;
  try {
    switch (code) {
      case SERVICE_CONTROL_STOP:
        SetStatus(TCurrentStatus::csStopPending);
        if (OnStop) OnStop(result);
        if (result) FServiceThread->Terminate();
        break;
      case SERVICE_CONTROL_PAUSE:
        SetStatus(TCurrentStatus::csPausePending);
        if (OnPause) OnPause(result);
        if (result) {
          const std::uint64_t since = FServiceThread->WakeGeneration();
          SetStatus(TCurrentStatus::csPaused);
          // A code queued before `since` was taken (a stop signalled at the
          // same moment as the pause) has already spent its wake-up: the
          // thread stays awake to act on it.
          platform::TMessage next;
          if (!platform::PeekNextMessage(next, false)) FServiceThread->SuspendSelf(since);
        }
        break;
      case SERVICE_CONTROL_CONTINUE:
        SetStatus(TCurrentStatus::csContinuePending);
        if (OnContinue) OnContinue(result);
        if (result) SetStatus(TCurrentStatus::csRunning);
        break;
      case SERVICE_CONTROL_INTERROGATE:
        ReportStatus();
        break;
      case SERVICE_CONTROL_SHUTDOWN:
        SetStatus(TCurrentStatus::csStopPending);
        try {
          if (OnShutdown) OnShutdown();
        } catch (...) {
          FServiceThread->Terminate();
          throw;
        }
        FServiceThread->Terminate();
        break;
    }
    if (!result) SetStatus(old);
  } catch (const std::exception& e) {
    if (code != SERVICE_CONTROL_SHUTDOWN) SetStatus(old);
    EventLogger().LogEvent(Format("Service failed on %s: %s", words[code], e.what()));
  }
}

}  // namespace tidewell
