// The system's service manager, as the service host sees it: a registration
// database to add and remove services, a dispatcher that starts them and
// delivers control codes, and status reports.
//
// Errors are system error codes with the service manager's own numbering
// (1060 no such service, 1063 not started by the service manager, 1073
// already installed, 5 access denied, ...); SystemText gives their text.
//
// Implementations: systemd on Linux, the Service Control Manager on Windows,
// and an in-process one for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr int ErrAccessDenied = 5;
inline constexpr int ErrServiceDoesNotExist = 1060;
inline constexpr int ErrFailedServiceControllerConnect = 1063;
inline constexpr int ErrServiceExists = 1073;
// Ours (bit 29 marks an application's own codes): the service manager would
// not take the service (systemctl failed, a path it can't carry);
// SystemText says what failed.
inline constexpr int ErrServiceCommandFailed = 0x20000001;

// What a service is registered with, in the service manager's own values.
struct TServiceRegistration {
  std::string Name;
  std::string DisplayName;
  std::string Documentation;         // a URI (man:, https:), or empty
  std::uint32_t ServiceType = 0x10;  // own process
  std::uint32_t StartType = 2;       // automatic
  std::uint32_t ErrorControl = 1;    // normal
  std::string BinaryPath;            // full path, unquoted, no arguments
  std::string LoadOrderGroup;
  std::string Dependencies;          // each name ended by a zero byte, then one more; or empty
  std::string StartName;             // account; empty = local system
  std::string Password;
  bool WantTagId = false;
  // Where the service writes (for managers that confine it), and file
  // systems that must be mounted before it starts.
  std::vector<std::string> WritablePaths;
  std::vector<std::string> RequiredMounts;
};

// The status record of a report, field for field as the service manager takes it.
struct TServiceStatusRecord {
  std::uint32_t ServiceType = 0x10;
  std::uint32_t CurrentState = 0;
  std::uint32_t ControlsAccepted = 0;
  std::uint32_t Win32ExitCode = 0;
  std::uint32_t ServiceSpecificExitCode = 0;
  std::uint32_t CheckPoint = 0;
  std::uint32_t WaitHint = 0;
};

using TServiceMain = std::function<void(const std::vector<std::string>& args)>;
using TControlHandler = std::function<void(std::uint32_t code)>;

class TServiceManager {
 public:
  virtual ~TServiceManager() = default;

  // Registration database; 0 or an error code.
  virtual int Open() = 0;
  virtual void Close() = 0;
  virtual int AddService(const TServiceRegistration& registration) = 0;
  virtual int RemoveService(const std::string& name) = 0;

  // Blocks while the process serves: calls serviceMain on a thread of its
  // own for each service started, and returns when they have all stopped.
  // 0, or the error that kept it from serving.
  virtual int StartDispatcher(const std::vector<std::string>& serviceNames, TServiceMain serviceMain) = 0;
  // From a service main: where control codes for that service go; 0 or an error.
  virtual int RegisterControlHandler(const std::string& name, TControlHandler handler) = 0;
  // 0 or an error.
  virtual int SetServiceStatus(const std::string& name, const TServiceStatusRecord& status) = 0;
  // A line for administrators about what the running service is doing (what
  // the last cycle did, when the next one comes). Service managers without
  // such a line ignore it. 0 or an error.
  virtual int SetStatusText(const std::string& name, const std::string& text) { return 0; }

  virtual std::string SystemText(int code) = 0;
};

// The service manager of the system the program runs on. unitDirectory
// (where unit files are written; empty for the system's) and systemctl (the
// program that reloads, enables and stops units; empty for the system's,
// which is used only when systemd runs and the system's unit folder is
// written) are for tests. Windows takes neither.
std::unique_ptr<TServiceManager> CreateSystemServiceManager(const std::string& unitDirectory = std::string(),
                                                            const std::string& systemctl = std::string());

}  // namespace platform
