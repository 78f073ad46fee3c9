#include "host/ServiceApplication.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>

#include "common/Format.h"
#include "common/Text.h"
#include "platform/Messages.h"
#include "platform/System.h"

namespace tidewell {

EOSError::EOSError(int code, const std::string& systemText)
    : std::runtime_error(code == 0 ? std::string("A call to an OS function failed")
                                   : Format("System Error.  Code: %d.", code) + "\r\n" + systemText),
      Code(code) {}

TServiceApplication::TServiceApplication(std::vector<std::string> args)
    : FArgs(std::move(args)), FEventLogger(platform::ExtractFileName(platform::ExecutablePath())) {}

TServiceApplication::~TServiceApplication() = default;

void TServiceApplication::CreateForm(std::unique_ptr<TOneShotService> service) { FService = std::move(service); }

void TServiceApplication::SetServiceManager(std::unique_ptr<platform::TServiceManager> manager) {
  FManager = std::move(manager);
}

platform::TServiceManager& TServiceApplication::Manager() {
  if (!FManager) FManager = platform::CreateSystemServiceManager();
  return *FManager;
}

bool TServiceApplication::FindSwitch(const std::string& name) const {
  for (size_t i = 1; i < FArgs.size(); ++i) {
    const std::string& a = FArgs[i];
    if (a.size() > 1 && (a[0] == '-' || a[0] == '/') && SameText(a.substr(1), name)) return true;
  }
  return false;
}

bool TServiceApplication::IsKnownSwitch(const std::string& arg) {
  if (arg == "--help" || arg == "--version") return true;
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  for (const char* name : {"INSTALL", "UNINSTALL", "SILENT", "CONSOLE", "ONCE", "HELP", "?", "VERSION"})
    if (SameText(arg.substr(1), name)) return true;
  return false;
}

int TServiceApplication::Run() {
  if (!FService) return 1;
  // The GNU spellings too: they are what an administrator tries first.
  const auto given = [this](const char* word) {
    for (size_t i = 1; i < FArgs.size(); ++i)
      if (FArgs[i] == word) return true;
    return false;
  };
  if (given("--help") || FindSwitch("HELP") || FindSwitch("?")) {
    std::fputs(Usage.c_str(), stdout);
    return 0;
  }
  if (given("--version") || FindSwitch("VERSION")) {
    std::fputs((VersionText + "\n").c_str(), stdout);
    return 0;
  }
  for (const auto& command : Commands)
    if (FindSwitch(command.Switch)) return command.Run();
  if (FindSwitch("VERIFY")) return FService->Verify(FArgs);
  if (FindSwitch("INSTALL")) return RegisterServices(true, FindSwitch("SILENT"));
  if (FindSwitch("UNINSTALL")) return RegisterServices(false, FindSwitch("SILENT"));
  if (FindSwitch("ONCE")) {
    TEventLogger::SetEchoToConsole(true);
    TOneShotService* service = FService.get();
    // Two cycles and out: there is nothing to pause or to report, so only a
    // stop is acted on; the other signals are taken (they must not end the
    // run) and ignored.
    platform::WatchControlRequests([service](platform::TControlRequest request) {
      if (request == platform::crInterrupt || request == platform::crTerminate) service->StopOnce();
    });
    try {
      return FService->RunOnce() ? 0 : 1;
    } catch (const std::exception& e) {
      FEventLogger.LogEvent(e.what());
      return 1;
    }
  }
  if (FindSwitch("CONSOLE")) {
    TEventLogger::SetEchoToConsole(true);
    return RunInForeground();
  }
  return RunAsService();
}

int TServiceApplication::RegisterServices(bool install, bool silent) {
  platform::TServiceManager& manager = Manager();
  const int openError = manager.Open();
  if (openError != 0) {
    platform::ShowMessageBox(EOSError(openError, manager.SystemText(openError)).what(), "Application Error",
                         platform::TBoxKind::Error);
    return 1;
  }
  bool success = true;
  for (TService* service : {static_cast<TService*>(FService.get())}) {
    try {
      int rc;
      if (install) {
        platform::TServiceRegistration r;
        r.Name = service->Name();
        r.DisplayName = service->DisplayName();
        r.Documentation = service->Documentation;
        r.ServiceType = service->GetNTServiceType();
        r.StartType = service->GetNTStartType();
        r.ErrorControl = service->GetNTErrorSeverity();
        r.BinaryPath = platform::ExecutablePath();
        r.LoadOrderGroup = service->LoadGroup;
        r.Dependencies = service->GetNTDependencies();
        r.StartName = service->ServiceStartName();
        r.Password = service->Password();
        r.WantTagId = service->TagID > 0;
        r.WritablePaths = service->WritablePaths();
        r.RequiredMounts = service->RequiredMounts();
        rc = manager.AddService(r);
      } else {
        rc = manager.RemoveService(service->Name());
      }
      if (rc != 0) throw EOSError(rc, manager.SystemText(rc));
    } catch (const std::exception& e) {
      platform::ShowMessageBox(Format(install ? "Service \"%s\" failed to install with error: \"%s\""
                                          : "Service \"%s\" failed to uninstall with error: \"%s\"",
                                  service->DisplayName(), e.what()),
                           "", platform::TBoxKind::Error);
      success = false;
    }
  }
  manager.Close();
  if (success && !silent)
    platform::ShowMessageBox(install ? "Service installed successfully" : "Service uninstalled successfully", "",
                         platform::TBoxKind::Information);
  return success ? 0 : 1;
}

void TServiceApplication::MessageLoop() {
  platform::TMessage msg;
  while (platform::GetNextMessage(msg) != 0) {
    try {
      platform::DispatchNextMessage(msg);
    } catch (const std::exception& e) {
      // A failed tick ends that cycle only; the loop and the service go on.
      FEventLogger.LogEvent(e.what());
    } catch (...) {
      FEventLogger.LogEvent("Unknown exception in the main message loop");
    }
  }
}

void TServiceApplication::ServiceMain(const std::vector<std::string>& args) {
  if (args.empty() || !FService || !SameText(args[0], FService->Name())) return;
  TService* service = FService.get();
  service->Params.insert(service->Params.end(), args.begin(), args.end());
  platform::TServiceManager& manager = Manager();
  const std::string name = service->Name();
  const int rc = manager.RegisterControlHandler(name, [service](std::uint32_t code) { service->Controller(code); });
  if (rc != 0) {
    service->EventLogger().LogEvent(manager.SystemText(rc));
    return;
  }
  service->StatusReporter = [service, &manager, name](const TServiceStatus& status) {
    const int error = manager.SetServiceStatus(name, status);
    if (error != 0) service->EventLogger().LogEvent(manager.SystemText(error));
  };
  service->SetStatusTextReporter(
      [&manager, name](const std::string& text) { manager.SetStatusText(name, text); });
  service->Main();
  service->SetStatusTextReporter(nullptr);
  service->StatusReporter = nullptr;
}

int TServiceApplication::RunAsService() {
  platform::EnsureMessageQueue();
  platform::TServiceManager& manager = Manager();  // made here, on the main thread, before any other
  const platform::TThreadId mainThread = platform::CurrentThreadId();
  std::atomic<int> result{0};
  // The dispatcher thread: it serves until every service has stopped, then
  // ends the main loop.
  std::thread startThread([&] {
    result = manager.StartDispatcher({FService->Name()},
                                     [this](const std::vector<std::string>& args) { ServiceMain(args); });
    platform::PostToThread(mainThread, platform::MsgQuit, 0, 0);
  });
  MessageLoop();
  startThread.join();
  if (result != 0) {
    const std::string text = manager.SystemText(result);
    FEventLogger.LogEvent(text);
    // Started by hand: whoever typed the command reads the terminal, not the
    // system log. Arguments that are no switch are still ignored, but named.
    std::string unknown;
    for (size_t i = 1; i < FArgs.size(); ++i)
      if (!IsKnownSwitch(FArgs[i])) unknown += (unknown.empty() ? "" : " ") + FArgs[i];
    const std::string program = platform::ExtractFileName(FArgs.empty() ? std::string("tidewell") : FArgs[0]);
    std::fputs((program + ": " + text + (unknown.empty() ? "" : " (not understood: " + unknown + ")") +
                "; to run it by hand see " + program + " --help\n")
                   .c_str(),
               stderr);
    return 1;
  }
  return 0;
}

namespace {

// The word an administrator reads for a state, as systemctl status shows it.
const char* StateWord(std::uint32_t state) {
  switch (static_cast<TCurrentStatus>(state)) {
    case TCurrentStatus::csStopped: return "Stopped";
    case TCurrentStatus::csStartPending: return "Starting";
    case TCurrentStatus::csStopPending: return "Stopping";
    case TCurrentStatus::csRunning: return "Running";
    case TCurrentStatus::csContinuePending: return "Continuing";
    case TCurrentStatus::csPausePending: return "Pausing";
    case TCurrentStatus::csPaused: return "Paused";
  }
  return "Unknown";
}

}  // namespace

int TServiceApplication::RunInForeground(bool watchTerminationRequests) {
  platform::EnsureMessageQueue();
  const platform::TThreadId mainThread = platform::CurrentThreadId();
  TOneShotService* service = FService.get();
  // A request that comes while the service thread is still starting is kept
  // until it can be handed over, so an early Ctrl+C is never lost.
  auto ended = std::make_shared<std::atomic<bool>>(false);
  if (watchTerminationRequests) {
    // The signals a service answers, answered the same way: a stop stops, a
    // pause and a continue are reported and change nothing else, a hang-up
    // reports the state again. Each report is one line on standard output,
    // where the service manager would have been told.
    const std::string name = service->Name();
    auto lastPending = std::make_shared<std::uint32_t>(0);
    service->StatusReporter = [name, lastPending](const TServiceStatus& status) {
      // A pending state reported again only counts its checkpoint up.
      const auto state = static_cast<TCurrentStatus>(status.CurrentState);
      const bool pending = state == TCurrentStatus::csStartPending || state == TCurrentStatus::csStopPending ||
                           state == TCurrentStatus::csContinuePending || state == TCurrentStatus::csPausePending;
      if (pending && *lastPending == status.CurrentState) return;
      *lastPending = pending ? status.CurrentState : 0;
      std::fputs((name + ": " + StateWord(status.CurrentState) + "\n").c_str(), stdout);
      std::fflush(stdout);
    };
    platform::WatchControlRequests([service, ended](platform::TControlRequest request) {
      switch (request) {
        case platform::crInterrupt:
        case platform::crTerminate:
          while (!*ended && !service->Controller(SERVICE_CONTROL_STOP)) platform::Sleep(20);
          break;
        // Before the service thread is there, or after it has gone, there is
        // nothing to pause or report.
        case platform::crPause: service->Controller(SERVICE_CONTROL_PAUSE); break;
        case platform::crContinue: service->Controller(SERVICE_CONTROL_CONTINUE); break;
        case platform::crHangUp: service->Controller(SERVICE_CONTROL_INTERROGATE); break;
      }
    });
  }
  std::thread serviceMain([service, mainThread, ended] {
    service->Main();
    *ended = true;
    platform::PostToThread(mainThread, platform::MsgQuit, 0, 0);
  });
  MessageLoop();
  serviceMain.join();
  if (watchTerminationRequests) service->StatusReporter = nullptr;
  return 0;
}

}  // namespace tidewell
