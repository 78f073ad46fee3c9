// Small helpers the benchmark programs share: the test server's settings
// from the environment scripts/testdb writes, and giving up loudly.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tidewell::bench {

// A variable of scripts/testdb's env.sh; exits when the script did not run.
inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) {
    std::fprintf(stderr, "%s is not set: run the benchmark's script, or source the env.sh of scripts/testdb\n", name);
    std::exit(2);
  }
  return v;
}

inline void Must(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "failed: %s\n", what);
  std::exit(1);
}

}  // namespace tidewell::bench
