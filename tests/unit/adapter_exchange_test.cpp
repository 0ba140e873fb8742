// The adapter request exchange and the DEBUG_REQ senders against a scripted provider record:
// printed texts, results, and message matching.
#include "capi/adapter_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capi/adapter_exchange_internal.h"
#include "capi/provider_binding.h"
#include "control/records/control_block.h"
#include "support/scripted_provider.h"
#include "support/stdout_capture.h"
#include "support/test_messages.h"

namespace {

using capi::capiProvider;
using control::controlBlock;
using testing_support::AdapterConf;
using testing_support::Bytes;
using testing_support::fake;
using testing_support::Numbered;
using testing_support::NumberOf;
using testing_support::SilentDebugInd;

class Exchange : public testing_support::ScriptedProviderTest {
 protected:
  // Runs the query's await with the console captured.
  int32_t Await(std::string* printed) {
    testing_support::StdoutCapture capture;
    int32_t result = capi::AwaitAdapterReply(0x18, 0x01);
    *printed = capture.Take();
    return result;
  }
  // Puts one adapter request; returns its message number.
  uint16_t Request() {
    capi::SendAdapterRequest(capiProvider.applId, 1, capi::LINE_CONFIG, 0, 512, capi::infoBuffer);
    return NumberOf(fake.sent.back());
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
  // Numbered, never with 0: the reply names its request by the number.
  uint16_t number = NumberOf(m);
  EXPECT_NE(number, 0);
  uint32_t token = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(capi::infoBuffer));
  Bytes expected = {18,
                    0,
                    5,
                    0,
                    0x18,
                    0,
                    static_cast<uint8_t>(number),
                    static_cast<uint8_t>(number >> 8),
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
  // A refused request uses up its number all the same.
  EXPECT_EQ(NumberOf(fake.sent[1]), static_cast<uint16_t>(number + 1));
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

TEST_F(Exchange, LateUnnumberedConfirmationIsTakenByTheNextQuery) {
  std::string printed;
  // A firmware that does not number its replies (0): the first query runs out of time, and its
  // answer comes while the second one waits.
  fake.steps = {{0x1104, 0, {}}, {0, 0, AdapterConf({'A', 'B'})}, {0, 0, AdapterConf({'C'})}};
  Request();
  EXPECT_EQ(Await(&printed), 0x1104);
  Request();
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capi::infoBuffer[0], 'A');
  EXPECT_EQ(capiProvider.receivedMessage[18], 'A');
  Request();
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(capi::infoBuffer[0], 'C');
  EXPECT_EQ(capi::infoBuffer[1], 'B');  // the shorter reply leaves the rest as it was
  EXPECT_EQ(capi::infoDataLength, 1u);
}

TEST_F(Exchange, LateNumberedConfirmationIsDroppedAndTheNextQueryWaitsOn) {
  std::string printed;
  uint16_t first = Request();
  fake.steps = {{0x1104, 0, {}}};
  EXPECT_EQ(Await(&printed), 0x1104);
  uint16_t second = Request();
  EXPECT_EQ(second, static_cast<uint16_t>(first + 1));
  fake.steps = {{0, 0, Numbered(AdapterConf({'A', 'B'}), first)},
                {0, 0, Numbered(AdapterConf({'C'}), second)}};
  fake.boundedWaitMs = 0;
  EXPECT_EQ(Await(&printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(fake.waits, 3);
  // The wait after the dropped reply has what is left of the query's bound, no more.
  EXPECT_GT(fake.boundedWaitMs, 0u);
  EXPECT_LE(fake.boundedWaitMs, capi::kAdapterReplyWaitMs);
  EXPECT_EQ(capi::infoBuffer[0], 'C');
  EXPECT_EQ(capi::infoBuffer[1], 0xEE);  // nothing of the dropped reply's data
  EXPECT_EQ(capi::infoDataLength, 1u);

  // A late reply and then nothing: the query fails as a wait that ran out.
  uint16_t third = Request();
  fake.steps = {{0, 0, Numbered(AdapterConf({'D'}), second)}, {0x1104, 0, {}}};
  EXPECT_EQ(Await(&printed), 0x1104);
  EXPECT_EQ(printed, "WAIT_FOR_SIGNAL: ReturnCode=0x1104\n");
  EXPECT_EQ(capi::infoBuffer[0], 'C');
  // A number no request had is no answer.
  fake.steps = {{0, 0, Numbered(AdapterConf({'E'}), static_cast<uint16_t>(third + 1))}};
  EXPECT_EQ(Await(&printed), -1);
  EXPECT_EQ(capi::infoBuffer[0], 'C');
}

TEST_F(Exchange, EarlierRepliesAreKnownByTheirNumber) {
  uint16_t number = Request();
  Bytes conf = AdapterConf({1});
  EXPECT_TRUE(capi::IsEarlierAdapterReply(Numbered(conf, number).data(), conf.size()));
  EXPECT_TRUE(capi::IsEarlierAdapterReply(Numbered(conf, 1).data(), conf.size()));
  // Unnumbered, a number no request had, or not a confirmation: not a late answer.
  EXPECT_FALSE(capi::IsEarlierAdapterReply(conf.data(), conf.size()));
  Bytes beyond = Numbered(conf, static_cast<uint16_t>(number + 1));
  EXPECT_FALSE(capi::IsEarlierAdapterReply(beyond.data(), beyond.size()));
  Bytes indication = Numbered(SilentDebugInd(), number);
  EXPECT_FALSE(capi::IsEarlierAdapterReply(indication.data(), indication.size()));
  // The number must have arrived.
  EXPECT_FALSE(capi::IsEarlierAdapterReply(Numbered(conf, number).data(), 7));
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

}  // namespace
