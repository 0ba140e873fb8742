// The WAIT_FOR_MESSAGE thread: its start, its stop and its receive loop, which takes messages in
// passes.
#include "capi/receive_thread.h"

#include <chrono>

#include "capi/adapter_exchange.h"
#include "capi/provider_binding.h"
#include "capi/receive_thread_internal.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "output/trace_screen.h"
#include "platform/console.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace capi {

std::atomic<int32_t> threadRunFlag{0};
std::atomic<int32_t> providerLinkLost{0};

namespace {
uint32_t receiveThreadId = 0;
// Atomic: a thread let go by a stop may still be in its last pass when the next start sets them.
std::atomic<MessageHandler> messageHandler{nullptr};
std::atomic<PassEndHandler> passEndHandler{nullptr};

// The most messages one pass takes: a flood is taken in passes of this size, one after the
// other without a pause, with the run flag read between them.
constexpr int kMaxPassMessages = 256;
// Passes less than kStreamGapMs apart make a stream. On a stream the wait for the next pass
// starts kStreamPassIntervalMs after the last pass began, so that one pass takes what arrived
// meanwhile (one wake-up and one log append for many messages); on a quiet line a message is
// taken as soon as it arrives.
constexpr int kStreamGapMs = 50;
constexpr int kStreamPassIntervalMs = 20;

// Milliseconds of the steady clock.
int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The pause after a failed pass starts here and doubles up to the cap while errors go on,
// so that a persistent provider error neither spins a core nor floods the screen.
constexpr int kFirstErrorPauseMs = 10;
constexpr int kLastErrorPauseMs = 1000;

// The pause before the pass after one that failed.
int NextErrorPause(int pauseMs) {
  if (pauseMs == 0) return kFirstErrorPauseMs;
  return pauseMs * 2 < kLastErrorPauseMs ? pauseMs * 2 : kLastErrorPauseMs;
}

// What the thread says when the provider's link is gone for good, and when it ends.
constexpr const char* kLinkLostLine = "LINKSPY: Connection to the CAPI provider lost\n";
constexpr const char* kStoppedLine = "WAIT_FOR_MESSAGE-Thread stopped.\n";

// kTaken: all that had arrived is taken; kFull: the pass took its most, more is waiting.
enum class Pass { kTaken, kFull, kFailed, kLinkLost };

// A failed wait or take: the error line, or nothing when the link is gone for good.
Pass Failed(const char* call, uint32_t result) {
  if (result == kProviderLinkLost) return Pass::kLinkLost;
  output::PrintError("*Thread: %s: ReturnCode=0x%X\n", call, result & 0xFFFF);
  return Pass::kFailed;
}

// Hands the message just taken to the handler. The late answer of a start-up query that gave
// up is no news.
void HandOn() {
  if (IsEarlierAdapterReply(capiProvider.receivedMessage, capiProvider.receivedLength)) return;
  MessageHandler handleMessage = messageHandler.load();
  if (handleMessage != nullptr)
    handleMessage(capiProvider.receivedMessage, capiProvider.receivedLength);
}

// One wait, then every message that has arrived as far as the provider can tell, each handed
// on in order; a thread told to stop (run cleared) takes no more after the one its wait found.
Pass ReceivePass(const std::atomic<int32_t>& run) {
  uint32_t result = capiProvider.CAPI_WAIT_FOR_SIGNAL(capiProvider.applId);
  if ((result & 0xFFFF) != 0) return Failed("WAIT_FOR_SIGNAL", result);
  for (int taken = 0;;) {
    result = TakeMessage();
    // After the first, a take that finds nothing (a frame still coming) ends the pass.
    if (taken > 0 && (result & 0xFFFF) == kQueueEmpty) return Pass::kTaken;
    if ((result & 0xFFFF) != 0) return Failed("GET_MESSAGE", result);
    HandOn();
    if (run.load() == 0 || !MessageWaiting()) return Pass::kTaken;
    if (++taken == kMaxPassMessages) return Pass::kFull;
  }
}

// Ends a pass with its handler: the pass's texts are logged.
void EndPass() {
  PassEndHandler endPass = passEndHandler.load();
  if (endPass != nullptr) endPass();
}

// A monitor whose provider is gone monitors nothing: say so, end the thread and have the
// program end. On the screen both lines stand where the operator watches, on the newest rows
// of the trace (the stream's place may lie over an old trace row), and the lost link's once
// more below the screen left after the end; redirected output gets them in order, once.
void EndForLostLink() {
  output::ReleaseOutput();
  if (platform::RepeatAfterConsoleClose(kLinkLostLine)) {
    output::LogOnly(kLinkLostLine);
    output::ShowOwnLine(kLinkLostLine);
    output::ShowOwnLine(kStoppedLine);
  } else {
    output::LogWithEchoAs(kLinkLostLine, platform::Severity::kError);
    output::Print("%s", kStoppedLine);
  }
  providerLinkLost.store(1);
  platform::RequestTermination();
}
}  // namespace

void StartReceiveThread(MessageHandler handleMessage, PassEndHandler endPass) {
  control::ControlBlock& cb = control::controlBlock;
  if (cb.receiveThread != platform::kNoThread) {
    platform::ShowMessageBox("Thread already running", platform::Severity::kWarning);
    return;
  }
  messageHandler.store(handleMessage);
  passEndHandler.store(endPass);
  threadRunFlag.store(1);
  cb.receiveThread = platform::StartThread(ReceiveLoop, &threadRunFlag, &receiveThreadId);
  if (cb.receiveThread == platform::kNoThread) {
    output::PrintError("Error creating WAIT_FOR_MESSAGE thread!\n");
  }
}

void StopReceiveThread() {
  control::ControlBlock& cb = control::controlBlock;
  if (cb.receiveThread == platform::kNoThread) {
    output::PrintWarning("No thread to stop!\n");
    return;
  }
  output::Print("Thread stopping ...");
  threadRunFlag.store(0);
  platform::ReleaseThreadHandle(cb.receiveThread);
  cb.receiveThread = platform::kNoThread;
}

uint32_t ReceiveLoop(void* runFlag) {
  std::atomic<int32_t>& run = *static_cast<std::atomic<int32_t>*>(runFlag);
  if (control::controlBlock.exitRequested.load() != 0) return 0;
  int pauseMs = 0;
  int64_t lastPassMs = SteadyMs() - kStreamGapMs;
  do {
    if (pauseMs > 0) platform::SleepMs(pauseMs);
    // The whole pass counts as inside the provider: the message read lies in its memory.
    int32_t outside = kThreadOutsideProvider;
    if (!receiveThreadInProvider.compare_exchange_strong(outside, kThreadInsideProvider)) break;
    int64_t passMs = SteadyMs();
    Pass pass = ReceivePass(run);
    receiveThreadInProvider.store(kThreadOutsideProvider);
    EndPass();
    if (pass == Pass::kLinkLost) {
      EndForLostLink();
      return 0;
    }
    pauseMs = pass == Pass::kFailed ? NextErrorPause(pauseMs) : 0;
    // A pass that took all that had arrived, on a stream, waits for more to gather; a full one
    // goes on at once (a flood drains at full speed), and so does a provider that cannot tell
    // what is waiting (a pass of one message each).
    bool gathers = capiProvider.messageWaiting != nullptr;
    if (gathers && pass == Pass::kTaken && passMs - lastPassMs < kStreamGapMs) {
      pauseMs = static_cast<int>(passMs + kStreamPassIntervalMs - SteadyMs());
    }
    lastPassMs = passMs;
  } while (run.load() != 0);
  output::Print("%s", kStoppedLine);
  return 0;
}

}  // namespace capi
