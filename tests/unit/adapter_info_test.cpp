// Adapter identification against a fake CAPI provider: the reply decodings, the report lines
// and failed exchanges.
#include "adapter/adapter_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <regex>
#include <string>
#include <vector>

#include "adapter/adapter_info_internal.h"
#include "capi/adapter_exchange.h"
#include "capi/records/capi_provider.h"
#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"
#include "support/test_messages.h"

namespace {

using testing_support::AdapterConf;
using testing_support::Bytes;

// The provider side of the test: records every message put, serves prepared replies.
struct FakeProvider {
  std::vector<Bytes> sent;
  std::deque<Bytes> replies;
  Bytes taken;
  uint32_t putResult = 0;
  int waits = 0;
};
FakeProvider fake;

uint32_t FakePut(uint32_t, const uint8_t* message) {
  size_t length = message[0] | (message[1] << 8);
  fake.sent.emplace_back(message, message + length);
  return fake.putResult;
}

uint32_t FakeWaitWithin(uint32_t, uint32_t) {
  ++fake.waits;
  return fake.replies.empty() ? capi::kQueueEmpty : 0;
}

uint32_t FakeWait(uint32_t applId) {
  return FakeWaitWithin(applId, 0);
}

uint32_t FakeGet(uint32_t, const uint8_t** message) {
  if (fake.replies.empty()) return capi::kQueueEmpty;
  fake.taken = fake.replies.front();
  fake.replies.pop_front();
  *message = fake.taken.data();
  return 0;
}

Bytes FirmwareReply(uint8_t kind, uint8_t version, uint8_t boardFlags, const std::string& text,
                    int statedLength = -1) {
  Bytes data(13 + text.size(), 0);
  data[0] = kind;
  data[1] = version;
  data[4] = boardFlags;
  data[12] = static_cast<uint8_t>(statedLength < 0 ? text.size() : statedLength);
  std::memcpy(data.data() + 13, text.data(), text.size());
  return data;
}

Bytes TypeReply(uint8_t bus, uint8_t minor, uint8_t memory, uint8_t trunkFlags) {
  return {bus, minor, memory, 0, 0, 0, 0, trunkFlags};
}

Bytes LineReply(uint16_t flags, uint8_t protocol, uint8_t tei) {
  return {static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8), protocol, tei};
}

class AdapterStartup : public testing_support::TemporaryFolderTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TemporaryFolderTest::SetUp());
    adapter::adapterInfo = adapter::AdapterInfo{};
    fake = FakeProvider{};
    capi::capiProvider.CAPI_PUT_MESSAGE = FakePut;
    capi::capiProvider.CAPI_GET_MESSAGE = FakeGet;
    capi::capiProvider.CAPI_WAIT_FOR_SIGNAL = FakeWait;
    capi::capiProvider.waitForSignalWithin = FakeWaitWithin;
    capi::capiProvider.applId = 7;
  }
  // Runs one query with the given reply, its console output dropped.
  template <typename Query>
  void Answer(Query query, const Bytes& data, uint16_t infoWord = 0) {
    fake.replies.push_back(AdapterConf(data, infoWord));
    testing_support::StdoutCapture quiet;
    query();
  }
};

const adapter::AdapterInfo& info = adapter::adapterInfo;

TEST_F(AdapterStartup, BoardFlagsChooseTheClassAndTheModelName) {
  struct Case {
    uint8_t flags;
    int16_t boardClass;
    const char* model;
  } cases[] = {{0x06, 1, "qz7-multi"},
               {0x02, 1, "qz7-multi"},
               {0x04, 2, "qz7-trunk"},
               {0x00, 0, "qz7-solo"},
               {0x01, 0, "qz7-solo"}};
  for (const Case& c : cases) {
    adapter::adapterInfo = adapter::AdapterInfo{};
    Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 45, c.flags, "QZ 2.45"));
    EXPECT_EQ(info.boardClass, c.boardClass) << int(c.flags);
    Answer(adapter::QueryAdapterType, TypeReply(1, 3, 4, 0));
    EXPECT_EQ(std::string(info.adapterTypeText), std::string(c.model) + " ISA-S0 4MB, Version:1.3");
  }
}

TEST_F(AdapterStartup, InfoWord2001KeepsTheClassButTakesTheRest) {
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(3, 7, 0x06, "QZ 3.07"), 0x2001);
  EXPECT_EQ(info.boardClass, 0);
  EXPECT_EQ(info.firmwareKind, 3);
  EXPECT_EQ(info.firmwareVersion, 7);
  EXPECT_STREQ(info.firmwareVersionText, "QZ 3.07");
  // A class set earlier survives such a reply too.
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(3, 7, 0x04, "x"));
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(3, 8, 0x02, "y"), 0x2001);
  EXPECT_EQ(info.boardClass, 2);
  EXPECT_EQ(info.firmwareVersion, 8);
}

TEST_F(AdapterStartup, VersionTextLengthRules) {
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 50, 0, "ignored", 0));
  EXPECT_STREQ(info.firmwareVersionText, "");
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 50, 0, "abc", 2));
  EXPECT_STREQ(info.firmwareVersionText, "ab");
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 50, 0, std::string("ab\0cd", 5)));
  EXPECT_STREQ(info.firmwareVersionText, "ab");
  // A stated length beyond the field is cut at 79 characters.
  std::string longText(120, 'v');
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 50, 0, longText));
  EXPECT_EQ(std::string(info.firmwareVersionText), std::string(79, 'v'));
  // Cleaned as a trace text is: it cannot forge a log line nor act on a terminal.
  Answer(adapter::QueryFirmwareVersion,
         FirmwareReply(2, 50, 0, "2.50\n12:00:00.000 L2D FORGED\x1b[2J\t\x7f\r\n"));
  EXPECT_STREQ(info.firmwareVersionText, "2.50.12:00:00.000 L2D FORGED.[2J..");
}

TEST_F(AdapterStartup, EachQueryStartsFromAnEmptyReplyArea) {
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 45, 0, "QZ 2.45 with a long text"));
  // A reply shorter than what its query reads is no answer: nothing is made of the bytes it
  // lacks, neither zeros nor the earlier reply's.
  Answer(adapter::QueryAdapterType, {1});
  EXPECT_STREQ(info.adapterTypeText, "Unknown");
  Answer(adapter::QueryAdapterType, {1, 3, 4});
  EXPECT_STREQ(info.adapterTypeText, "qz7-solo ISA-S0 4MB, Version:1.3");
  // An ADAPTER_CONF that points at the reply area and carries nothing brings no data.
  Bytes pointing = AdapterConf(LineReply(0x0001, 1, 0x81), 0, 0x1234);
  pointing.resize(18);
  pointing[0] = 18;
  fake.replies.push_back(pointing);
  testing_support::StdoutCapture quiet;
  adapter::QueryProtocol();
  EXPECT_STREQ(info.protocolText, "Unknown");
}

TEST_F(AdapterStartup, EachQueryNeedsTheBytesItReads) {
  Answer(adapter::QueryLineInterface, {0x01, 0x00, 1});
  EXPECT_STREQ(info.lineInterfaceText, "Unknown");
  Answer(adapter::QueryProtocol, {0x01, 0x00, 1});
  EXPECT_STREQ(info.protocolText, "DSS-1, Euro-ISDN/NET3, ETSI");
  // A trunk board's name reads the trunk flags too.
  adapter::adapterInfo.boardClass = 2;
  Answer(adapter::QueryAdapterType, {1, 3, 4});
  EXPECT_STREQ(info.adapterTypeText, "Unknown");
  // The version text must lie inside the data, up to its length or a zero byte.
  adapter::adapterInfo.firmwareKind = 9;
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 45, 0, "QZ 2", 10));
  EXPECT_STREQ(info.firmwareVersionText, "Unknown");
  EXPECT_EQ(info.firmwareKind, 0);
  EXPECT_EQ(info.boardClass, 2);
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 45, 0, std::string("QZ\0", 3), 10));
  EXPECT_STREQ(info.firmwareVersionText, "QZ");
  Answer(adapter::QueryFirmwareVersion, Bytes(12, 0));
  EXPECT_STREQ(info.firmwareVersionText, "Unknown");
}

TEST_F(AdapterStartup, ErrorInfoWordsCarryNoAnswer) {
  struct Case {
    uint16_t info;
    const char* text;
  } cases[] = {{0x2001, "Unknown"},
               {0x2007, "Unknown"},
               {0x3001, "Unknown"},
               {0x3FFF, "Unknown"},
               {0x0001, "qz7-solo ISA-S0 4MB, Version:1.3"},
               {0x4000, "qz7-solo ISA-S0 4MB, Version:1.3"}};
  for (const Case& c : cases) {
    Answer(adapter::QueryAdapterType, TypeReply(1, 3, 4, 0), c.info);
    EXPECT_STREQ(info.adapterTypeText, c.text) << std::hex << c.info;
  }
  Answer(adapter::QueryFirmwareVersion, FirmwareReply(2, 45, 0x04, "QZ"), 0x3001);
  EXPECT_STREQ(info.firmwareVersionText, "Unknown");
  EXPECT_EQ(info.firmwareKind, 0);
  EXPECT_EQ(info.boardClass, 0);
  Answer(adapter::QueryProtocol, LineReply(0, 1, 0), 0x2002);
  EXPECT_STREQ(info.protocolText, "Unknown");
}

TEST_F(AdapterStartup, TrunkSuffixesAndBusNames) {
  adapter::adapterInfo.boardClass = 2;
  Answer(adapter::QueryAdapterType, TypeReply(1, 3, 4, 0x01));
  EXPECT_STREQ(info.adapterTypeText, "qz7-trunk/TALK ISA-S0 4MB, Version:1.3");
  Answer(adapter::QueryAdapterType, TypeReply(0, 0, 2, 0x03));
  EXPECT_STREQ(info.adapterTypeText, "qz7-trunk/TALK ISA-UP0 2MB, Version:1.0");
  Answer(adapter::QueryAdapterType, TypeReply(2, 1, 8, 0x02));
  EXPECT_STREQ(info.adapterTypeText, "qz7-trunk/BITS MCA-UP0 8MB, Version:1.1");
  Answer(adapter::QueryAdapterType, TypeReply(3, 9, 1, 0x00));
  EXPECT_STREQ(info.adapterTypeText, "qz7-trunk MCA-S0 1MB, Version:1.9");
  // Other classes ignore the trunk flags.
  adapter::adapterInfo.boardClass = 1;
  Answer(adapter::QueryAdapterType, TypeReply(4, 12, 16, 0x03));
  EXPECT_STREQ(info.adapterTypeText, "qz7-multi EISA-S2m 16MB, Version:1.12");
  adapter::adapterInfo.boardClass = 0;
  Answer(adapter::QueryAdapterType, TypeReply(5, 255, 255, 0x01));
  EXPECT_STREQ(info.adapterTypeText, "qz7-solo Unknown 255MB, Version:1.255");
}

TEST_F(AdapterStartup, LineFlagCombinationsAndTeiRules) {
  struct Case {
    uint16_t flags;
    uint8_t tei;
    const char* text;
  } cases[] = {
      {0x0012, 0x00, "FV without D-Channel, TEI=AUTO"},
      {0x0001, 0x00, "point to point, TEI=0"},
      {0x0000, 0x85, "point to multipoint, TEI=5"},
      {0x0000, 0x80, "point to multipoint, TEI=0"},
      {0x0000, 0xFF, "point to multipoint, TEI=127"},
      {0x0000, 0x7F, "point to multipoint, TEI=AUTO"},
      {0x0002, 0x00, "FV with D-Channel, TE-side,  2 x 64kbit/s, TEI=AUTO"},
      {0x000E, 0x00, "FV with D-Channel, NT-side,1 x 128kbit/s, TEI=AUTO"},
      {0x0006, 0x00, "FV with D-Channel, NT-side, 2 x 64kbit/s, TEI=AUTO"},
      {0x000B, 0x81, "FV with D-Channel, TE-side, 1 x 128kbit/s, TEI=1"},
      {0x001F, 0x00, "FV without D-Channel, TEI=0"},
      {0x0101, 0x00, "point to point, TEI=0"},
  };
  for (const Case& c : cases) {
    Answer(adapter::QueryLineInterface, LineReply(c.flags, 1, c.tei));
    EXPECT_STREQ(info.lineInterfaceText, c.text) << std::hex << c.flags << " " << int(c.tei);
  }
}

TEST_F(AdapterStartup, ProtocolNamesAndUnknownNumbers) {
  Answer(adapter::QueryProtocol, LineReply(0, 0, 0));
  EXPECT_STREQ(info.protocolText, "1TR6, Deutsche Telekom");
  Answer(adapter::QueryProtocol, LineReply(0, 1, 0));
  EXPECT_STREQ(info.protocolText, "DSS-1, Euro-ISDN/NET3, ETSI");
  Answer(adapter::QueryProtocol, LineReply(0, 14, 0));
  EXPECT_STREQ(info.protocolText, "TS013/TS014, Australia");
  Answer(adapter::QueryProtocol, LineReply(0, 15, 0));
  EXPECT_STREQ(info.protocolText, "Unknown protocol no 15");
  Answer(adapter::QueryProtocol, LineReply(0, 255, 0));
  EXPECT_STREQ(info.protocolText, "Unknown protocol no 255");
}

// The report lines as they reach standard output; the time line is matched by its form.
void ExpectReport(const std::string& output, const std::vector<std::string>& lines) {
  std::string time = R"(Fileserver Time   : \d\d/\d\d/\d{4} \d\d:\d\d:\d\d\n)";
  EXPECT_TRUE(std::regex_search(output, std::regex(time))) << output;
  for (const std::string& line : lines) EXPECT_NE(output.find(line), std::string::npos) << line;
}

TEST_F(AdapterStartup, FullReportAndTheRequestsSent) {
  control::controlBlock.startupController = 3;
  control::controlBlock.controller = 3;
  fake.replies = {AdapterConf(FirmwareReply(2, 45, 0x04, "QZ.BIN 2.45 (trunk)")),
                  AdapterConf(TypeReply(1, 3, 4, 0x01)), AdapterConf(LineReply(0x0001, 1, 0)),
                  AdapterConf(LineReply(0x0001, 1, 0))};
  testing_support::StdoutCapture capture;
  adapter::IdentifyAdapter("PBX-LAB");
  std::string output = capture.Take();
  std::string expectedTail =
      "Controller Number : 3\n"
      "Adaptertype       : qz7-trunk/TALK ISA-S0 4MB, Version:1.3\n"
      "Version of QZ.BIN : QZ.BIN 2.45 (trunk)\n"
      "Line Interface    : point to point, TEI=0\n"
      "D-Channel Protocol: DSS-1, Euro-ISDN/NET3, ETSI\n"
      "\n";
  EXPECT_EQ(output.rfind("Fileserver Name   : PBX-LAB\n", 0), 0u) << output;
  ExpectReport(output, {});
  ASSERT_GE(output.size(), expectedTail.size());
  EXPECT_EQ(output.substr(output.size() - expectedTail.size()), expectedTail);
  // Every colon of the report stands in column 18.
  size_t start = 0;
  for (int i = 0; i < 7; ++i) {
    size_t end = output.find('\n', start);
    EXPECT_EQ(output.find(':', start), start + 18) << output.substr(start, end - start);
    start = end + 1;
  }
  // The log holds the same lines.
  FILE* log = std::fopen("LINKSPY.LOG", "r");
  ASSERT_NE(log, nullptr);
  char buffer[2048] = {};
  size_t read = std::fread(buffer, 1, sizeof buffer - 1, log);
  std::fclose(log);
  EXPECT_EQ(std::string(buffer, read), output);

  ASSERT_EQ(fake.sent.size(), 4u);
  const uint8_t types[] = {6, 4, 2, 2};
  for (int i = 0; i < 4; ++i) {
    const Bytes& m = fake.sent[i];
    ASSERT_EQ(m.size(), 18u);
    EXPECT_EQ(m[2] | (m[3] << 8), 7);
    EXPECT_EQ(m[4], 0x18);
    EXPECT_EQ(m[5], 0x00);
    // Numbered one after the other, never 0.
    EXPECT_NE(testing_support::NumberOf(m), 0);
    if (i > 0) {
      EXPECT_EQ(testing_support::NumberOf(m), testing_support::NumberOf(fake.sent[0]) + i);
    }
    EXPECT_EQ(m[8], 3);
    EXPECT_EQ(m[9], types[i]);
    EXPECT_EQ(m[10] | (m[11] << 8), 0);
    EXPECT_EQ(m[16] | (m[17] << 8), 512);
  }
  EXPECT_EQ(info.firmwareKind, 2);
  EXPECT_EQ(info.firmwareVersion, 45);
}

TEST_F(AdapterStartup, AControllerTheProviderLacksIsSaidOnceAndReportedUnknown) {
  control::controlBlock.startupController = 5;
  control::controlBlock.controller = 5;
  for (int i = 0; i < 4; ++i) fake.replies.push_back(AdapterConf({}, 0x2002));
  testing_support::StdoutCapture capture;
  adapter::IdentifyAdapter("HOST");
  std::string output = capture.Take();
  const std::string line = "LINKSPY: The CAPI provider has no controller 5\n";
  ASSERT_NE(output.find(line), std::string::npos) << output;
  EXPECT_EQ(output.find(line), output.rfind(line)) << output;
  EXPECT_LT(output.find("Fileserver Time"), output.find(line));
  EXPECT_LT(output.find(line), output.find("Controller Number : 5\n"));
  ExpectReport(output, {"Adaptertype       : Unknown\n", "Version of QZ.BIN : Unknown\n",
                        "Line Interface    : Unknown\n", "D-Channel Protocol: Unknown\n"});
  EXPECT_EQ(fake.sent.size(), 4u);
  FILE* log = std::fopen("LINKSPY.LOG", "r");
  ASSERT_NE(log, nullptr);
  char buffer[2048] = {};
  size_t read = std::fread(buffer, 1, sizeof buffer - 1, log);
  std::fclose(log);
  EXPECT_NE(std::string(buffer, read).find(line), std::string::npos);
  control::controlBlock.startupController = 1;
  control::controlBlock.controller = 1;
}

TEST_F(AdapterStartup, NoAnswerAtAllGivesUnknownEverywhere) {
  adapter::adapterInfo.firmwareKind = 9;
  adapter::adapterInfo.firmwareVersion = 9;
  testing_support::StdoutCapture capture;
  adapter::IdentifyAdapter("HOST");
  std::string output = capture.Take();
  ExpectReport(output, {"Adaptertype       : Unknown\n", "Version of QZ.BIN : Unknown\n",
                        "Line Interface    : Unknown\n", "D-Channel Protocol: Unknown\n",
                        "Controller Number : 1\n"});
  EXPECT_EQ(info.firmwareKind, 0);
  EXPECT_EQ(info.firmwareVersion, 0);
  EXPECT_EQ(info.boardClass, 0);
  EXPECT_EQ(fake.waits, 4);
}

TEST_F(AdapterStartup, AQueryWhosePutFailedDoesNotWait) {
  fake.putResult = 0x1101;
  // A reply that is there would be taken by a query that waited.
  fake.replies = {AdapterConf(FirmwareReply(2, 45, 0, "late"))};
  testing_support::StdoutCapture capture;
  adapter::IdentifyAdapter("HOST");
  std::string output = capture.Take();
  EXPECT_EQ(fake.waits, 0);
  EXPECT_EQ(fake.replies.size(), 1u);
  EXPECT_EQ(fake.sent.size(), 4u);
  EXPECT_NE(output.find("ADAPTER_REQ: ReturnCode=1101\n"), std::string::npos) << output;
  ExpectReport(output, {"Adaptertype       : Unknown\n", "Version of QZ.BIN : Unknown\n",
                        "Line Interface    : Unknown\n", "D-Channel Protocol: Unknown\n"});
}

TEST_F(AdapterStartup, AReplyOfAnotherKindFailsTheQuery) {
  Bytes indication = AdapterConf(FirmwareReply(2, 45, 0, "QZ"));
  indication[4] = 0x19;
  indication[5] = 0x02;
  adapter::adapterInfo.firmwareKind = 5;
  fake.replies = {indication};
  testing_support::StdoutCapture quiet;
  adapter::QueryFirmwareVersion();
  EXPECT_STREQ(info.firmwareVersionText, "Unknown");
  EXPECT_EQ(info.firmwareKind, 0);
}

// --- Decoder selection and activation ---

}  // namespace
