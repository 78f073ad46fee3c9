// TDelayRelay: a network between a program and its database server, on one
// machine. It listens on a loopback port of its own and connects every
// client it accepts to the server's port; each chunk it reads, in either
// direction, is held for a fixed time from the moment it was read and then
// passed on, so a request and its answer take twice the delay longer. A
// chunk read while earlier ones are held is timed from its own reading: the
// delay adds latency, not a limit on throughput. Both sides of every
// connection send without Nagle's delay (TCP_NODELAY), as the drivers do.
//
// A timer wakes a thread later than asked (tens of microseconds on a
// virtual machine, more on a loaded one), which would make every hold
// longer than the delay: the relay measures that lateness when it starts,
// asks its timer for that much less, and corrects the figure by each wait
// that missed. What the holds came to is counted, to be reported beside the
// figures measured through it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
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

  // How long chunks were held so far, from their reading to their sending.
  struct THolds {
    std::uint64_t Chunks = 0;
    double MedianUs = 0, P99Us = 0;
  };
  THolds Holds() const;
  // Forgets the holds counted so far (best called while nothing passes).
  void ForgetHolds();
  // How much earlier than due the timer is asked to wake, as it stands.
  std::chrono::nanoseconds TimerLateness() const {
    return std::chrono::nanoseconds(FLateness.load(std::memory_order_relaxed));
  }

 private:
  struct TConnection {
    int Client = -1, Server = -1;
    std::thread Up, Down;
  };
  void Accept();
  // Passes what `from` sends to `to`, each chunk held FDelay from its
  // reading; ends when `from` ends (after the held chunks went out) or on
  // an error, which shuts both sides so that the other direction ends too.
  void Pump(int from, int to);

  int FTargetPort;
  std::chrono::microseconds FDelay;
  // In nanoseconds; every pump corrects it (a correction lost to another
  // pump's is no harm).
  std::atomic<std::int64_t> FLateness{0};
  // Holds by the microsecond, up to 10 ms; the last counts the longer ones.
  std::array<std::atomic<std::uint64_t>, 10001> FHolds{};
  int FListen = -1, FPort = 0;
  int FStopRead = -1, FStopWrite = -1;  // readable once the relay stops
  std::thread FAcceptor;
  // Only the acceptor touches it until it has ended.
  std::vector<std::unique_ptr<TConnection>> FConnections;
};

}  // namespace tidewell::bench
