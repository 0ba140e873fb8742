// The server-wide records and a connection's output: the command log, the output queue (which a
// stall holds back) and the trace texts queued on it.
#include "emulator/connection.h"

#include "emulator/firmware.h"
#include "emulator/wire.h"

namespace emu {

const Options* serverOptions = nullptr;
volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t signalsReceived = 0;
FILE* commandLog = nullptr;

// Writes the line and flushes, so that a test sees it before the answer arrives.
void LogCommand(const std::string& line) {
  if (!commandLog) return;
  fputs(line.c_str(), commandLog);
  fputc('\n', commandLog);
  fflush(commandLog);
}

// The line, then "hex" and the whole message.
void LogMessage(const std::string& line, const std::string& message) {
  LogCommand(line);
  LogCommand("hex " + ToHex(message));
}

// Bytes queued but not yet sent.
size_t Pending(const Connection& c) {
  return c.out.size() - c.outPos;
}

// Appends to the output, or to what waits behind a holding stall.
void SendBytes(Connection& c, const std::string& bytes) {
  if (c.stall == Stall::kHolding)
    c.held += bytes;
  else
    c.out += bytes;
}

// Frames the message and queues it.
void SendMessage(Connection& c, const std::string& message) {
  SendBytes(c, Frame(message));
}

// The time head before the body, the whole cut to the firmware's longest text.
std::string TraceText(const std::string& body) {
  std::string text = TraceHead() + body;
  if (text.size() > kMaxTraceText) text.resize(kMaxTraceText);
  return text;
}

// A DEBUG_IND of the controller carrying the body behind its head.
void SendTrace(Connection& c, uint8_t controller, const std::string& body) {
  SendMessage(c, DebugInd(controller, TraceText(body)));
}

// Every line of the controller's download screen as a trace text.
void SendDownloadScreen(Connection& c, uint8_t controller) {
  Controller& k = c.controllers[controller];
  for (const std::string& body : DownloadScreen(
           controller, k.decoders, serverOptions->adapters.profiles[controller], *k.line))
    SendTrace(c, controller, body);
}

// Controllers 1..count are emulated; index 0 is unused.
bool Present(const Connection& c, unsigned controller) {
  return controller >= 1 && controller < c.controllers.size();
}

// Looks at every controller's decoders.
bool AnyDecoder(const Connection& c) {
  for (const Controller& k : c.controllers)
    if (k.decoders) return true;
  return false;
}

}  // namespace emu
