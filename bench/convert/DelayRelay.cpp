#include "bench/convert/DelayRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "bench/BenchSupport.h"

namespace tidewell::bench {

namespace {

using Clock = std::chrono::steady_clock;

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

timespec Timespec(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(Clock::duration::zero(), d)).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// The default timer slack (50 us) would lengthen every hold by up to that
// much; a relay of 250 us must keep to the microsecond.
void PreciseTimers() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

// How much later than asked the timer of a thread like a pump's wakes from
// a wait of `delay`: the median of a few dozen waits.
std::chrono::nanoseconds MeasureLateness(std::chrono::microseconds delay) {
  if (delay.count() == 0) return {};
  std::vector<Clock::duration> late;
  std::thread probe([&] {
    PreciseTimers();
    for (int i = 0; i < 64; ++i) {
      const timespec wait = Timespec(delay);
      const auto start = Clock::now();
      ppoll(nullptr, 0, &wait, nullptr);
      late.push_back(Clock::now() - start - delay);
    }
  });
  probe.join();
  std::nth_element(late.begin(), late.begin() + late.size() / 2, late.end());
  // Never more than the delay: a hold is never asked to be negative.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::clamp<Clock::duration>(late[late.size() / 2], Clock::duration::zero(), delay));
}

}  // namespace

TDelayRelay::TDelayRelay(int targetPort, std::chrono::microseconds delay)
    : FTargetPort(targetPort), FDelay(delay), FLateness(MeasureLateness(delay).count()) {
  int stop[2];
  Must(pipe2(stop, O_CLOEXEC) == 0, "relay: stop pipe");
  FStopRead = stop[0];
  FStopWrite = stop[1];
  // Close-on-exec everywhere: the benchmark starts the converter while the
  // relay runs, and it must not hold the relay's sockets.
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Must(FListen >= 0, "relay: socket");
  sockaddr_in any = Loopback(0);
  Must(bind(FListen, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0, "relay: bind a loopback port");
  Must(listen(FListen, 16) == 0, "relay: listen");
  socklen_t size = sizeof any;
  Must(getsockname(FListen, reinterpret_cast<sockaddr*>(&any), &size) == 0, "relay: its port");
  FPort = ntohs(any.sin_port);
  FAcceptor = std::thread([this] { Accept(); });
}

TDelayRelay::~TDelayRelay() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t written = write(FStopWrite, &stop, 1);
  FAcceptor.join();
  // A pump may be in the middle of a send that nobody reads any more.
  for (auto& c : FConnections) {
    shutdown(c->Client, SHUT_RDWR);
    shutdown(c->Server, SHUT_RDWR);
  }
  for (auto& c : FConnections) {
    c->Up.join();
    c->Down.join();
    close(c->Client);
    close(c->Server);
  }
  close(FListen);
  close(FStopRead);
  close(FStopWrite);
}

void TDelayRelay::Accept() {
  for (;;) {
    pollfd fds[2] = {{FListen, POLLIN, 0}, {FStopRead, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Must(false, "relay: poll");
    }
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    const int client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;  // the client gave up before it was taken
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = Loopback(FTargetPort);
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      std::fprintf(stderr, "relay: can't reach the server on port %d (%s)\n", FTargetPort, std::strerror(errno));
      if (server >= 0) close(server);
      close(client);  // the client sees the server refuse
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    auto c = std::make_unique<TConnection>();
    c->Client = client;
    c->Server = server;
    c->Up = std::thread([this, client, server] { Pump(client, server); });
    c->Down = std::thread([this, client, server] { Pump(server, client); });
    FConnections.push_back(std::move(c));
  }
}

TDelayRelay::THolds TDelayRelay::Holds() const {
  THolds h;
  for (const auto& n : FHolds) h.Chunks += n.load(std::memory_order_relaxed);
  const auto at = [&](std::uint64_t rank) {
    std::uint64_t seen = 0;
    for (size_t us = 0; us < FHolds.size(); ++us)
      if ((seen += FHolds[us].load(std::memory_order_relaxed)) > rank) return static_cast<double>(us);
    return static_cast<double>(FHolds.size() - 1);
  };
  if (h.Chunks > 0) {
    h.MedianUs = at(h.Chunks / 2);
    h.P99Us = at(h.Chunks * 99 / 100);
  }
  return h;
}

void TDelayRelay::ForgetHolds() {
  for (auto& n : FHolds) n.store(0, std::memory_order_relaxed);
}

void TDelayRelay::Pump(int from, int to) {
  PreciseTimers();
  struct TChunk {
    Clock::time_point Read;
    std::vector<char> Data;
  };
  std::deque<TChunk> held;
  char buffer[64 * 1024];
  bool reading = true;
  const auto fail = [&] {
    shutdown(from, SHUT_RDWR);
    shutdown(to, SHUT_RDWR);
  };
  // When the timer is asked to wake for a chunk read at `read`.
  const auto wake = [&](Clock::time_point read) {
    return read + FDelay - std::chrono::nanoseconds(FLateness.load(std::memory_order_relaxed));
  };
  bool timerWoke = false;  // the last wait ended for the chunk in front
  for (;;) {
    while (!held.empty() && wake(held.front().Read) <= Clock::now()) {
      const auto sending = Clock::now();
      if (!SendAll(to, held.front().Data.data(), held.front().Data.size())) return fail();
      // Held until it is in the receiver's socket: the send is part of it.
      const auto sent = Clock::now();
      const auto hold = sent - held.front().Read;
      // The timer's lateness changes with the load of the machine: an eighth
      // of each miss moves the next waits, unless the send itself waited
      // (a receiver that reads slowly is no fault of the timer's), and no
      // single miss moves them by more than a quarter of the delay.
      if (timerWoke && sent - sending < FDelay / 4) {
        const std::int64_t quarter = std::chrono::nanoseconds(FDelay).count() / 4;
        const std::int64_t miss = std::chrono::duration_cast<std::chrono::nanoseconds>(hold - FDelay).count();
        const std::int64_t next = FLateness.load(std::memory_order_relaxed) + std::clamp(miss, -quarter, quarter) / 8;
        FLateness.store(std::clamp<std::int64_t>(next, 0, 4 * quarter), std::memory_order_relaxed);
      }
      timerWoke = false;
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(hold).count();
      FHolds[std::min<size_t>(static_cast<size_t>(us), FHolds.size() - 1)].fetch_add(1, std::memory_order_relaxed);
      held.pop_front();
    }
    if (!reading && held.empty()) {
      shutdown(to, SHUT_WR);  // the end goes on, like any chunk, once what came before it did
      return;
    }
    pollfd fds[2] = {{reading ? from : -1, POLLIN, 0}, {FStopRead, POLLIN, 0}};
    timespec wait{};
    if (!held.empty()) wait = Timespec(wake(held.front().Read) - Clock::now());
    const int ready = ppoll(fds, 2, held.empty() ? nullptr : &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    timerWoke = ready == 0;
    if (fds[1].revents) return;
    if (!reading || !fds[0].revents) continue;
    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
    const Clock::time_point read = Clock::now();  // held from here
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return fail();
    if (got == 0) {
      reading = false;
      continue;
    }
    held.push_back(TChunk{read, std::vector<char>(buffer, buffer + got)});
  }
}

}  // namespace tidewell::bench
