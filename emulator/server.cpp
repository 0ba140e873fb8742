// The poll loop: accepting connections, reading frames, answering the wire's requests and the
// vendor messages, and feeding each application its trace traffic and script actions.
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
#include <random>

#include "emulator/firmware.h"
#include "emulator/line_sim.h"
#include "emulator/wire.h"

namespace emu {

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr size_t kTrafficBelow = 64 * 1024;  // simulated traffic waits while more is pending

volatile sig_atomic_t g_stop = 0;
FILE* g_commandLog = nullptr;

// Answer policy for one ADAPTER_REQ type.
struct Policy {
  enum Kind { kNormal, kWithhold, kLate, kWrong } kind = kNormal;
  long ms = 0;
  long command = -1;
  long subcommand = 0;
};

struct Delayed {
  TimePoint due;
  std::string frame;
};

struct Controller {
  unsigned decoders = 0;
  std::unique_ptr<LineSimulator> line;
};

enum class Stall { kNone, kDrain, kHolding };

struct Connection {
  int fd = -1;
  int id = 0;
  bool registered = false;
  bool closing = false;  // drop: close once the output is out
  std::string in;
  std::string out;
  size_t outPos = 0;
  std::vector<Controller> controllers;  // index = controller number
  uint8_t lastController = 1;
  Policy policy[256];
  std::vector<Delayed> delayed;
  // script
  size_t pc = 0;
  TimePoint waitUntil{};
  bool waitDecoder = false;
  long floodLeft = 0;
  long floodNext = 1;
  Stall stall = Stall::kNone;
  long stallMs = 0;
  long stallSplit = -1;
  TimePoint stallUntil{};
  std::string stallRest;
  std::string held;
  unsigned stallCount = 0;
  // traffic
  double rate = 0;
  TimePoint nextTrace{};
  size_t nextController = 1;
  unsigned rng = 1;
};

const Options* g_options = nullptr;
std::vector<std::unique_ptr<Connection>> g_connections;

// Stops the loop at the next turn; the signal itself interrupts ppoll.
void OnSignal(int) {
  g_stop = 1;
}

// One line to the command log, flushed at once.
void LogCommand(const std::string& line) {
  if (!g_commandLog) return;
  fputs(line.c_str(), g_commandLog);
  fputc('\n', g_commandLog);
  fflush(g_commandLog);
}

// A line and the message's bytes.
void LogMessage(const std::string& line, const std::string& message) {
  LogCommand(line);
  LogCommand("hex " + ToHex(message));
}

// Pending output bytes of a connection.
size_t Pending(const Connection& c) {
  return c.out.size() - c.outPos;
}

// Queues bytes for the socket, or behind the stalled frame while a stall holds the stream.
void SendBytes(Connection& c, const std::string& bytes) {
  if (c.stall == Stall::kHolding)
    c.held += bytes;
  else
    c.out += bytes;
}

// Queues one message in its frame.
void SendMessage(Connection& c, const std::string& message) {
  SendBytes(c, Frame(message));
}

// Head + body, cut to the firmware's 127 characters.
std::string TraceText(const std::string& body) {
  std::string text = TraceHead() + body;
  if (text.size() > kMaxTraceText) text.resize(kMaxTraceText);
  return text;
}

// Queues one trace text of a controller.
void SendTrace(Connection& c, uint8_t controller, const std::string& body) {
  SendMessage(c, DebugInd(controller, TraceText(body)));
}

// True when the controller number names an emulated controller.
bool Present(const Connection& c, unsigned controller) {
  return controller >= 1 && controller < c.controllers.size();
}

// True when a decoder is on at any controller of the connection.
bool AnyDecoder(const Connection& c) {
  for (const Controller& k : c.controllers)
    if (k.decoders) return true;
  return false;
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
    PutU16(data, 0, static_cast<uint16_t>(g_options->adapters.count));
    PutU16(data, 2, 2);        // B channels
    PutU32(data, 4, 0x0001);   // internal controller
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
  if (g_options->ignoreRegister) return;
  if (g_options->refuseRegister) {
    SendMessage(c, RegisterConf(GetU16(message, 2), 0x1001));
    return;
  }
  SendMessage(c, RegisterConf(GetU16(message, 2), 0));
  c.registered = true;
  c.rate = g_options->rate;
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
    reply = AdapterConf(applId, number, controller, type, 0x2002, "");
  else if (ReplyData(g_options->adapters.profiles[controller], type, data))
    reply = AdapterConf(applId, number, controller, type,
                        g_options->adapters.profiles[controller].infoWord, data);
  else
    reply = AdapterConf(applId, number, controller, type, 0x2007, "");
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
  Controller& k = c.controllers[controller];
  const AdapterProfile& profile = g_options->adapters.profiles[controller];
  bool wasQuiet = !AnyDecoder(c);
  std::vector<std::string> answer = download
                                        ? DownloadScreen(controller, k.decoders, profile, *k.line)
                                        : RunCommand(text, k.decoders, profile, *k.line);
  for (const std::string& body : answer) SendTrace(c, controller, body);
  if (wasQuiet && AnyDecoder(c)) c.nextTrace = now + std::chrono::milliseconds(200);
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
  else {
    char line[64];
    snprintf(line, sizeof line, "other cmd=0x%02x sub=0x%02x", command, sub);
    LogMessage(line, message);
  }
}

// Flood text number i: head, "L2D FLOOD nnnnnn ", letters up to 60..80 characters in all.
std::string FloodText(long i) {
  char body[32];
  snprintf(body, sizeof body, "L2D FLOOD %06ld ", i);
  std::string text = TraceHead() + body;
  size_t length = 60 + static_cast<size_t>(i * 7 % 21);
  for (size_t k = 0; text.size() < length; ++k) text.push_back(static_cast<char>('a' + k % 26));
  return text;
}

// Queues the next flood frame once the output before it is out, so that every frame of a flood
// goes to the socket in a send of its own, as fast as the socket takes them.
void RefillFlood(Connection& c) {
  if (c.floodLeft == 0 || Pending(c) > 0 || c.stall != Stall::kNone) return;
  SendMessage(c, DebugInd(c.lastController, FloodText(c.floodNext++)));
  --c.floodLeft;
}

// A frame announcing frameLength bytes in all, sent whole: a DEBUG_IND padded with text.
std::string OversizeFrame(uint8_t controller, long frameLength) {
  std::string m = DebugInd(controller, TraceText("L2D OVERSIZE FRAME"));
  m.resize(static_cast<size_t>(frameLength - 2), 'x');
  PutU16(m, 0, static_cast<uint16_t>(m.size()));
  return Frame(m);
}

// A malformed message of 8..300 bytes in a correct frame: random bytes, and every second one
// posing as a DEBUG_IND whose flag, text length and total length say anything.
std::string GarbageMessage(std::mt19937& rng) {
  std::string m(8 + rng() % 293, '\0');
  for (char& b : m) b = static_cast<char>(rng());
  if (rng() % 2) {
    m[4] = static_cast<char>(kCmdDebug);
    m[5] = static_cast<char>(kSubInd);
  }
  return m;
}

// Starts a stall: the stalled frame is split once the output before it is out.
void StartStall(Connection& c, TimePoint now) {
  std::string frame = Frame(
      DebugInd(c.lastController, TraceText("L2D STALLED FRAME " + std::to_string(++c.stallCount))));
  size_t split = c.stallSplit > 0 ? static_cast<size_t>(c.stallSplit) : frame.size() / 2;
  if (split >= frame.size()) split = frame.size() - 1;
  c.out += frame.substr(0, split);
  c.stallRest = frame.substr(split);
  c.stall = Stall::kHolding;
  c.stallUntil = now + std::chrono::milliseconds(c.stallMs);
}

// Runs script actions until one has to wait.
void RunScript(Connection& c, TimePoint now) {
  const std::vector<Action>& script = g_options->script;
  while (c.registered && !c.closing && !g_stop) {
    if (now < c.waitUntil || c.floodLeft > 0) return;
    if (c.waitDecoder) {
      if (!AnyDecoder(c)) return;
      c.waitDecoder = false;
    }
    if (c.stall == Stall::kDrain) {
      if (Pending(c) > 0) return;
      StartStall(c, now);
    }
    if (c.stall == Stall::kHolding) {
      if (now < c.stallUntil) return;
      c.out += c.stallRest + c.held;
      c.stallRest.clear();
      c.held.clear();
      c.stall = Stall::kNone;
    }
    if (c.pc >= script.size()) return;
    const Action& a = script[c.pc++];
    auto forTypes = [&](const Policy& p) {
      if (a.type < 0)
        for (Policy& each : c.policy) each = p;
      else
        c.policy[a.type] = p;
    };
    switch (a.op) {
      case Op::kWait:
        c.waitUntil = now + std::chrono::milliseconds(a.ms);
        break;
      case Op::kWaitDecoder:
        c.waitDecoder = true;
        break;
      case Op::kTrace:
        SendTrace(c, c.lastController, a.bytes);
        break;
      case Op::kText:
        SendMessage(c, DebugInd(c.lastController, a.bytes));
        break;
      case Op::kWithhold:
        forTypes({Policy::kWithhold});
        break;
      case Op::kAnswer:
        forTypes({Policy::kNormal});
        break;
      case Op::kLate:
        forTypes({Policy::kLate, a.ms});
        break;
      case Op::kWrong:
        forTypes({Policy::kWrong, 0, a.command, a.subcommand});
        break;
      case Op::kRaw:
        SendMessage(c, a.bytes);
        break;
      case Op::kRawFrame:
        SendBytes(c, a.bytes);
        break;
      case Op::kStall:
        c.stall = Stall::kDrain;
        c.stallMs = a.ms;
        c.stallSplit = a.split;
        break;
      case Op::kOversize:
        SendBytes(c, OversizeFrame(c.lastController, a.frameLength));
        break;
      case Op::kFlood:
        c.floodLeft = a.count;
        c.floodNext = 1;
        RefillFlood(c);
        break;
      case Op::kGarbage: {
        std::mt19937 rng(g_options->seed + static_cast<unsigned>(c.pc));
        for (long i = 0; i < a.count; ++i) SendMessage(c, GarbageMessage(rng));
        break;
      }
      case Op::kRate:
        c.rate = static_cast<double>(a.rate);
        c.nextTrace = now;
        break;
      case Op::kDownload: {
        Controller& k = c.controllers[c.lastController];
        for (const std::string& body :
             DownloadScreen(c.lastController, k.decoders,
                            g_options->adapters.profiles[c.lastController], *k.line))
          SendTrace(c, c.lastController, body);
        break;
      }
      case Op::kDrop:
        LogCommand("drop");
        c.closing = true;
        break;
      case Op::kExit:
        LogCommand("exit");
        g_stop = 1;
        break;
    }
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
  c->rng = g_options->seed * 7919u + static_cast<unsigned>(c->id);
  c->controllers.resize(static_cast<size_t>(g_options->adapters.count) + 1);
  for (size_t k = 0; k < c->controllers.size(); ++k) {
    const AdapterProfile& p = g_options->adapters.profiles[k ? k : 1];
    int fixedTei = p.teiByte & 0x80 ? p.teiByte & 0x7F : (p.lineFlags & 0x0001 ? 0 : -1);
    c->controllers[k].line = std::make_unique<LineSimulator>(
        g_options->seed + 1000u * static_cast<unsigned>(c->id) + static_cast<unsigned>(k),
        fixedTei);
  }
  g_connections.push_back(std::move(c));
}

// Milliseconds until the earliest deadline of any connection, -1 for none.
int NextTimeout(TimePoint now) {
  TimePoint next = TimePoint::max();
  auto consider = [&](TimePoint t) {
    if (t < next) next = t;
  };
  for (const auto& c : g_connections) {
    if (!c->registered) continue;
    if (c->waitUntil > now) consider(c->waitUntil);
    if (c->stall == Stall::kHolding) consider(c->stallUntil);
    for (const Delayed& d : c->delayed) consider(d.due);
    // A dropped connection whose output is out is closed after the next poll, however idle.
    if (c->closing && Pending(*c) == 0 && c->stall == Stall::kNone) consider(now);
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
  g_options = &options;
  if (!options.commandLog.empty()) {
    g_commandLog = fopen(options.commandLog.c_str(), "a");
    if (!g_commandLog) {
      fprintf(stderr, "qz7emu: cannot open %s: %s\n", options.commandLog.c_str(), strerror(errno));
      return 1;
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, unblocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &unblocked);
  sigdelset(&unblocked, SIGTERM);
  sigdelset(&unblocked, SIGINT);

  int port = 0;
  int listener = Listen(options.port, port);
  if (listener < 0) return 1;
  printf("qz7emu listening on 127.0.0.1:%d\n", port);
  fflush(stdout);

  std::vector<pollfd> fds;
  while (!g_stop) {
    TimePoint now = Clock::now();
    for (auto& c : g_connections) {
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
    if (g_stop) break;
    fds.assign(1, pollfd{listener, POLLIN, 0});
    for (auto& c : g_connections) {
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
      Connection& c = *g_connections[i - 1];
      bool alive = true;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) alive = Receive(c, now);
      if (alive && (fds[i].revents & POLLOUT)) alive = Flush(c);
      if (alive && c.closing && Pending(c) == 0 && c.stall == Stall::kNone) alive = false;
      if (!alive) {
        if (c.registered) LogCommand("closed");
        close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(g_connections, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
  }
  for (auto& c : g_connections) close(c->fd);
  g_connections.clear();
  close(listener);
  if (g_commandLog) fclose(g_commandLog);
  return 0;
}

}  // namespace emu
