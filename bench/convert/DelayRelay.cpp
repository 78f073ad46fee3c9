#include "bench/convert/DelayRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "bench/BenchSupport.h"

namespace tidewell::bench {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

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

// What ppoll waits at most: until `due`, never less than nothing.
timespec Until(Clock::time_point due) {
  const auto left = std::max(Clock::duration::zero(), due - Clock::now());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

TDelayRelay::TDelayRelay(int targetPort, std::chrono::microseconds delay) : FTargetPort(targetPort), FDelay(delay) {
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

void TDelayRelay::Pump(int from, int to) const {
  // The default timer slack (50 us) would lengthen every hold by up to that
  // much; a relay of 250 us must keep to the microsecond.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  struct TChunk {
    Clock::time_point Due;
    std::vector<char> Data;
  };
  std::deque<TChunk> held;
  char buffer[64 * 1024];
  bool reading = true;
  const auto fail = [&] {
    shutdown(from, SHUT_RDWR);
    shutdown(to, SHUT_RDWR);
  };
  for (;;) {
    while (!held.empty() && held.front().Due <= Clock::now()) {
      if (!SendAll(to, held.front().Data.data(), held.front().Data.size())) return fail();
      held.pop_front();
    }
    if (!reading && held.empty()) {
      shutdown(to, SHUT_WR);  // the end goes on, like any chunk, once what came before it did
      return;
    }
    pollfd fds[2] = {{reading ? from : -1, POLLIN, 0}, {FStopRead, POLLIN, 0}};
    timespec wait{};
    if (!held.empty()) wait = Until(held.front().Due);
    if (ppoll(fds, 2, held.empty() ? nullptr : &wait, nullptr) < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (fds[1].revents) return;
    if (!reading || !fds[0].revents) continue;
    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
    const Clock::time_point due = Clock::now() + FDelay;  // held from its reading
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return fail();
    if (got == 0) {
      reading = false;
      continue;
    }
    held.push_back(TChunk{due, std::vector<char>(buffer, buffer + got)});
  }
}

}  // namespace tidewell::bench
