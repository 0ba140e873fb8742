// One application's connection as the server, the script runner and the fault actions share
// it: its state, its output queue, and the server-wide records they all read (the options, the
// stop flag, the command log).
#pragma once

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "emulator/line_sim.h"
#include "emulator/server.h"

namespace emu {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Answer policy for one ADAPTER_REQ type.
struct Policy {
  enum Kind { kNormal, kWithhold, kLate, kWrong } kind = kNormal;
  long ms = 0;          // kLate: delay of the answer
  long command = -1;    // kWrong: command of the answer, -1 for a trace text instead
  long subcommand = 0;  // kWrong: subcommand of the answer
};

// A frame that goes out at due (a late answer).
struct Delayed {
  TimePoint due;
  std::string frame;
};

// One emulated controller of a connection: its decoders and its simulated line.
struct Controller {
  unsigned decoders = 0;
  std::unique_ptr<LineSimulator> line;
};

// A stall waits for the output before it to drain, then holds the rest of its frame back.
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
  bool waitSignal = false;
  long signalsUsed = 0;  // SIGUSR1s that released a wait-signal of this connection
  long floodLeft = 0;
  long floodNext = 1;
  Stall stall = Stall::kNone;
  long stallMs = 0;
  long stallSplit = -1;
  TimePoint stallUntil{};
  std::string stallRest;  // the stalled frame's bytes not yet sent
  std::string held;       // output queued behind the stalled frame
  unsigned stallCount = 0;
  // traffic
  double rate = 0;
  TimePoint nextTrace{};
  size_t nextController = 1;
  unsigned rng = 1;
};

extern const Options* serverOptions;
extern volatile sig_atomic_t stopRequested;  // set by SIGTERM, SIGINT and the exit action
extern FILE* commandLog;                     // null without --command-log
// SIGUSR1s received so far: the go-aheads of the wait-signal actions.
extern volatile sig_atomic_t signalsReceived;

// One line to the command log, flushed at once.
void LogCommand(const std::string& line);

// A line and the message's bytes.
void LogMessage(const std::string& line, const std::string& message);

// Pending output bytes of a connection.
size_t Pending(const Connection& c);

// Queues bytes for the socket, or behind the stalled frame while a stall holds the stream.
void SendBytes(Connection& c, const std::string& bytes);

// Queues one message in its frame.
void SendMessage(Connection& c, const std::string& message);

// Head + body, cut to the firmware's 127 characters.
std::string TraceText(const std::string& body);

// Queues one trace text of a controller.
void SendTrace(Connection& c, uint8_t controller, const std::string& body);

// Queues the download screen of a controller.
void SendDownloadScreen(Connection& c, uint8_t controller);

// True when the controller number names an emulated controller.
bool Present(const Connection& c, unsigned controller);

// True when a decoder is on at any controller of the connection.
bool AnyDecoder(const Connection& c);

}  // namespace emu
