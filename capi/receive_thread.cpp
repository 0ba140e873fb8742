// The WAIT_FOR_MESSAGE thread: its start, its stop and its receive loop.
#include "capi/receive_thread.h"

#include "capi/adapter_exchange.h"
#include "capi/provider_binding.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "output/trace_screen.h"
#include "platform/console.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace capi {

std::atomic<int32_t> threadRunFlag{0};
uint32_t receiveThreadId = 0;
std::atomic<int32_t> providerLinkLost{0};

namespace {
// Atomic: a thread let go by a stop may still be in its last pass when the next start sets it.
std::atomic<MessageHandler> messageHandler{nullptr};

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

enum class Pass { kTaken, kFailed, kLinkLost };

// A failed wait or take: the error line, or nothing when the link is gone for good.
Pass Failed(const char* call, uint32_t result) {
  if (result == kProviderLinkLost) return Pass::kLinkLost;
  output::PrintError("*Thread: %s: ReturnCode=0x%X\n", call, result & 0xFFFF);
  return Pass::kFailed;
}

// One wait, take and hand-on. The late answer of a start-up query that gave up is no news.
Pass ReceivePass() {
  uint32_t result = capiProvider.CAPI_WAIT_FOR_SIGNAL(capiProvider.applId);
  if ((result & 0xFFFF) != 0) return Failed("WAIT_FOR_SIGNAL", result);
  result = TakeMessage();
  if ((result & 0xFFFF) != 0) return Failed("GET_MESSAGE", result);
  if (IsEarlierAdapterReply(capiProvider.receivedMessage, capiProvider.receivedLength))
    return Pass::kTaken;
  MessageHandler handleMessage = messageHandler.load();
  if (handleMessage != nullptr)
    handleMessage(capiProvider.receivedMessage, capiProvider.receivedLength);
  return Pass::kTaken;
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

void StartReceiveThread(MessageHandler handleMessage) {
  control::ControlBlock& cb = control::controlBlock;
  if (cb.receiveThread != platform::kNoThread) {
    platform::ShowMessageBox("Thread already running", platform::Severity::kWarning);
    return;
  }
  messageHandler.store(handleMessage);
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
  do {
    if (pauseMs > 0) platform::SleepMs(pauseMs);
    // The whole pass counts as inside the provider: the message read lies in its memory.
    int32_t outside = kThreadOutsideProvider;
    if (!receiveThreadInProvider.compare_exchange_strong(outside, kThreadInsideProvider)) break;
    Pass pass = ReceivePass();
    receiveThreadInProvider.store(kThreadOutsideProvider);
    if (pass == Pass::kLinkLost) {
      EndForLostLink();
      return 0;
    }
    pauseMs = pass == Pass::kFailed ? NextErrorPause(pauseMs) : 0;
  } while (run.load() != 0);
  output::Print("%s", kStoppedLine);
  return 0;
}

}  // namespace capi
