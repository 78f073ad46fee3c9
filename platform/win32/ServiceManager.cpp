// The service manager on Windows: the Service Control Manager.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mutex>

#include "platform/ServiceManager.h"

namespace platform {
namespace {

// The SCM calls plain functions; they reach the one manager of the process
// through these.
std::mutex CallbackLock;
TServiceMain ServiceMainCallback;
TControlHandler ControlCallback;

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  TServiceMain main;
  {
    std::lock_guard<std::mutex> lock(CallbackLock);
    main = ServiceMainCallback;
  }
  if (main) main(args);
}

void WINAPI ControlEntry(DWORD code) {
  TControlHandler handler;
  {
    std::lock_guard<std::mutex> lock(CallbackLock);
    handler = ControlCallback;
  }
  if (handler) handler(code);
}

class TScmServiceManager : public TServiceManager {
 public:
  ~TScmServiceManager() override { Close(); }

  int Open() override {
    FScm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return FScm ? 0 : static_cast<int>(GetLastError());
  }

  void Close() override {
    if (FScm) CloseServiceHandle(FScm);
    FScm = nullptr;
  }

  int AddService(const TServiceRegistration& r) override {
    DWORD tag = 0;
    // The service manager reads the image path as a command line: unquoted,
    // "C:\Program Files\x.exe" would first be tried as "C:\Program.exe".
    const std::string commandLine = "\"" + r.BinaryPath + "\"";
    SC_HANDLE service = CreateServiceA(
        FScm, r.Name.c_str(), r.DisplayName.c_str(), SERVICE_ALL_ACCESS, r.ServiceType, r.StartType, r.ErrorControl,
        commandLine.c_str(), r.LoadOrderGroup.c_str(), r.WantTagId ? &tag : nullptr,
        r.Dependencies.empty() ? nullptr : r.Dependencies.c_str(), r.StartName.empty() ? nullptr : r.StartName.c_str(),
        r.Password.c_str());
    if (!service) return static_cast<int>(GetLastError());
    CloseServiceHandle(service);
    return 0;
  }

  int RemoveService(const std::string& name) override {
    SC_HANDLE service = OpenServiceA(FScm, name.c_str(), SERVICE_ALL_ACCESS);
    if (!service) return static_cast<int>(GetLastError());
    int rc = 0;
    if (!::DeleteService(service)) rc = static_cast<int>(GetLastError());
    CloseServiceHandle(service);
    return rc;
  }

  int StartDispatcher(const std::vector<std::string>& serviceNames, TServiceMain serviceMain) override {
    {
      std::lock_guard<std::mutex> lock(CallbackLock);
      ServiceMainCallback = std::move(serviceMain);
    }
    std::vector<std::string> names = serviceNames;
    std::vector<SERVICE_TABLE_ENTRYA> table;
    for (auto& n : names) table.push_back(SERVICE_TABLE_ENTRYA{n.data(), &ServiceMainEntry});
    table.push_back(SERVICE_TABLE_ENTRYA{nullptr, nullptr});
    const int rc = StartServiceCtrlDispatcherA(table.data()) ? 0 : static_cast<int>(GetLastError());
    std::lock_guard<std::mutex> lock(CallbackLock);
    ServiceMainCallback = nullptr;
    return rc;
  }

  int RegisterControlHandler(const std::string& name, TControlHandler handler) override {
    {
      std::lock_guard<std::mutex> lock(CallbackLock);
      ControlCallback = std::move(handler);
    }
    FStatusHandle = RegisterServiceCtrlHandlerA(name.c_str(), &ControlEntry);
    return FStatusHandle ? 0 : static_cast<int>(GetLastError());
  }

  int SetServiceStatus(const std::string&, const TServiceStatusRecord& s) override {
    SERVICE_STATUS status{};
    status.dwServiceType = s.ServiceType;
    status.dwCurrentState = s.CurrentState;
    status.dwControlsAccepted = s.ControlsAccepted;
    status.dwWin32ExitCode = s.Win32ExitCode;
    status.dwServiceSpecificExitCode = s.ServiceSpecificExitCode;
    status.dwCheckPoint = s.CheckPoint;
    status.dwWaitHint = s.WaitHint;
    return ::SetServiceStatus(FStatusHandle, &status) ? 0 : static_cast<int>(GetLastError());
  }

  std::string SystemText(int code) override {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = n && buffer ? std::string(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.')) text.pop_back();
    return text;
  }

 private:
  SC_HANDLE FScm = nullptr;
  SERVICE_STATUS_HANDLE FStatusHandle = nullptr;
};

}  // namespace

std::unique_ptr<TServiceManager> CreateSystemServiceManager(const std::string&, const std::string&) {
  return std::make_unique<TScmServiceManager>();
}

}  // namespace platform
