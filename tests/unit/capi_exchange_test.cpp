// The adapter request exchange, the DEBUG_REQ senders and the receive thread against a fake
// provider record: printed texts, results, message matching, the thread's pacing and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi/adapter_exchange.h"
#include "capi/provider_binding.h"
#include "capi/receive_thread.h"
#include "control/records/control_block.h"
#include "output/trace_indication.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"
#include "support/test_messages.h"

namespace {

using testing_support::AdapterConf;
using testing_support::Bytes;
using Clock = std::chrono::steady_clock;
using capi::capiProvider;
using control::controlBlock;

// One scripted provider answer: the wait's result, then (when it is 0) the take's result
// and the message it delivers.
struct Step {
  uint32_t wait = 0;
  uint32_t get = 0;
  Bytes message;
  size_t arrived = SIZE_MAX;  // bytes of the message that arrived: all of them by default
};

struct FakeProvider {
  std::deque<Step> steps;
  Step current;
  std::vector<Bytes> sent;
  std::vector<Clock::time_point> waitTimes;
  uint32_t putResult = 0;
  uint32_t boundedWaitMs = 0;
  int waits = 0;
  int gets = 0;
  // Cleared by the script after this many waits (ReceiveLoop tests), -1: never.
  int stopAfterWaits = -1;
};
FakeProvider fake;

uint32_t FakePut(uint32_t, const uint8_t* message) {
  fake.sent.emplace_back(message, message + (message[0] | (message[1] << 8)));
  return fake.putResult;
}

uint32_t FakeWait(uint32_t) {
  fake.waitTimes.push_back(Clock::now());
  if (++fake.waits == fake.stopAfterWaits) capi::threadRunFlag = 0;
  if (fake.steps.empty()) return capi::kQueueEmpty;
  fake.current = fake.steps.front();
  fake.steps.pop_front();
  return fake.current.wait;
}

uint32_t FakeWaitWithin(uint32_t applId, uint32_t timeoutMs) {
  fake.boundedWaitMs = timeoutMs;
  return FakeWait(applId);
}

uint32_t FakeGet(uint32_t, const uint8_t** message) {
  ++fake.gets;
  if (fake.current.get == 0) *message = fake.current.message.data();
  return fake.current.get;
}

size_t FakeArrived(uint32_t) {
  return std::min(fake.current.arrived, fake.current.message.size());
}

// A DEBUG_IND without text: the trace handler drops it without any output.
Bytes SilentDebugInd() {
  return Bytes{13, 0, 1, 0, 0x19, 0x02, 0, 0, 1, 0, 0, 0, 0};
}

class Exchange : public testing_support::TemporaryFolderTest {
 protected:
  void SetUp() override {
    TemporaryFolderTest::SetUp();
    fake = FakeProvider{};
    capiProvider = {};
    capiProvider.CAPI_PUT_MESSAGE = FakePut;
    capiProvider.CAPI_WAIT_FOR_SIGNAL = FakeWait;
    capiProvider.CAPI_GET_MESSAGE = FakeGet;
    capiProvider.waitForSignalWithin = FakeWaitWithin;
    capiProvider.arrivedLength = FakeArrived;
    capiProvider.applId = 0x10005;
    capi::threadRunFlag = 1;
    capi::receiveThreadInProvider = capi::kThreadOutsideProvider;
    std::memset(capi::infoBuffer, 0xEE, sizeof capi::infoBuffer);
  }

  // Runs the query's await with the console captured.
  int32_t Await(std::string* printed) {
    testing_support::StdoutCapture capture;
    int32_t result = capi::AwaitAdapterReply(0x18, 0x01);
    *printed = capture.Take();
    return result;
  }
};

TEST_F(Exchange, AdapterRequestNamesTheReplyAreaAndReportsARefusedPut) {
  fake.putResult = 0x00021101;
  testing_support::StdoutCapture capture;
  uint32_t result = capi::SendAdapterRequest(capiProvider.applId, 3, capi::ADAPTER_TYPE, 0, 512,
                                             capi::infoBuffer);
  EXPECT_EQ(capture.Take(), "ADAPTER_REQ: ReturnCode=1101\n");
  EXPECT_EQ(result, 0x00021101u);
  ASSERT_EQ(fake.sent.size(), 1u);
  const Bytes& m = fake.sent[0];
  ASSERT_EQ(m.size(), 18u);
  uint32_t token = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(capi::infoBuffer));
  Bytes expected = {18,
                    0,
                    5,
                    0,
                    0x18,
                    0,
                    0,
                    0,
                    3,
                    4,
                    0,
                    0,
                    static_cast<uint8_t>(token),
                    static_cast<uint8_t>(token >> 8),
                    static_cast<uint8_t>(token >> 16),
                    static_cast<uint8_t>(token >> 24),
                    0x00,
                    0x02};
  EXPECT_EQ(m, expected);

  fake.putResult = 0x10000;  // only the low word counts
  testing_support::StdoutCapture quiet;
  capi::SendAdapterRequest(capiProvider.applId, 3, capi::LINE_CONFIG, 0, 512, capi::infoBuffer);
  EXPECT_EQ(quiet.Take(), "");
}

TEST_F(Exchange, WaitErrorsPrintTheLowWordSignExtended) {
  std::string printed;
  fake.steps = {{0x00011104, 0, {}}, {0xFFFF8001, 0, {}}, {0x8000, 0, {}}};
  EXPECT_EQ(Await(&printed), 0x00011104);
  EXPECT_EQ(printed, "WAIT_FOR_SIGNAL: ReturnCode=0x1104\n");
  EXPECT_EQ(fake.boundedWaitMs, capi::kAdapterReplyWaitMs);
  EXPECT_EQ(static_cast<uint32_t>(Await(&printed)), 0xFFFF8001u);
  EXPECT_EQ(printed, "WAIT_FOR_SIGNAL: ReturnCode=0xFFFF8001\n");
  // Without a bounded wait the plain one serves.
  capiProvider.waitForSignalWithin = nullptr;
  fake.boundedWaitMs = 0;
  EXPECT_EQ(Await(&printed), 0x8000);
  EXPECT_EQ(printed, "WAIT_FOR_SIGNAL: ReturnCode=0xFFFF8000\n");
  EXPECT_EQ(fake.boundedWaitMs, 0u);
  EXPECT_EQ(fake.gets, 0);
}

TEST_F(Exchange, TakeErrorsPrintTheLowWordSignExtended) {
  std::string printed;
  fake.steps = {{0, 0x1101, {}}, {0, 0xABCD, {}}};
  EXPECT_EQ(Await(&printed), 0x1101);
  EXPECT_EQ(printed, "GET_MESSAGE: ReturnCode=0x1101\n");
  EXPECT_EQ(Await(&printed), 0xABCD);
  EXPECT_EQ(printed, "GET_MESSAGE: ReturnCode=0xFFFFABCD\n");
}

TEST_F(Exchange, DebugIndicationDuringAQueryIsTakenAndLost) {
  std::string printed;
  fake.steps = {{0, 0, SilentDebugInd()}, {0, 0, AdapterConf({1, 2, 3})}};
  EXPECT_EQ(Await(&printed), -1);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(capi::infoBuffer[0], 0xEE);
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capi::infoBuffer[2], 3);
}

TEST_F(Exchange, LateConfirmationIsTakenByTheNextQuery) {
  std::string printed;
  // The first query runs out of time; its answer comes while the second one waits.
  fake.steps = {{0x1104, 0, {}}, {0, 0, AdapterConf({'A', 'B'})}, {0, 0, AdapterConf({'C'})}};
  EXPECT_EQ(Await(&printed), 0x1104);
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capi::infoBuffer[0], 'A');
  EXPECT_EQ(capiProvider.receivedMessage[18], 'A');
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capi::infoBuffer[0], 'C');
  EXPECT_EQ(capi::infoBuffer[1], 'B');  // the shorter reply leaves the rest as it was
}

// An ADAPTER_CONF that names address for dataLength bytes and carries none of them inline.
Bytes ConfWithoutInlineData(uint32_t address, uint16_t dataLength) {
  Bytes m = AdapterConf(Bytes(dataLength, 0x77), 0, address);
  m.resize(18);
  m[0] = 18;
  return m;
}

TEST_F(Exchange, ReplyDataWhereNoProviderCanPlaceItIsInlineOrNone) {
  std::string printed;
  uint32_t token = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(capi::infoBuffer));
  fake.steps = {{0, 0, AdapterConf({9, 9}, 0, token)},
                {0, 0, ConfWithoutInlineData(token, 2)},
                {0, 0, ConfWithoutInlineData(token + 64, 2)}};
  EXPECT_EQ(Await(&printed), 0);  // the address echoed, the data inline
  EXPECT_EQ(capi::infoBuffer[1], 9);
  std::memset(capi::infoBuffer, 0xEE, sizeof capi::infoBuffer);
  // Pointing at the buffer brings nothing: never what an earlier reply left there.
  EXPECT_EQ(Await(&printed), -1);
  EXPECT_EQ(Await(&printed), -1);  // another address space: never dereferenced
  EXPECT_EQ(printed, "");
  EXPECT_EQ(capi::infoBuffer[0], 0xEE);
}

// Data a provider placed in this process, at the addresses 0x1000 (the reply area itself) and
// 0x2000.
uint8_t placedData[600];
const uint8_t* LocateInProcess(uint32_t address) {
  if (address == 0x1000) return capi::infoBuffer;
  return address == 0x2000 ? placedData : nullptr;
}

TEST_F(Exchange, ReplyDataPlacedInTheProcessIsTakenFromItsAddress) {
  capiProvider.replyDataAt = LocateInProcess;
  for (size_t i = 0; i < sizeof placedData; ++i) placedData[i] = static_cast<uint8_t>(i % 251);
  std::string printed;
  fake.steps = {{0, 0, ConfWithoutInlineData(0x1000, 4)},
                {0, 0, ConfWithoutInlineData(0x2000, 600)},
                {0, 0, ConfWithoutInlineData(0x3000, 4)},
                {0, 0, AdapterConf({7})}};
  EXPECT_EQ(Await(&printed), 0);  // already in the reply area: it stays
  EXPECT_EQ(capi::infoBuffer[0], 0xEE);
  EXPECT_EQ(Await(&printed), 0);  // copied from elsewhere, at most the area's size
  EXPECT_EQ(capi::infoBuffer[0], 0);
  EXPECT_EQ(capi::infoBuffer[511], 511 % 251);
  EXPECT_EQ(Await(&printed), -1);  // an address the provider cannot name
  EXPECT_EQ(Await(&printed), 0);   // inline, as Wine's provider gives it
  EXPECT_EQ(capi::infoBuffer[0], 7);
}

TEST_F(Exchange, ReplyIsReadOnlyAsFarAsItArrived) {
  std::string printed;
  // The message claims four data bytes and an info word; 20 of its bytes arrived.
  Bytes m = AdapterConf({1, 2, 3, 4}, 0x2001);
  fake.steps = {{0, 0, m, 20}, {0, 0, m, 5}};
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capiProvider.receivedLength, 20u);
  EXPECT_EQ(Bytes(capi::infoBuffer, capi::infoBuffer + 3), (Bytes{1, 2, 0xEE}));
  // Not even the command arrived: a message of another kind.
  EXPECT_EQ(Await(&printed), -1);
  EXPECT_EQ(capiProvider.receivedLength, 5u);
}

TEST_F(Exchange, DebugCommandsGoToTheCurrentController) {
  controlBlock.controller = 2;
  fake.putResult = 0x00031101;
  EXPECT_EQ(capi::SendDebugCommand("cmt l2"), 0x1101);
  Bytes expected = {19, 0, 5, 0, 0x19, 0, 0, 0, 2, 1, 8, 2, 'c', 'm', 't', ' ', 'l', '2', 0};
  ASSERT_EQ(fake.sent.size(), 1u);
  EXPECT_EQ(fake.sent[0], expected);
  // Longer texts are cut at 39 characters.
  capi::SendDebugCommand(std::string(45, 'x').c_str());
  EXPECT_EQ(fake.sent[1].size(), 52u);
  EXPECT_EQ(fake.sent[1][10], 41);
  EXPECT_EQ(fake.sent[1][51], 0);
}

TEST_F(Exchange, DownloadScreenRequestReportsARefusalWithoutLineEnd) {
  fake.putResult = 0x1101;
  testing_support::StdoutCapture capture;
  capi::RequestDownloadScreen();
  EXPECT_EQ(capture.Take(), "download req rc=1101");
  Bytes expected = {12, 0, 5, 0, 0x19, 0, 0, 0, 1, 1, 1, 1};
  EXPECT_EQ(fake.sent.at(0), expected);
  fake.putResult = 0;
  testing_support::StdoutCapture quiet;
  capi::RequestDownloadScreen();
  EXPECT_EQ(quiet.Take(), "");
}

TEST_F(Exchange, PayloadBeyondItsLengthByteIsNeverPut) {
  uint8_t payload[300] = {};
  EXPECT_EQ(capi::SendDebugRequest(1, 1, payload, 300, capiProvider.applId), 0x1102u);
  EXPECT_TRUE(fake.sent.empty());
  EXPECT_EQ(capi::SendDebugRequest(1, 1, payload, 255, capiProvider.applId), 0u);
  EXPECT_EQ(fake.sent.at(0).size(), 266u);
}

// Runs the receive loop on this thread with the console captured.
std::string RunLoop() {
  testing_support::StdoutCapture capture;
  EXPECT_EQ(capi::ReceiveLoop(&capi::threadRunFlag), 0u);
  return capture.Take();
}

TEST_F(Exchange, ThreadPrintsErrorsUnsignedAndHandlesMessagesAfterTheStop) {
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

TEST_F(Exchange, LostLinkIsLoggedOnceAndEndsTheThreadAndTheProgram) {
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
  FILE* file = std::fopen("LINKSPY.LOG", "r");
  ASSERT_NE(file, nullptr);
  char text[128] = {};
  EXPECT_GT(std::fread(text, 1, sizeof text - 1, file), 0u);
  std::fclose(file);
  EXPECT_STREQ(text, "LINKSPY: Connection to the CAPI provider lost\n");
}

TEST_F(Exchange, ThreadEndsSilentlyWhenExitWasRequestedOrTheLibraryIsGone) {
  controlBlock.exitRequested = 1;
  EXPECT_EQ(RunLoop(), "");
  EXPECT_EQ(fake.waits, 0);
  controlBlock.exitRequested = 0;
  capi::receiveThreadInProvider = capi::kProviderUnloaded;
  RunLoop();
  EXPECT_EQ(fake.waits, 0);
}

TEST_F(Exchange, PersistentErrorsArePacedAndAGoodPassEndsThePause) {
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

TEST_F(Exchange, StopLetsTheThreadGoWithoutWaitingAndItEndsAfterItsPass) {
  capiProvider.CAPI_WAIT_FOR_SIGNAL = GatedWait;
  capiProvider.CAPI_GET_MESSAGE = GatedGet;
  capiProvider.arrivedLength = nullptr;
  testing_support::StdoutCapture capture;
  capi::StartReceiveThread(output::HandleDebugIndication);
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

}  // namespace
