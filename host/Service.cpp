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
  std::mutex readyLock;
  std::condition_variable ready;
  bool isReady = false;
  FThread = std::thread([&] {
    // The queue must exist before anyone posts a control code to us.
    platform::EnsureMessageQueue();
    FThreadId = platform::CurrentThreadId();
    {
      std::lock_guard<std::mutex> lock(readyLock);
      isReady = true;
    }
    ready.notify_all();
    Execute();
  });
  std::unique_lock<std::mutex> lock(readyLock);
  ready.wait(lock, [&] { return isReady; });
}

void TServiceThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TServiceThread::SuspendSelf() {
  std::unique_lock<std::mutex> lock(FSuspendLock);
  FSuspended = true;
  FSuspendWake.wait(lock, [this] { return !FSuspended; });
}

void TServiceThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(FSuspendLock);
    FSuspended = false;
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
  const bool posted = platform::PostThreadMessage(FServiceThread->ThreadId(), CM_SERVICE_CONTROL_CODE, code, 0);
  if (FServiceThread->Suspended()) FServiceThread->Resume();
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
  s.CurrentState = static_cast<std::uint32_t>(state);
  if (state != TCurrentStatus::csStartPending) {
    s.ControlsAccepted = 4;  // shutdown
    if (AllowStop || OnStop) s.ControlsAccepted |= 1;
    if (AllowPause) s.ControlsAccepted |= 2;
  }
  s.CheckPoint = FCheckPoint;
  s.WaitHint = WaitHint;
  if (StatusReporter) StatusReporter(s);
}

void TService::Main(const std::vector<std::string>& args) {
  Params.insert(Params.end(), args.begin(), args.end());
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
      if (platform::GetMessage(msg) == 0) return;
    } else {
      if (!platform::PeekMessage(msg, true) || msg.Message == platform::WM_QUIT) return;
    }
    if (msg.Message == CM_SERVICE_CONTROL_CODE)
      DoControl(static_cast<std::uint32_t>(msg.WParam));
    else
      platform::DispatchMessage(msg);
  }
}

void TService::DoControl(std::uint32_t code) {
  static const char* const words[] = {"", "stop", "pause", "continue", "interrogate", "shutdown"};
  if (code < 1 || code > 5) return;  // codes we don't know change nothing
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
          SetStatus(TCurrentStatus::csPaused);
          FServiceThread->SuspendSelf();
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
