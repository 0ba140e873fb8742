// The transport: the poll loop accepting connections, reading frames and sending what is
// queued. The answers to the frames are in request_answers.cpp, each application's simulated
// traffic in trace_traffic.cpp, its script in script_runner.cpp.
#include "emulator/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "emulator/connection.h"
#include "emulator/fault_actions.h"
#include "emulator/request_answers.h"
#include "emulator/script_runner.h"
#include "emulator/trace_traffic.h"
#include "emulator/wire.h"

namespace emu {

namespace {

std::vector<std::unique_ptr<Connection>> connections;

// Stops the loop at the next turn; the signal itself interrupts ppoll.
void OnSignal(int) {
  stopRequested = 1;
}

// Counts a go-ahead for the scripts' wait-signal; the signal interrupts ppoll, and the next
// turn runs the scripts.
void OnGoAhead(int) {
  signalsReceived = signalsReceived + 1;
}

// Sends what the socket takes, but at most a bounded number of sends, so that a flood to a fast
// reader still lets the loop see signals and the other connections; false when it failed.
bool Flush(Connection& c) {
  for (int sends = 0; Pending(c) > 0 && sends < 1024; ++sends) {
    ssize_t sent = send(c.fd, c.out.data() + c.outPos, Pending(c), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.outPos += static_cast<size_t>(sent);
    if (Pending(c) == 0) {
      c.out.clear();
      c.outPos = 0;
    }
    RefillFlood(c);
  }
  if (c.outPos > (1u << 20)) {
    c.out.erase(0, c.outPos);
    c.outPos = 0;
  }
  return true;
}

// Reads what arrived and handles every whole frame; false when the peer closed or failed.
bool Receive(Connection& c, TimePoint now) {
  char buffer[8192];
  ssize_t got = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  c.in.append(buffer, static_cast<size_t>(got));
  std::string message;
  bool bad = false;
  while (TakeFrame(c.in, message, bad)) {
    HandleMessage(c, message, now);
    RunScript(c, now);
  }
  return !bad;
}

// A new connection with its controllers' lines.
void Accept(int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  static int nextId = 1;
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->id = nextId++;
  c->rng = serverOptions->seed * 7919u + static_cast<unsigned>(c->id);
  c->controllers.resize(static_cast<size_t>(serverOptions->adapters.count) + 1);
  for (size_t k = 0; k < c->controllers.size(); ++k) {
    const AdapterProfile& p = serverOptions->adapters.profiles[k ? k : 1];
    int fixedTei = p.teiByte & 0x80 ? p.teiByte & 0x7F : (p.lineFlags & 0x0001 ? 0 : -1);
    c->controllers[k].line = std::make_unique<LineSimulator>(
        serverOptions->seed + 1000u * static_cast<unsigned>(c->id) + static_cast<unsigned>(k),
        fixedTei);
  }
  connections.push_back(std::move(c));
}

// Milliseconds until the earliest deadline of any connection, -1 for none.
int NextTimeout(TimePoint now) {
  TimePoint next = TimePoint::max();
  auto consider = [&](TimePoint t) {
    if (t < next) next = t;
  };
  for (const auto& c : connections) {
    if (!c->registered) continue;
    if (c->waitUntil > now) consider(c->waitUntil);
    if (c->stall == Stall::kHolding) consider(c->stallUntil);
    for (const Delayed& d : c->delayed) consider(d.due);
    // A dropped connection whose output is out is closed after the next poll, however idle.
    if (DropDone(*c)) consider(now);
    if (TrafficWaitsForTime(*c)) consider(c->nextTrace);
  }
  if (next == TimePoint::max()) return -1;
  if (next <= now) return 0;
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
}

// Opens the listening socket on 127.0.0.1; -1 on failure (reported).
int Listen(int port, int& boundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 16) != 0) {
    fprintf(stderr, "qz7emu: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  boundPort = ntohs(address.sin_port);
  return fd;
}

}  // namespace

// Sets up signals, the log and the socket, then runs the loop until told to stop.
int RunServer(const Options& options) {
  serverOptions = &options;
  if (!options.commandLog.empty()) {
    commandLog = fopen(options.commandLog.c_str(), "a");
    if (!commandLog) {
      fprintf(stderr, "qz7emu: cannot open %s: %s\n", options.commandLog.c_str(), strerror(errno));
      return 1;
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  struct sigaction goAhead {};
  goAhead.sa_handler = OnGoAhead;
  sigaction(SIGUSR1, &goAhead, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, unblocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &unblocked);
  sigdelset(&unblocked, SIGTERM);
  sigdelset(&unblocked, SIGINT);
  sigdelset(&unblocked, SIGUSR1);

  int port = 0;
  int listener = Listen(options.port, port);
  if (listener < 0) return 1;
  printf("qz7emu listening on 127.0.0.1:%d\n", port);
  fflush(stdout);

  std::vector<pollfd> fds;
  while (!stopRequested) {
    TimePoint now = Clock::now();
    for (auto& c : connections) {
      for (size_t i = 0; i < c->delayed.size();) {
        if (c->delayed[i].due <= now) {
          SendBytes(*c, c->delayed[i].frame);
          c->delayed.erase(c->delayed.begin() + static_cast<long>(i));
        } else {
          ++i;
        }
      }
      RunScript(*c, now);
      RunTraffic(*c, now);
    }
    if (stopRequested) break;
    fds.assign(1, pollfd{listener, POLLIN, 0});
    for (auto& c : connections) {
      short events = c->closing ? 0 : POLLIN;
      if (Pending(*c) > 0 || c->floodLeft > 0) events |= POLLOUT;
      fds.push_back(pollfd{c->fd, events, 0});
    }
    int timeout = NextTimeout(now);
    timespec wait{timeout / 1000, (timeout % 1000) * 1000000L};
    int ready = ppoll(fds.data(), fds.size(), timeout < 0 ? nullptr : &wait, &unblocked);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "qz7emu: poll: %s\n", strerror(errno));
      break;
    }
    if (ready < 0) continue;
    now = Clock::now();
    if (fds[0].revents & POLLIN) Accept(listener);
    for (size_t i = 1; i < fds.size(); ++i) {
      Connection& c = *connections[i - 1];
      bool alive = true;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) alive = Receive(c, now);
      if (alive && (fds[i].revents & POLLOUT)) alive = Flush(c);
      if (alive && DropDone(c)) alive = false;
      if (!alive) {
        if (c.registered) LogCommand("closed");
        close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(connections, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
  }
  for (auto& c : connections) close(c->fd);
  connections.clear();
  close(listener);
  if (commandLog) fclose(commandLog);
  return 0;
}

}  // namespace emu
