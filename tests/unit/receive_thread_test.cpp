// The receive thread against a scripted provider record: its receive loop's printed errors,
// the lost link, its pacing of persistent errors, its start and its stop.
#include "capi/receive_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capi/adapter_exchange.h"
#include "capi/provider_binding.h"
#include "capi/receive_thread_internal.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/trace_indication.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/scripted_provider.h"
#include "support/stdout_capture.h"

namespace {

using capi::capiProvider;
using control::controlBlock;
using testing_support::Bytes;
using testing_support::fake;
using testing_support::SilentDebugInd;

using ReceiveThread = testing_support::ScriptedProviderTest;

// What the log holds.
std::string LogText() {
  std::ifstream in("LINKSPY.LOG", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the receive loop on this thread with the console captured.
std::string RunLoop() {
  testing_support::StdoutCapture capture;
  EXPECT_EQ(capi::ReceiveLoop(&capi::threadRunFlag), 0u);
  return capture.Take();
}

TEST_F(ReceiveThread, ThreadPrintsErrorsUnsignedAndHandlesMessagesAfterTheStop) {
  fake.steps = {{0xFFFF8001, 0, {}}, {0, 0x1101, {}}, {0, 0, SilentDebugInd()}};
  fake.stopAfterWaits = 3;  // cleared inside the last wait: that pass still completes
  std::string printed = RunLoop();
  EXPECT_EQ(printed,
            "*Thread: WAIT_FOR_SIGNAL: ReturnCode=0x8001\n"
            "*Thread: GET_MESSAGE: ReturnCode=0x1101\n"
            "WAIT_FOR_MESSAGE-Thread stopped.\n");
  EXPECT_EQ(fake.waits, 3);
  EXPECT_EQ(fake.gets, 2);
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kThreadOutsideProvider);
}

TEST_F(ReceiveThread, LostLinkIsLoggedOnceAndEndsTheThreadAndTheProgram) {
  // A passing error first, then the lost link; the steps after it are never asked for.
  fake.steps = {{0, 0x1108, {}}, {0, capi::kProviderLinkLost, {}}, {0, 0, SilentDebugInd()}};
  std::string printed = RunLoop();
  EXPECT_EQ(printed,
            "*Thread: GET_MESSAGE: ReturnCode=0x1108\n"
            "LINKSPY: Connection to the CAPI provider lost\n"
            "WAIT_FOR_MESSAGE-Thread stopped.\n");
  EXPECT_EQ(fake.waits, 2);
  EXPECT_EQ(capi::providerLinkLost.load(), 1);
  EXPECT_TRUE(platform::TerminationRequested());
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kThreadOutsideProvider);
  EXPECT_EQ(LogText(), "LINKSPY: Connection to the CAPI provider lost\n");
}

TEST_F(ReceiveThread, ThreadEndsSilentlyWhenExitWasRequestedOrTheLibraryIsGone) {
  controlBlock.exitRequested = 1;
  EXPECT_EQ(RunLoop(), "");
  EXPECT_EQ(fake.waits, 0);
  controlBlock.exitRequested = 0;
  capi::receiveThreadInProvider = capi::kProviderUnloaded;
  RunLoop();
  EXPECT_EQ(fake.waits, 0);
}

TEST_F(ReceiveThread, PersistentErrorsArePacedAndAGoodPassEndsThePause) {
  using std::chrono::milliseconds;
  // Eight errors, a good pass, one more error, then a good pass to end on.
  for (int i = 0; i < 8; ++i) fake.steps.push_back({0x1108, 0, {}});
  fake.steps.push_back({0, 0, SilentDebugInd()});
  fake.steps.push_back({0, 0x1104, {}});
  fake.steps.push_back({0, 0, SilentDebugInd()});
  fake.steps.push_back({0, 0, SilentDebugInd()});
  fake.stopAfterWaits = 12;
  std::string printed = RunLoop();
  ASSERT_EQ(fake.waitTimes.size(), 12u);
  auto gap = [](int i) {
    return std::chrono::duration_cast<milliseconds>(fake.waitTimes[i] - fake.waitTimes[i - 1])
        .count();
  };
  const int expected[] = {10, 20, 40, 80, 160, 320, 640, 1000};
  for (int i = 1; i <= 8; ++i) {
    EXPECT_GE(gap(i), expected[i - 1]) << "pause after error " << i;
    EXPECT_LT(gap(i), expected[i - 1] + 300) << "pause after error " << i;
  }
  EXPECT_LT(gap(9), 300);  // after the good pass: no pause left
  EXPECT_GE(gap(10), 10);  // a new error starts again at the shortest pause
  EXPECT_LT(gap(10), 300);
  EXPECT_LT(gap(11), 300);
  size_t lines = 0;
  for (size_t at = 0; (at = printed.find("*Thread: ", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 9u);  // every error printed once for its pass
}

// A provider wait that blocks until the test lets it go.
std::mutex gateMutex;
std::condition_variable gateSignal;
bool gateOpen = false;
std::atomic<int> blockedWaits{0};
std::atomic<int> takes{0};

uint32_t GatedWait(uint32_t) {
  ++blockedWaits;
  std::unique_lock<std::mutex> hold(gateMutex);
  gateSignal.wait(hold, [] { return gateOpen; });
  return 0;
}

uint32_t GatedGet(uint32_t, const uint8_t** message) {
  static Bytes silent = SilentDebugInd();
  *message = silent.data();
  ++takes;
  return 0;
}

TEST_F(ReceiveThread, StopLetsTheThreadGoWithoutWaitingAndItEndsAfterItsPass) {
  capiProvider.CAPI_WAIT_FOR_SIGNAL = GatedWait;
  capiProvider.CAPI_GET_MESSAGE = GatedGet;
  capiProvider.arrivedLength = nullptr;
  testing_support::StdoutCapture capture;
  capi::StartReceiveThread(output::HandleDebugIndication, output::LogPass);
  ASSERT_NE(controlBlock.receiveThread, platform::kNoThread);
  EXPECT_EQ(capi::threadRunFlag.load(), 1);
  for (int i = 0; i < 200 && blockedWaits.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(blockedWaits.load(), 1);
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kThreadInsideProvider);
  capi::StopReceiveThread();
  EXPECT_EQ(controlBlock.receiveThread, platform::kNoThread);
  EXPECT_EQ(capi::threadRunFlag.load(), 0);
  {
    std::lock_guard<std::mutex> hold(gateMutex);
    gateOpen = true;
  }
  gateSignal.notify_all();
  for (int i = 0; i < 200 && capi::receiveThreadInProvider.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(capture.Take(), "Thread stopping ...WAIT_FOR_MESSAGE-Thread stopped.\n");
  EXPECT_EQ(takes.load(), 1);

  testing_support::StdoutCapture again;
  capi::StopReceiveThread();
  EXPECT_EQ(again.Take(), "No thread to stop!\n");
}

// What the handler was given: each message's command and number, and whether the last came.
std::mutex handledMutex;
std::condition_variable handledSignal;
std::vector<std::pair<int, int>> handled;

void RecordHandled(const uint8_t* message, size_t) {
  std::lock_guard<std::mutex> hold(handledMutex);
  handled.emplace_back(message[4], message[6] | (message[7] << 8));
  handledSignal.notify_all();
}

TEST_F(ReceiveThread, LateQueryAnswersAreDroppedUnlessUnnumbered) {
  capi::SendAdapterRequest(capiProvider.applId, 1, capi::LINE_CONFIG, 0, 512, capi::infoBuffer);
  uint16_t last = testing_support::NumberOf(fake.sent.back());
  Bytes conf = testing_support::AdapterConf({1, 2});
  // The last query's late answer, then an unnumbered one and a trace text.
  fake.steps = {{0, 0, testing_support::Numbered(conf, last)},
                {0, 0, conf},
                {0, 0, testing_support::DebugInd("12:00:00.000 L2D after")}};
  fake.stopAfterWaits = 3;
  handled.clear();
  testing_support::StdoutCapture capture;
  capi::StartReceiveThread(RecordHandled, nullptr);
  {
    std::unique_lock<std::mutex> hold(handledMutex);
    EXPECT_TRUE(
        handledSignal.wait_for(hold, std::chrono::seconds(10), [] { return handled.size() >= 2; }));
    EXPECT_EQ(handled, (std::vector<std::pair<int, int>>{{0x18, 0}, {0x19, 0}}));
  }
  // The thread's last pass is over once it is outside the provider; the flag is cleared by then.
  for (int i = 0; i < 2000 && capi::receiveThreadInProvider.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  capi::StopReceiveThread();
  capture.Take();
}

// What the thread did, in order: "H<number>" a message handed on, "E<waits so far>" a pass end.
std::mutex passMutex;
std::condition_variable passSignal;
std::vector<std::string> passEvents;

// The event of kind ('H' or 'E') with its number.
std::string Event(char kind, int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%d", kind, number);
  return text;
}

void RecordEvent(const std::string& event) {
  std::lock_guard<std::mutex> hold(passMutex);
  passEvents.push_back(event);
  passSignal.notify_all();
}

void RecordMessage(const uint8_t* message, size_t) {
  RecordEvent(Event('H', message[6] | (message[7] << 8)));
}

void RecordPassEnd() {
  RecordEvent(Event('E', fake.waits));
}

// Runs the thread until its pass after the given wait has ended, its last: the run flag is
// cleared in that wait, so the thread touches neither the script nor the events after it.
// Returns what it printed.
std::string RunThreadUntilPassEnd(capi::MessageHandler handleMessage, capi::PassEndHandler endPass,
                                  int waits) {
  passEvents.clear();
  fake.stopAfterWaits = waits;
  testing_support::StdoutCapture capture;
  capi::StartReceiveThread(handleMessage, endPass);
  {
    std::unique_lock<std::mutex> hold(passMutex);
    std::string last = Event('E', waits);
    EXPECT_TRUE(passSignal.wait_for(hold, std::chrono::seconds(30), [&] {
      return !passEvents.empty() && passEvents.back() == last;
    }));
  }
  capi::StopReceiveThread();
  return capture.Take();
}

TEST_F(ReceiveThread, APassTakesEverythingQueuedAndEndsBeforeTheNextWait) {
  using testing_support::Numbered;
  using testing_support::Step;
  Bytes text = SilentDebugInd();
  Step queued{0, 0, Numbered(text, 2)};
  queued.queued = true;
  Step failing{0, 0x1108, {}};
  failing.queued = true;
  // Three messages in one pass; one alone; one, then a failed take behind it; the last alone.
  fake.steps = {{0, 0, Numbered(text, 1)},
                queued,
                queued,
                {0, 0, Numbered(text, 3)},
                {0, 0, Numbered(text, 4)},
                failing,
                {0, 0, Numbered(text, 5)}};
  std::string printed = RunThreadUntilPassEnd(RecordMessage, RecordPassEnd, 4);
  EXPECT_EQ(passEvents,
            (std::vector<std::string>{"H1", "H2", "H2", "E1", "H3", "E2", "H4", "E3", "H5", "E4"}));
  EXPECT_NE(printed.find("*Thread: GET_MESSAGE: ReturnCode=0x1108\n"), std::string::npos)
      << printed;
}

TEST_F(ReceiveThread, AThreadToldToStopTakesNoMoreThanItsWaitFound) {
  testing_support::Step queued{0, 0, testing_support::Numbered(SilentDebugInd(), 2)};
  queued.queued = true;
  fake.steps = {{0, 0, testing_support::Numbered(SilentDebugInd(), 1)}, queued};
  // The run flag is cleared inside the wait: that message is still handed on.
  RunThreadUntilPassEnd(RecordMessage, RecordPassEnd, 1);
  EXPECT_EQ(passEvents, (std::vector<std::string>{"H1", "E1"}));
}

TEST_F(ReceiveThread, AFloodIsTakenInFullPassesOneAfterTheOther) {
  using testing_support::Step;
  Step queued{0, 0, testing_support::Numbered(SilentDebugInd(), 2)};
  queued.queued = true;
  fake.steps = {{0, 0, testing_support::Numbered(SilentDebugInd(), 1)}};
  fake.steps.insert(fake.steps.end(), 299, queued);
  // A third wait finds nothing, so the stop does not cut the second pass short.
  RunThreadUntilPassEnd(RecordMessage, RecordPassEnd, 3);
  ASSERT_EQ(passEvents.size(), 303u);
  EXPECT_EQ(passEvents[256], "E1");  // the most one pass takes
  EXPECT_EQ(passEvents[301], "E2");
}

// The pass's end as the program has it, recorded.
void LogPassAndRecord() {
  output::LogPass();
  RecordPassEnd();
}

TEST_F(ReceiveThread, ShutdownRightAfterAPassFindsItsLinesLoggedAndLaterOnesDropped) {
  using testing_support::DebugInd;
  static capi::CapiWaitForSignalFn scriptedWait;
  scriptedWait = capiProvider.CAPI_WAIT_FOR_SIGNAL;
  // The shutdown closes the log while the thread waits after its first pass.
  capiProvider.CAPI_WAIT_FOR_SIGNAL = [](uint32_t applId) {
    if (fake.waits == 1) output::CloseLogForShutdown("Program unloaded\n");
    return scriptedWait(applId);
  };
  testing_support::Step second{0, 0, DebugInd("12:00:00.002 L2D two")};
  second.queued = true;
  fake.steps = {
      {0, 0, DebugInd("12:00:00.001 L2D one")}, second, {0, 0, DebugInd("12:00:00.003 L2D late")}};
  RunThreadUntilPassEnd(output::HandleDebugIndication, LogPassAndRecord, 2);
  EXPECT_EQ(LogText(), "12:00:00.001 L2D one\n12:00:00.002 L2D two\nProgram unloaded\n");
}

TEST_F(ReceiveThread, SecondThreadStartIsRefused) {
  controlBlock.receiveThread = 12345;
  capi::threadRunFlag = 0;
  std::string box = testing_support::CaptureStderr(
      [] { capi::StartReceiveThread(output::HandleDebugIndication, output::LogPass); });
  EXPECT_NE(box.find("Thread already running"), std::string::npos);
  EXPECT_EQ(capi::threadRunFlag.load(), 0);
  EXPECT_EQ(controlBlock.receiveThread, 12345u);
  controlBlock.receiveThread = platform::kNoThread;
}

}  // namespace
