// TServiceApplication: the process's host. It reads the command line, owns
// the service, registers or removes it with the service manager, runs the
// main thread's message loop (where the service's timer ticks) and hands the
// service table to the service manager's dispatcher.
//
// Switches are arguments starting with "-" or "/" whose rest names the switch
// in any letter case, anywhere on the line:
//   INSTALL / UNINSTALL   register or remove the service (INSTALL wins)
//   SILENT                with either: no message on success
//   CONSOLE               run in the foreground until Ctrl+C or SIGTERM,
//                         answering the other signals as the service does
//   ONCE                  run the service's one-shot job and exit (only a
//                         stop is acted on; other signals are ignored)
//   VERIFY                check the service's work and exit (its own arguments)
//   HELP, ?, --help       print Usage and exit 0
//   VERSION, --version    print VersionText and exit 0
//   one of Commands       run it and exit with its code
//   (none)                run under the service manager
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/EventLogger.h"
#include "host/Service.h"
#include "platform/ServiceManager.h"

namespace tidewell {

// A service that can also do its work once, for administrators and demos.
class TOneShotService : public TService {
 public:
  using TService::TService;
  // Runs the job once in the calling thread; true when it all succeeded.
  virtual bool RunOnce() = 0;
  // Asks a RunOnce in progress to finish early (from another thread).
  virtual void StopOnce() = 0;
  // The check of the service's work an administrator asks for with VERIFY,
  // given the whole command line; the exit code.
  virtual int Verify(const std::vector<std::string>& args) { return 2; }
};

// A failed call into the operating system, with its error code.
class EOSError : public std::runtime_error {
 public:
  EOSError(int code, const std::string& systemText);
  int Code;
};

class TServiceApplication {
 public:
  explicit TServiceApplication(std::vector<std::string> args);
  virtual ~TServiceApplication();

  void CreateForm(std::unique_ptr<TOneShotService> service);
  TOneShotService* Service() const { return FService.get(); }
  // The service manager to use instead of the system's (tests).
  void SetServiceManager(std::unique_ptr<platform::TServiceManager> manager);

  // Returns the process exit code.
  int Run();

  bool FindSwitch(const std::string& name) const;
  // True for an argument this program takes as one of its switches.
  static bool IsKnownSwitch(const std::string& arg);
  // Printed for HELP and VERSION.
  std::string Usage;
  std::string VersionText;
  // Switches of the program's own that do one job and exit with its code
  // (the service is made, never run); looked at after HELP and VERSION.
  struct TCommand {
    std::string Switch;
    std::function<int()> Run;
  };
  std::vector<TCommand> Commands;
  TEventLogger& EventLogger() { return FEventLogger; }

  // Foreground run: the service thread in this process, driven by the
  // signals the service answers (when watched; each state is then printed)
  // or by control codes from elsewhere.
  int RunInForeground(bool watchTerminationRequests = true);

  // Under the service manager: dispatcher thread plus the main message loop.
  int RunAsService();

  // Install or uninstall every owned service; returns the exit code.
  int RegisterServices(bool install, bool silent);

 private:
  void MessageLoop();
  void ServiceMain(const std::vector<std::string>& args);
  platform::TServiceManager& Manager();

  std::vector<std::string> FArgs;
  std::unique_ptr<TOneShotService> FService;
  std::unique_ptr<platform::TServiceManager> FManager;
  TEventLogger FEventLogger;
};

}  // namespace tidewell
