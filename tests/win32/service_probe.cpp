// service_probe start|stop NAME [TIMEOUT_MS]
//
// Starts or stops a service through the Service Control Manager and watches
// its status closely, printing every status it sees once, in order:
//   state=2 checkpoint=1 controls=0 wait=5000 exit=0
// It ends when the service reaches the wanted state (running, or stopped),
// or stops otherwise, or the time is up. Exit code 0 when the wanted state was
// reached, 1 when not, 2 for a service manager error.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Fail(const char* what) {
  std::printf("%s failed: error %lu\n", what, static_cast<unsigned long>(GetLastError()));
  return 2;
}

bool Same(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
  return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint &&
         a.dwControlsAccepted == b.dwControlsAccepted && a.dwWaitHint == b.dwWaitHint &&
         a.dwWin32ExitCode == b.dwWin32ExitCode;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "start") != 0 && std::strcmp(argv[1], "stop") != 0)) {
    std::printf("usage: service_probe start|stop NAME [TIMEOUT_MS]\n");
    return 2;
  }
  const bool start = std::strcmp(argv[1], "start") == 0;
  const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 30000;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return Fail("OpenSCManagerA");
  SC_HANDLE service = OpenServiceA(scm, argv[2], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return Fail("OpenServiceA");

  SERVICE_STATUS status{};
  if (start) {
    if (!StartServiceA(service, 0, nullptr)) return Fail("StartServiceA");
  } else if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    return Fail("ControlService");
  }

  const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
  SERVICE_STATUS last{};
  last.dwCurrentState = 0xFFFFFFFF;
  const DWORD begin = GetTickCount();
  for (;;) {
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    if (!Same(status, last)) {
      std::printf("state=%lu checkpoint=%lu controls=%lu wait=%lu exit=%lu\n",
                  static_cast<unsigned long>(status.dwCurrentState), static_cast<unsigned long>(status.dwCheckPoint),
                  static_cast<unsigned long>(status.dwControlsAccepted), static_cast<unsigned long>(status.dwWaitHint),
                  static_cast<unsigned long>(status.dwWin32ExitCode));
      std::fflush(stdout);
      last = status;
    }
    if (status.dwCurrentState == wanted) break;
    if (start && status.dwCurrentState == SERVICE_STOPPED) break;
    if (GetTickCount() - begin > timeout) {
      std::printf("timed out\n");
      break;
    }
    Sleep(1);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return status.dwCurrentState == wanted ? 0 : 1;
}
