// The transport and the answers: the poll loop accepting connections, reading frames and sending
// what is queued; the answers to the wire's requests and the vendor messages; and each
// application's simulated trace traffic. Its script runs in script_runner.cpp.
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
#include "emulator/firmware.h"
#include "emulator/script_runner.h"
#include "emulator/standard_requests.h"
#include "emulator/wire.h"

namespace emu {

namespace {

constexpr size_t kTrafficBelow = 64 * 1024;  // simulated traffic waits while more is pending

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

// Fixed-size, zero-padded text field.
std::string Field(const char* text, size_t size) {
  std::string f(text);
  f.resize(size, '\0');
  return f;
}

// Answers the wire's own manufacturer, version, serial number and profile requests.
void AnswerWireRequest(Connection& c, uint8_t command, const std::string& message) {
  std::string data;
  const char* what = "profile";
  if (command == kCmdManufacturer) {
    what = "manufacturer";
    data = Field("qz7 systems GmbH", 64);
  } else if (command == kCmdVersion) {
    what = "version";
    data.assign(16, '\0');
    PutU32(data, 0, 2);  // CAPI 2.0, firmware 2.41
    PutU32(data, 4, 0);
    PutU32(data, 8, 2);
    PutU32(data, 12, 41);
  } else if (command == kCmdSerial) {
    what = "serial";
    data = Field("0004711", 8);
  } else {
    data.assign(64, '\0');
    PutU16(data, 0, static_cast<uint16_t>(serverOptions->adapters.count));
    PutU16(data, 2, 2);  // B channels
    PutU32(data, 4, kProfileGlobalOptions);
    PutU32(data, 8, 0x0003);   // B1: 64 kbit/s HDLC, transparent
    PutU32(data, 12, 0x0003);  // B2: X.75, transparent
    PutU32(data, 16, 0x0001);  // B3: transparent
  }
  LogMessage(std::string("query ") + what + " ctrl=" + std::to_string(GetU16(message, 8)), message);
  SendMessage(c, WireReply(command, data));
}

// Registration: accept (or refuse, or leave unanswered) and start the script.
void Register(Connection& c, const std::string& message) {
  LogMessage("register buffer=" + std::to_string(GetU16(message, 12)) +
                 " maxLogicalConnection=" + std::to_string(GetU16(message, 14)) +
                 " maxBDataBlocks=" + std::to_string(GetU16(message, 16)) +
                 " maxBDataLen=" + std::to_string(GetU16(message, 18)),
             message);
  if (serverOptions->ignoreRegister) return;
  if (serverOptions->refuseRegister) {
    SendMessage(c, RegisterConf(GetU16(message, 2), kInfoTooManyApplications));
    return;
  }
  SendMessage(c, RegisterConf(GetU16(message, 2), 0));
  c.registered = true;
  c.rate = serverOptions->rate;
  c.pc = 0;
}

// ADAPTER_REQ: the controller's reply data, or the script's withheld, late or wrong answer.
void AdapterRequest(Connection& c, const std::string& message, TimePoint now) {
  uint8_t controller = GetU8(message, 8);
  uint8_t type = GetU8(message, 9);
  LogMessage("adapter_req ctrl=" + std::to_string(controller) + " type=" + std::to_string(type),
             message);
  uint16_t applId = GetU16(message, 2);
  uint16_t number = GetU16(message, 6);
  std::string data;
  std::string reply;
  if (!Present(c, controller))
    reply = AdapterConf(applId, number, controller, type, kInfoIllegalController, "");
  else if (ReplyData(serverOptions->adapters.profiles[controller], type, data))
    reply = AdapterConf(applId, number, controller, type,
                        serverOptions->adapters.profiles[controller].infoWord, data);
  else
    reply = AdapterConf(applId, number, controller, type, kInfoIllegalParameter, "");
  const Policy& p = c.policy[type];
  switch (p.kind) {
    case Policy::kNormal:
      SendMessage(c, reply);
      break;
    case Policy::kWithhold:
      break;
    case Policy::kLate:
      c.delayed.push_back({now + std::chrono::milliseconds(p.ms), Frame(reply)});
      break;
    case Policy::kWrong:
      if (p.command < 0) {
        SendTrace(c, controller,
                  "CMT adapter request type " + std::to_string(type) + " answered as a trace");
      } else {
        reply[4] = static_cast<char>(p.command);
        reply[5] = static_cast<char>(p.subcommand);
        SendMessage(c, reply);
      }
      break;
  }
}

// DEBUG_REQ: a firmware command or the download-screen request for one controller.
void DebugRequest(Connection& c, const std::string& message, TimePoint now) {
  uint8_t controller = GetU8(message, 8);
  size_t n = GetU8(message, 10);
  std::string payload = message.size() > 11 ? message.substr(11, n) : "";
  bool download = n == 1 && payload == "\x01";
  bool command = !payload.empty() && payload[0] == 0x02;
  std::string text = command ? payload.substr(1, payload.find('\0', 1) - 1) : "";
  if (download)
    LogMessage("download", message);
  else if (command)
    LogMessage("cmd " + text, message);
  else
    LogMessage("debug_req ctrl=" + std::to_string(controller) +
                   " kind=" + std::to_string(GetU8(message, 9)) + " payload=" + ToHex(payload),
               message);
  if (!Present(c, controller) || !(download || command)) return;
  c.lastController = controller;
  bool wasQuiet = !AnyDecoder(c);
  if (download) {
    SendDownloadScreen(c, controller);
  } else {
    Controller& k = c.controllers[controller];
    for (const std::string& body :
         RunCommand(text, k.decoders, serverOptions->adapters.profiles[controller], *k.line))
      SendTrace(c, controller, body);
  }
  if (wasQuiet && AnyDecoder(c)) c.nextTrace = now + std::chrono::milliseconds(200);
}

// A request of a command CAPI 2.0 defines gets its confirmation; false for any other command
// (the vendor messages included), which is left to the caller.
bool StandardRequest(Connection& c, const std::string& message) {
  uint8_t controller = GetU8(message, 8) & 0x7F;
  StandardAnswer answer = ConfirmStandardRequest(message, Present(c, controller));
  if (!answer.name) return false;
  char line[96];
  if (answer.info < 0)
    snprintf(line, sizeof line, "request %s addr=0x%08x", answer.name, GetU32(message, 8));
  else
    snprintf(line, sizeof line, "request %s addr=0x%08x info=0x%04x", answer.name,
             GetU32(message, 8), answer.info);
  LogMessage(line, message);
  SendMessage(c, answer.conf);
  return true;
}

// Dispatches one received message by command and subcommand.
void HandleMessage(Connection& c, const std::string& message, TimePoint now) {
  uint8_t command = GetU8(message, 4);
  uint8_t sub = GetU8(message, 5);
  if (command == kCmdRegister && sub == kSubWire)
    Register(c, message);
  else if ((command == kCmdManufacturer || command == kCmdVersion || command == kCmdSerial ||
            command == kCmdProfile) &&
           sub == kSubWire)
    AnswerWireRequest(c, command, message);
  else if (command == kCmdAdapter && sub == kSubRequest && c.registered)
    AdapterRequest(c, message, now);
  else if (command == kCmdDebug && sub == kSubRequest && c.registered)
    DebugRequest(c, message, now);
  else if (sub != kSubStandardRequest || !c.registered || !StandardRequest(c, message)) {
    char line[64];
    snprintf(line, sizeof line, "other cmd=0x%02x sub=0x%02x", command, sub);
    LogMessage(line, message);
  }
}

// A random factor in 0.3..1.7 for the spacing of trace lines.
double Jitter(Connection& c) {
  c.rng = c.rng * 1103515245u + 12345u;
  return 0.3 + 1.4 * ((c.rng >> 8) & 0xFFFF) / 65535.0;
}

// Emits the simulated line's traffic that is due, one line per turn of the rate.
void RunTraffic(Connection& c, TimePoint now) {
  if (!c.registered || c.closing || c.rate <= 0 || !AnyDecoder(c)) return;
  while (now >= c.nextTrace && Pending(c) < kTrafficBelow) {
    for (size_t tries = 0; tries < c.controllers.size(); ++tries) {
      size_t k = c.nextController;
      c.nextController = k + 1 < c.controllers.size() ? k + 1 : 1;
      std::string body;
      if (c.controllers[k].line->NextBody(c.controllers[k].decoders, body)) {
        SendTrace(c, static_cast<uint8_t>(k), body);
        break;
      }
    }
    auto step = std::chrono::microseconds(static_cast<long>(1e6 / c.rate * Jitter(c)));
    c.nextTrace = now - c.nextTrace > std::chrono::seconds(1) ? now + step : c.nextTrace + step;
  }
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
    if (c->rate > 0 && AnyDecoder(*c) && Pending(*c) < kTrafficBelow) consider(c->nextTrace);
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
