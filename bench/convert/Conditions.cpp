#include "bench/convert/Conditions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

extern char** environ;

namespace tidewell::bench {

namespace {

void Reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t size = sizeof a;
  const bool found = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0;
  if (fd >= 0) close(fd);
  Must(found, "find a free port");
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Loopback(port);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace

TBusyCore::TBusyCore() {
  const pid_t parent = getpid();
  FPid = fork();
  Must(FPid >= 0, "fork the busy loop");
  if (FPid != 0) return;
  // It goes with the benchmark, however that ends.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  volatile std::uint64_t spins = 0;
  for (;;) spins = spins + 1;
}

TBusyCore::~TBusyCore() {
  kill(FPid, SIGKILL);
  Reap(FPid);
}

TOtherRelay::TOtherRelay(const std::string& program, int targetPort, long delayUs) : FPort(FreePort()) {
  std::vector<std::string> args{program, std::to_string(FPort), std::to_string(targetPort), std::to_string(delayUs)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Must(posix_spawn(&FPid, argv[0], nullptr, nullptr, argv.data(), environ) == 0, "start the other relay");
  for (int i = 0; i < 500; ++i) {
    if (Listening(FPort)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(FPid, SIGKILL);
  Must(false, "the other relay listens");
}

TOtherRelay::~TOtherRelay() {
  kill(FPid, SIGTERM);
  Reap(FPid);
}

}  // namespace tidewell::bench
