// The tidewell executable run the way systemd runs it: with a notify socket,
// stopped by SIGTERM. Also the foreground and one-shot modes an
// administrator uses, and a start by hand.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

using tidewell::test::ReadCrLfLines;
using tidewell::test::TTempDir;

namespace {

// The executable copied into a folder of its own: its settings and log
// folder live beside it.
std::string Install(const TTempDir& dir) {
  const std::string exe = dir.File("tidewell");
  std::filesystem::copy_file(TIDEWELL_EXE, exe);
  return exe;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
  return pid;
}

int WaitExit(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the process did not end in time";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : FPath(path) {
    FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{20, 0};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~TNotifySocket() { close(FFd); }
  // Reads datagrams until one contains `text`; returns all read so far.
  std::vector<std::string> ReadUntil(const std::string& text) {
    std::vector<std::string> got;
    char buf[4096];
    for (;;) {
      const ssize_t n = recv(FFd, buf, sizeof buf, 0);
      if (n <= 0) {
        ADD_FAILURE() << "no datagram with " << text;
        return got;
      }
      got.emplace_back(buf, static_cast<size_t>(n));
      if (got.back().find(text) != std::string::npos) return got;
    }
  }

 private:
  std::string FPath;
  int FFd;
};

std::vector<std::string> LogTexts(const TTempDir& dir) {
  std::vector<std::string> texts;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("log")))
    for (const auto& line : ReadCrLfLines(entry.path().string()))
      texts.push_back(line.size() > 24 && line[2] == ':' ? line.substr(24) : line);
  return texts;
}

}  // namespace

TEST(UnderSystemd, ReportsReadyAndStopsCleanlyOnSigterm) {
  TTempDir dir;
  const std::string exe = Install(dir);
  TNotifySocket notify(dir.File("notify.sock"));
  const pid_t pid = Spawn({exe}, {"NOTIFY_SOCKET=" + dir.File("notify.sock")});
  const auto starting = notify.ReadUntil("READY=1");
  ASSERT_GE(starting.size(), 2u);
  EXPECT_EQ(starting[0], "STATUS=Starting\nEXTEND_TIMEOUT_USEC=5000000");
  kill(pid, SIGTERM);
  notify.ReadUntil("STOPPING=1");
  notify.ReadUntil("STATUS=Stopped");
  EXPECT_EQ(WaitExit(pid), 0);
  const auto texts = LogTexts(dir);
  ASSERT_GE(texts.size(), 5u);
  EXPECT_EQ(texts[1], "Start Log");
  EXPECT_EQ(texts[2], "Starting scan of SQL tables...");
  EXPECT_EQ(texts[texts.size() - 3], "Stop request received!");
  EXPECT_EQ(texts[texts.size() - 2], "Process safely stopped...");
  EXPECT_EQ(texts.back(), "End Log");
}

TEST(UnderSystemd, StartedByHandItEndsAtOnceWithoutRunningTheService) {
  TTempDir dir;
  const std::string exe = Install(dir);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitExit(Spawn({exe}, {})), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(std::filesystem::exists(dir.File("log")));
}

TEST(Foreground, ConsoleModeStopsOnInterruptAndOnceModeRunsTwoCycles) {
  TTempDir dir;
  const std::string exe = Install(dir);
  const pid_t pid = Spawn({exe, "-Console"}, {});
  // Wait for the log to show the service running, then press Ctrl+C.
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.File("log")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
  auto texts = LogTexts(dir);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "End Log");
  EXPECT_EQ(texts[texts.size() - 2], "Process safely stopped...");

  std::filesystem::remove_all(dir.File("log"));
  // No database answers here: two failed cycles, exit code 1.
  EXPECT_EQ(WaitExit(Spawn({exe, "/once"}, {})), 1);
  texts = LogTexts(dir);
  int errors = 0;
  for (const auto& t : texts) errors += t.rfind("ERROR - H:", 0) == 0;
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(texts.back(), "End Log");
}
