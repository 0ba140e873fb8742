// The fault actions of a script: flood, stall, oversize, garbage and drop. Each makes the stream
// misbehave in one way a trace monitor has to live through.
#include "emulator/fault_actions.h"

#include <cstdio>
#include <random>

#include "emulator/wire.h"

namespace emu {

namespace {

// Flood text number i: head, "L2D FLOOD nnnnnn ", letters up to 60..80 characters in all.
std::string FloodText(long i) {
  char body[32];
  snprintf(body, sizeof body, "L2D FLOOD %06ld ", i);
  std::string text = TraceHead() + body;
  size_t length = 60 + static_cast<size_t>(i * 7 % 21);
  for (size_t k = 0; text.size() < length; ++k) text.push_back(static_cast<char>('a' + k % 26));
  return text;
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

// Sends the first part of the stalled frame and holds the rest until the stall's time is up.
void SplitStalledFrame(Connection& c, TimePoint now) {
  std::string frame = Frame(
      DebugInd(c.lastController, TraceText("L2D STALLED FRAME " + std::to_string(++c.stallCount))));
  size_t split = c.stallSplit > 0 ? static_cast<size_t>(c.stallSplit) : frame.size() / 2;
  if (split >= frame.size()) split = frame.size() - 1;
  c.out += frame.substr(0, split);
  c.stallRest = frame.substr(split);
  c.stall = Stall::kHolding;
  c.stallUntil = now + std::chrono::milliseconds(c.stallMs);
}

}  // namespace

// Numbers the texts from 1 and queues the first.
void StartFlood(Connection& c, long count) {
  c.floodLeft = count;
  c.floodNext = 1;
  RefillFlood(c);
}

// One frame at a time, and none while a stall has the stream.
void RefillFlood(Connection& c) {
  if (c.floodLeft == 0 || Pending(c) > 0 || c.stall != Stall::kNone) return;
  SendMessage(c, DebugInd(c.lastController, FloodText(c.floodNext++)));
  --c.floodLeft;
}

// Only records the stall; StallHolds splits the frame when the output has drained.
void ArmStall(Connection& c, long ms, long split) {
  c.stall = Stall::kDrain;
  c.stallMs = ms;
  c.stallSplit = split;
}

// Splits the frame once the output has drained, then sends its rest and what queued behind it.
bool StallHolds(Connection& c, TimePoint now) {
  if (c.stall == Stall::kDrain) {
    if (Pending(c) > 0) return true;
    SplitStalledFrame(c, now);
  }
  if (c.stall == Stall::kHolding) {
    if (now < c.stallUntil) return true;
    c.out += c.stallRest + c.held;
    c.stallRest.clear();
    c.held.clear();
    c.stall = Stall::kNone;
  }
  return false;
}

// The DEBUG_IND's total length and the frame length both announce frameLength - 2 bytes.
void SendOversize(Connection& c, long frameLength) {
  std::string m = DebugInd(c.lastController, TraceText("L2D OVERSIZE FRAME"));
  m.resize(static_cast<size_t>(frameLength - 2), 'x');
  PutU16(m, 0, static_cast<uint16_t>(m.size()));
  SendMessage(c, m);
}

// The same seed gives the same messages, so a failing run can be repeated.
void SendGarbage(Connection& c, long count, unsigned seed) {
  std::mt19937 rng(seed);
  for (long i = 0; i < count; ++i) SendMessage(c, GarbageMessage(rng));
}

// Logs the drop; the server closes the connection when DropDone says so.
void Drop(Connection& c) {
  LogCommand("drop");
  c.closing = true;
}

// Nothing pending and no stall holding bytes back.
bool DropDone(const Connection& c) {
  return c.closing && Pending(c) == 0 && c.stall == Stall::kNone;
}

}  // namespace emu
