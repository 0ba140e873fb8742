// The script interpreter: waits, answer policies, texts and raw bytes, rate and download, and the
// hand-off of the fault actions (fault_actions.cpp) that make the stream misbehave.
#include "emulator/script_runner.h"

#include "emulator/fault_actions.h"
#include "emulator/wire.h"

namespace emu {

namespace {

// Sets the answer policy of the action's request type, or of every type.
void SetPolicy(Connection& c, long type, const Policy& policy) {
  if (type < 0)
    for (Policy& each : c.policy) each = policy;
  else
    c.policy[type] = policy;
}

// Carries out one action at now.
void Perform(Connection& c, const Action& a, TimePoint now) {
  switch (a.op) {
    case Op::kWait:
      c.waitUntil = now + std::chrono::milliseconds(a.ms);
      break;
    case Op::kWaitDecoder:
      c.waitDecoder = true;
      break;
    case Op::kWaitSignal:
      c.waitSignal = true;
      break;
    case Op::kTrace:
      SendTrace(c, c.lastController, a.bytes);
      break;
    case Op::kText:
      SendMessage(c, DebugInd(c.lastController, a.bytes));
      break;
    case Op::kWithhold:
      SetPolicy(c, a.type, {Policy::kWithhold});
      break;
    case Op::kAnswer:
      SetPolicy(c, a.type, {Policy::kNormal});
      break;
    case Op::kLate:
      SetPolicy(c, a.type, {Policy::kLate, a.ms});
      break;
    case Op::kWrong:
      SetPolicy(c, a.type, {Policy::kWrong, 0, a.command, a.subcommand});
      break;
    case Op::kRaw:
      SendMessage(c, a.bytes);
      break;
    case Op::kRawFrame:
      SendBytes(c, a.bytes);
      break;
    case Op::kStall:
      ArmStall(c, a.ms, a.split);
      break;
    case Op::kOversize:
      SendOversize(c, a.frameLength);
      break;
    case Op::kFlood:
      StartFlood(c, a.count);
      break;
    case Op::kGarbage:
      // Seeded by the position in the script, so that two garbage actions differ.
      SendGarbage(c, a.count, serverOptions->seed + static_cast<unsigned>(c.pc));
      break;
    case Op::kRate:
      c.rate = static_cast<double>(a.rate);
      c.nextTrace = now;
      break;
    case Op::kDownload:
      SendDownloadScreen(c, c.lastController);
      break;
    case Op::kDrop:
      Drop(c);
      break;
    case Op::kExit:
      LogCommand("exit");
      stopRequested = 1;
      break;
  }
}

}  // namespace

// A wait, a wait for a decoder or a signal, a flood and a stall each hold up the actions after
// them.
void RunScript(Connection& c, TimePoint now) {
  const std::vector<Action>& script = serverOptions->script;
  while (c.registered && !c.closing && !stopRequested) {
    if (now < c.waitUntil || c.floodLeft > 0) return;
    if (c.waitDecoder) {
      if (!AnyDecoder(c)) return;
      c.waitDecoder = false;
    }
    // Each SIGUSR1 releases one wait-signal, also one sent before the action was reached.
    if (c.waitSignal) {
      if (signalsReceived <= c.signalsUsed) return;
      ++c.signalsUsed;
      c.waitSignal = false;
    }
    if (StallHolds(c, now)) return;
    if (c.pc >= script.size()) return;
    Perform(c, script[c.pc++], now);
  }
}

}  // namespace emu
