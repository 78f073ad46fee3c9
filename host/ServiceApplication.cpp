#include "host/ServiceApplication.h"

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

#include "common/Text.h"
#include "platform/Messages.h"
#include "platform/System.h"

namespace tidewell {

TServiceApplication::TServiceApplication(std::vector<std::string> args)
    : FArgs(std::move(args)), FEventLogger(platform::ExtractFileName(platform::ExecutablePath())) {}

TServiceApplication::~TServiceApplication() = default;

void TServiceApplication::CreateForm(std::unique_ptr<TOneShotService> service) { FService = std::move(service); }

bool TServiceApplication::FindSwitch(const std::string& name) const {
  for (size_t i = 1; i < FArgs.size(); ++i) {
    const std::string& a = FArgs[i];
    if (a.size() > 1 && (a[0] == '-' || a[0] == '/') && SameText(a.substr(1), name)) return true;
  }
  return false;
}

int TServiceApplication::Run() {
  if (!FService) return 1;
  if (FindSwitch("INSTALL") || FindSwitch("UNINSTALL")) {
    platform::MessageBox("Installing and removing the service is not available in this build", "Application Error",
                         platform::TBoxKind::Error);
    return 1;
  }
  if (FindSwitch("ONCE")) {
    TEventLogger::SetEchoToConsole(true);
    TOneShotService* service = FService.get();
    platform::WatchTerminationRequests([service](int) { service->StopOnce(); });
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

// Without a service manager to talk to, the dispatcher fails the way it does
// when the program is started by hand: one event-log entry and out.
int TServiceApplication::RunAsService() {
  FEventLogger.LogEvent("The service process could not connect to the service controller");
  return 1;
}

void TServiceApplication::MessageLoop() {
  platform::TMessage msg;
  while (platform::GetMessage(msg) != 0) {
    try {
      platform::DispatchMessage(msg);
    } catch (const std::exception& e) {
      // A failed tick ends that cycle only; the loop and the service go on.
      FEventLogger.LogEvent(e.what());
    } catch (...) {
      FEventLogger.LogEvent("Unknown exception in the main message loop");
    }
  }
}

int TServiceApplication::RunInForeground(bool watchTerminationRequests) {
  platform::EnsureMessageQueue();
  const platform::TThreadId mainThread = platform::CurrentThreadId();
  TOneShotService* service = FService.get();
  // A request that comes while the service thread is still starting is kept
  // until it can be handed over, so an early Ctrl+C is never lost.
  auto ended = std::make_shared<std::atomic<bool>>(false);
  if (watchTerminationRequests)
    platform::WatchTerminationRequests([service, ended](int) {
      while (!*ended && !service->Controller(SERVICE_CONTROL_STOP)) platform::Sleep(20);
    });
  std::thread serviceMain([service, mainThread, ended] {
    service->Main({service->Name()});
    *ended = true;
    platform::PostThreadMessage(mainThread, platform::WM_QUIT, 0, 0);
  });
  MessageLoop();
  serviceMain.join();
  return 0;
}

}  // namespace tidewell
