// The conditions of a site the conversion benchmark adds besides the delay
// of a network (DelayRelay.h): another program that takes a core, and
// another relay program to compare the benchmark's own with. Each runs from
// construction to destruction.
#pragma once

#include <sys/types.h>

#include <string>

namespace tidewell::bench {

// Another program on the machine that wants a core for itself: a child
// process in a plain busy loop.
class TBusyCore {
 public:
  TBusyCore();
  ~TBusyCore();
  TBusyCore(const TBusyCore&) = delete;
  TBusyCore& operator=(const TBusyCore&) = delete;

 private:
  pid_t FPid = -1;
};

// A relay program of someone else's, started as `PROGRAM LISTEN_PORT
// TARGET_PORT DELAY_US` on a free loopback port; ready once it listens.
class TOtherRelay {
 public:
  TOtherRelay(const std::string& program, int targetPort, long delayUs);
  ~TOtherRelay();
  TOtherRelay(const TOtherRelay&) = delete;
  TOtherRelay& operator=(const TOtherRelay&) = delete;
  int Port() const { return FPort; }

 private:
  pid_t FPid = -1;
  int FPort = 0;
};

}  // namespace tidewell::bench
