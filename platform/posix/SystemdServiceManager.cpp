// The service manager on Linux: systemd.
//
//  - Registering writes a unit file (Type=notify, restarted after a failure,
//    started once the network is up and the share is mounted, confined to
//    writing where it writes) and, when systemd runs, reloads it and enables
//    it for automatic start; a failed systemctl fails the registration.
//    Removing stops the service first.
//  - Serving needs $NOTIFY_SOCKET, which systemd sets for a Type=notify
//    service; without it the process was not started by the service manager.
//  - Status reports are notify datagrams: start pending as STATUS= with
//    EXTEND_TIMEOUT_USEC= from the wait hint, running as READY=1, stop
//    pending as STOPPING=1 with EXTEND_TIMEOUT_USEC= (a stop that waits for
//    the row in hand reports stop pending again to ask for more time), the
//    other states as STATUS=; status texts as STATUS=.
//  - Signals become control codes: SIGTERM stop (shutdown while the system is
//    going down), SIGINT stop, SIGUSR1 pause, SIGUSR2 continue, SIGHUP
//    interrogate.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ServiceManager.h"
#include "platform/System.h"

extern char** environ;

namespace platform {
namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  return set;
}

// Runs a program and returns its exit status (-1 when it could not run);
// its standard output is returned in `out` when asked for.
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipeFd[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out && pipe(pipeFd) == 0) {
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
  }
  // The child must not inherit our blocked control signals.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (pipeFd[1] >= 0) close(pipeFd[1]);
  if (rc != 0) {
    if (pipeFd[0] >= 0) close(pipeFd[0]);
    return -1;
  }
  if (pipeFd[0] >= 0) {
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFd[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    close(pipeFd[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SystemdIsRunning() { return DirectoryExists("/run/systemd/system"); }

bool SystemIsGoingDown() {
  if (!SystemdIsRunning()) return false;
  std::string state;
  RunProgram({"systemctl", "is-system-running"}, &state);
  return state.rfind("stopping", 0) == 0;
}

int ErrorFromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrAccessDenied;
    case ENOENT:
      return 3;  // path not found
    default:
      return 31;  // a device attached to the system is not functioning
  }
}

// A value as one word of a unit file setting: in double quotes, with
// quotes and backslashes escaped and "%" doubled (systemd would take it for a
// specifier). False for texts systemd can't carry in a unit line (control
// characters).
bool QuoteForUnit(const std::string& value, std::string& quoted) {
  std::string out(1, '"');
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  out.push_back('"');
  quoted = std::move(out);
  return true;
}

// systemd refuses to start a program whose path holds a quote or a
// backslash, however it is written; variables are not expanded in the
// program's own path, so "$" needs nothing.
bool QuoteExecutable(const std::string& path, std::string& quoted) {
  return path.find_first_of("\"'\\") == std::string::npos && QuoteForUnit(path, quoted);
}

// A user name systemd takes as it stands: letters, digits, "_", "." and
// "-", not starting with "-".
bool PlainAccountName(const std::string& name) {
  if (name.empty() || name[0] == '-') return false;
  for (const char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') return false;
  return true;
}

// Free text (a description): only specifiers need care.
std::string EscapeSpecifiers(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '%') out += '%';
    if (c != '\n' && c != '\r') out += c;
  }
  return out;
}

class TSystemdServiceManager : public TServiceManager {
 public:
  TSystemdServiceManager(std::string unitDirectory, std::string systemctl)
      : FUnitDirectory(unitDirectory.empty() ? "/etc/systemd/system" : std::move(unitDirectory)),
        FSystemctl(systemctl.empty() ? "systemctl" : std::move(systemctl)),
        FUseSystemctl(FSystemctl != "systemctl" || (FUnitDirectory == "/etc/systemd/system" && SystemdIsRunning())) {
    // Made on the main thread before any other: every thread the process
    // starts inherits the mask, so control signals reach only our watcher.
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

  int Open() override {
    if (!DirectoryExists(FUnitDirectory)) return 3;
    if (access(FUnitDirectory.c_str(), W_OK) != 0) return ErrAccessDenied;
    return 0;
  }

  void Close() override {}

  std::string UnitPath(const std::string& name) const { return FUnitDirectory + "/" + name + ".service"; }

  // A unit of that name shipped by a package (in the system's own unit
  // folders): the service is installed, and it is the package's to remove.
  std::string PackagedUnit(const std::string& name) const {
    if (FUnitDirectory != "/etc/systemd/system") return {};
    for (const char* dir : {"/usr/lib/systemd/system", "/lib/systemd/system"}) {
      const std::string path = std::string(dir) + "/" + name + ".service";
      if (PathExists(path)) return path;
    }
    return {};
  }

  int AddService(const TServiceRegistration& r) override {
    const std::string path = UnitPath(r.Name);
    // Anything at the unit's name takes it: a unit masked as a link to
    // /dev/null too, which must not be written through.
    if (PathExists(path) || !PackagedUnit(r.Name).empty()) return ErrServiceExists;
    std::string unit;
    if (!UnitText(r, unit)) {
      FFailure = "systemd can't run " + r.BinaryPath +
                 " as a service: a path in its unit holds a quote, a backslash or a control character" +
                 (r.StartName.empty() || PlainAccountName(r.StartName)
                      ? std::string()
                      : ", or its account \"" + r.StartName + "\" is no plain user name");
      return ErrServiceCommandFailed;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return ErrorFromErrno(errno);
    file << unit;
    file.close();
    if (!file) {
      std::remove(path.c_str());
      return ErrAccessDenied;
    }
    if (!FUseSystemctl) return 0;
    int rc = Systemctl({"daemon-reload"});
    if (rc == 0 && r.StartType <= 2) rc = Systemctl({"enable", r.Name + ".service"});
    if (rc != 0) {
      // A unit systemd would not take is not left behind to block the next try.
      std::remove(path.c_str());
      Systemctl({"daemon-reload"}, false);
    }
    return rc;
  }

  int RemoveService(const std::string& name) override {
    const std::string path = UnitPath(name);
    if (!PathExists(path)) {
      const std::string packaged = PackagedUnit(name);
      if (packaged.empty()) return ErrServiceDoesNotExist;
      FFailure = packaged + " came with a package: remove the package to remove the service";
      return ErrServiceCommandFailed;
    }
    if (FUseSystemctl) {
      // Stopped first: a unit removed under a running service leaves a
      // process systemd no longer knows how to stop.
      if (const int rc = Systemctl({"stop", name + ".service"})) return rc;
      if (const int rc = Systemctl({"disable", name + ".service"})) return rc;
    }
    if (std::remove(path.c_str()) != 0) return ErrorFromErrno(errno);
    if (FUseSystemctl) return Systemctl({"daemon-reload"});
    return 0;
  }

  int StartDispatcher(const std::vector<std::string>& serviceNames, TServiceMain serviceMain) override {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (!socketName || !*socketName || serviceNames.empty()) return ErrFailedServiceControllerConnect;
    FNotifySocket = socketName;

    // Signals are turned into control codes on a thread of their own that
    // lives as long as the process; it hands codes to whatever handler the
    // service has registered.
    std::thread([state = FState] {
      sigset_t set = ControlSignals();
      for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        std::uint32_t code = 0;
        switch (sig) {
          case SIGTERM:
            code = SystemIsGoingDown() ? 5 : 1;
            break;
          case SIGINT:
            code = 1;
            break;
          case SIGUSR1:
            code = 2;
            break;
          case SIGUSR2:
            code = 3;
            break;
          case SIGHUP:
            code = 4;
            break;
        }
        TControlHandler handler;
        {
          std::lock_guard<std::mutex> lock(state->Lock);
          handler = state->Handler;
        }
        if (handler && code) handler(code);
      }
    }).detach();

    // One process serves one unit: the first service of the table.
    std::thread serviceThread([&] { serviceMain({serviceNames.front()}); });
    serviceThread.join();
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Handler = nullptr;
    return 0;
  }

  int RegisterControlHandler(const std::string&, TControlHandler handler) override {
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Handler = std::move(handler);
    return 0;
  }

  int SetServiceStatus(const std::string&, const TServiceStatusRecord& s) override {
    std::string message;
    switch (s.CurrentState) {
      case 1:
        message = "STATUS=Stopped";
        break;
      case 2:
        message = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{s.WaitHint} * 1000);
        break;
      case 3:
        message = "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{s.WaitHint} * 1000);
        break;
      case 4:
        message = "READY=1\nSTATUS=Running";
        break;
      case 5:
        message = "STATUS=Continuing";
        break;
      case 6:
        message = "STATUS=Pausing";
        break;
      case 7:
        message = "STATUS=Paused";
        break;
      default:
        return 87;  // the parameter is incorrect
    }
    return Notify(message);
  }

  int SetStatusText(const std::string&, const std::string& text) override {
    std::string line;
    for (const char c : text) line += c == '\n' ? ' ' : c;  // one line: a newline would start a new assignment
    return Notify("STATUS=" + line);
  }

  std::string SystemText(int code) override {
    if (code == ErrServiceCommandFailed) return FFailure;
    static const std::map<int, std::string> texts = {
        {2, "The system cannot find the file specified"},
        {3, "The system cannot find the path specified"},
        {5, "Access is denied"},
        {31, "A device attached to the system is not functioning"},
        {87, "The parameter is incorrect"},
        {1060, "The specified service does not exist as an installed service"},
        {1063, "The service process could not connect to the service controller"},
        {1073, "The specified service already exists"},
    };
    const auto it = texts.find(code);
    return it != texts.end() ? it->second : "Unknown error " + std::to_string(code);
  }

 private:
  // The unit: started once the network is up and the share is mounted,
  // restarted after a failure, and confined to what a database client that
  // writes files needs: no capabilities, no new privileges, sockets of the
  // Internet and local families only (TCP and a server's socket, the notify
  // socket and syslog), the system calls of a system service, no devices, no
  // kernel or control-group tunables, the system and the homes read-only,
  // files it makes not readable by others, and write access only where it
  // writes (its log, its journals, the share). Driver libraries are loaded
  // from the read-only system, which MemoryDenyWriteExecute leaves alone.
  bool UnitText(const TServiceRegistration& r, std::string& unit) const {
    std::string exec;
    if (!QuoteExecutable(r.BinaryPath, exec)) return false;
    unit += "[Unit]\n";
    unit += "Description=" + EscapeSpecifiers(r.DisplayName.empty() ? r.Name : r.DisplayName) + "\n";
    if (!r.Documentation.empty()) {
      // One URI: no blank may split it, no specifier be expanded in it.
      if (r.Documentation.find_first_of(" \t\"'\\") != std::string::npos) return false;
      unit += "Documentation=" + EscapeSpecifiers(r.Documentation) + "\n";
    }
    unit += "Wants=network-online.target\nAfter=network-online.target\n";
    // Dependencies: each a zero-ended name; "+" marks a load-order group,
    // which systemd has no notion of.
    for (size_t i = 0; i < r.Dependencies.size();) {
      const size_t end = r.Dependencies.find('\0', i);
      const std::string dep = r.Dependencies.substr(i, end == std::string::npos ? std::string::npos : end - i);
      if (dep.empty()) break;
      std::string quoted;
      if (dep[0] != '+') {
        if (!QuoteForUnit(dep + ".service", quoted)) return false;
        unit += "Wants=" + quoted + "\nAfter=" + quoted + "\n";
      }
      if (end == std::string::npos) break;
      i = end + 1;
    }
    for (const auto& mount : r.RequiredMounts) {
      std::string quoted;
      if (!QuoteForUnit(mount, quoted)) return false;
      unit += "RequiresMountsFor=" + quoted + "\n";
    }
    unit += "\n[Service]\n";
    unit += "Type=notify\n";
    unit += "ExecStart=" + exec + "\n";
    unit += "Restart=on-failure\nRestartSec=10\n";
    if (!r.StartName.empty()) {
      // Taken verbatim (systemd would keep quotes as part of the name), so
      // only a plain account name goes in.
      if (!PlainAccountName(r.StartName)) return false;
      unit += "User=" + r.StartName + "\n";
    }
    unit += "UMask=0027\n";
    unit += "NoNewPrivileges=yes\n";
    unit += "CapabilityBoundingSet=\nAmbientCapabilities=\n";
    unit += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
    unit += "SystemCallFilter=@system-service\nSystemCallErrorNumber=EPERM\nSystemCallArchitectures=native\n";
    unit += "PrivateDevices=yes\nPrivateTmp=yes\nPrivateUsers=yes\nPrivateMounts=yes\n";
    unit += "ProtectSystem=strict\nProtectHome=read-only\n";
    unit += "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n";
    unit += "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\n";
    unit += "ProtectProc=invisible\nProcSubset=pid\n";
    unit += "RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\n";
    unit += "LockPersonality=yes\nMemoryDenyWriteExecute=yes\nRemoveIPC=yes\nKeyringMode=private\n";
    if (!r.WritablePaths.empty()) {
      // "-": a folder missing at start (a share not there yet) must not keep
      // the service from starting; it logs its own failures.
      unit += "ReadWritePaths=";
      for (size_t i = 0; i < r.WritablePaths.size(); ++i) {
        std::string quoted;
        if (!QuoteForUnit("-" + r.WritablePaths[i], quoted)) return false;
        unit += (i ? " " : "") + quoted;
      }
      unit += "\n";
    }
    unit += "\n[Install]\n";
    if (r.StartType <= 2) unit += "WantedBy=multi-user.target\n";
    return true;
  }

  // Runs systemctl; 0, or ErrServiceCommandFailed with the failure kept
  // for SystemText.
  int Systemctl(std::vector<std::string> args, bool keepFailure = true) {
    std::string command = "systemctl";
    for (const auto& a : args) command += " " + a;
    args.insert(args.begin(), FSystemctl);
    const int rc = RunProgram(args);
    if (rc == 0) return 0;
    if (keepFailure)
      FFailure = rc < 0 ? "\"" + command + "\" could not be run"
                               : "\"" + command + "\" failed with exit code " + std::to_string(rc);
    return ErrServiceCommandFailed;
  }

  int Notify(const std::string& message) {
    if (FNotifySocket.empty()) return ErrFailedServiceControllerConnect;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (FNotifySocket.size() >= sizeof addr.sun_path) return 87;
    std::memcpy(addr.sun_path, FNotifySocket.data(), FNotifySocket.size());
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + FNotifySocket.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ErrorFromErrno(errno);
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    const int err = errno;
    close(fd);
    return sent == static_cast<ssize_t>(message.size()) ? 0 : ErrorFromErrno(err);
  }

  std::string FUnitDirectory;
  std::string FSystemctl;
  bool FUseSystemctl;
  std::string FFailure;  // text of the last ErrServiceCommandFailed
  std::string FNotifySocket;
  // Shared with the signal watcher, which outlives any one dispatcher run.
  struct TState {
    std::mutex Lock;
    TControlHandler Handler;
  };
  std::shared_ptr<TState> FState = std::make_shared<TState>();
};

}  // namespace

std::unique_ptr<TServiceManager> CreateSystemServiceManager(const std::string& unitDirectory,
                                                            const std::string& systemctl) {
  return std::make_unique<TSystemdServiceManager>(unitDirectory, systemctl);
}

}  // namespace platform
