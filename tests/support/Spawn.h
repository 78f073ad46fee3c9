// Starting the program (or a helper program) as a child process and waiting
// for it, for the tests and the benchmarks alike. Header-only, so that the
// benchmarks use it without the test libraries.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tidewell::test {

struct TSpawn {
  std::vector<std::string> Args;  // the program's path first
  // Variables of this process the child does not get, by their "NAME="
  // prefix: a notify socket belongs to whoever started the tests.
  std::vector<std::string> DropEnv{"NOTIFY_SOCKET="};
  std::vector<std::string> AddEnv;  // "NAME=value"
  // Where standard output and standard error go (both to one file); empty
  // leaves them this process's.
  std::string Output;
  bool AppendOutput = false;
};

// The child's pid, or -1 when it could not be started.
inline pid_t SpawnProcess(const TSpawn& spawn) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool dropped = false;
    for (const auto& prefix : spawn.DropEnv) dropped = dropped || std::strncmp(*e, prefix.c_str(), prefix.size()) == 0;
    if (!dropped) env.emplace_back(*e);
  }
  env.insert(env.end(), spawn.AddEnv.begin(), spawn.AddEnv.end());
  std::vector<std::string> args = spawn.Args;
  if (args.empty()) return -1;
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!spawn.Output.empty()) {
    const int mode = O_WRONLY | O_CREAT | (spawn.AppendOutput ? O_APPEND : O_TRUNC);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, spawn.Output.c_str(), mode, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  pid_t pid = -1;
  const int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return started == 0 ? pid : -1;
}

// The child's exit code, or 128 + the signal that ended it. A child still
// running after `limit` is killed, and -1 returned.
inline int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  if (pid <= 0) return -1;  // never wait for just any child
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tidewell::test
