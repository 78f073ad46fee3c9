// TDelayRelay: a network between a program and its database server, on one
// machine. It listens on a loopback port of its own and connects every
// client it accepts to the server's port; each chunk it reads, in either
// direction, is held for a fixed time from the moment it was read and then
// passed on, so a request and its answer take twice the delay longer. A
// chunk read while earlier ones are held is timed from its own reading: the
// delay adds latency, not a limit on throughput. Both sides of every
// connection send without Nagle's delay (TCP_NODELAY), as the drivers do.
#pragma once

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace tidewell::bench {

class TDelayRelay {
 public:
  // Starts listening on a free loopback port; gives up loudly when it can't.
  TDelayRelay(int targetPort, std::chrono::microseconds delay);
  // Closes every connection and waits for its threads.
  ~TDelayRelay();
  TDelayRelay(const TDelayRelay&) = delete;
  TDelayRelay& operator=(const TDelayRelay&) = delete;

  int Port() const { return FPort; }

 private:
  struct TConnection {
    int Client = -1, Server = -1;
    std::thread Up, Down;
  };
  void Accept();
  // Passes what `from` sends to `to`, each chunk held FDelay from its
  // reading; ends when `from` ends (after the held chunks went out) or on
  // an error, which shuts both sides so that the other direction ends too.
  void Pump(int from, int to) const;

  int FTargetPort;
  std::chrono::microseconds FDelay;
  int FListen = -1, FPort = 0;
  int FStopRead = -1, FStopWrite = -1;  // readable once the relay stops
  std::thread FAcceptor;
  // Only the acceptor touches it until it has ended.
  std::vector<std::unique_ptr<TConnection>> FConnections;
};

}  // namespace tidewell::bench
