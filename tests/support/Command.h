// Running another program through the shell (an independent reader, the
// program itself) and taking what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace tidewell::test {

// Runs `command` with its standard error joined to its output, which goes
// to `*output`. The exit code; -1 when it could not run or a signal ended it.
inline int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output->append(buf, n);
  const int status = ::pclose(pipe);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tidewell::test
