// TServiceApplication: the process's host. It reads the command line, owns
// the service, runs the main thread's message loop (where the service's
// timer ticks) and turns termination requests into control codes.
//
// Switches are arguments starting with "-" or "/" whose rest names the switch
// in any letter case, anywhere on the line:
//   INSTALL / UNINSTALL [SILENT]  register or remove the service
//   CONSOLE                       run in the foreground until Ctrl+C or SIGTERM
//   ONCE                          run the service's one-shot job and exit
//   (none)                        run under the service manager
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/EventLogger.h"
#include "host/Service.h"

namespace tidewell {

// A service that can also do its work once, for administrators and demos.
class TOneShotService : public TService {
 public:
  using TService::TService;
  // Runs the job once in the calling thread; true when it all succeeded.
  virtual bool RunOnce() = 0;
  // Asks a RunOnce in progress to finish early (from another thread).
  virtual void StopOnce() = 0;
};

class TServiceApplication {
 public:
  explicit TServiceApplication(std::vector<std::string> args);
  virtual ~TServiceApplication();

  void CreateForm(std::unique_ptr<TOneShotService> service);
  TOneShotService* Service() const { return FService.get(); }
  // Returns the process exit code.
  int Run();

  bool FindSwitch(const std::string& name) const;
  TEventLogger& EventLogger() { return FEventLogger; }

  // Foreground run: the service thread in this process, stopped by a
  // termination request (when watched) or by a control code from elsewhere.
  int RunInForeground(bool watchTerminationRequests = true);

 private:
  int RunAsService();
  void MessageLoop();

  std::vector<std::string> FArgs;
  std::unique_ptr<TOneShotService> FService;
  TEventLogger FEventLogger;
};

}  // namespace tidewell
