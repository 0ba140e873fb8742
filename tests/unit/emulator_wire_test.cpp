// qz7emu's wire code: frames split anywhere, the layouts of what it sends, adapter settings.
#include <gtest/gtest.h>

#include <string>

#include "emulator/adapter_profile.h"
#include "emulator/standard_requests.h"
#include "emulator/wire.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(EmulatorFrames, TakesFramesFedOneByteAtATime) {
  std::string stream = emu::Frame("abc") + emu::Frame("") + emu::Frame(std::string(300, 'x'));
  std::string buffer, message;
  std::vector<std::string> got;
  bool bad = false;
  for (char c : stream) {
    buffer.push_back(c);
    while (emu::TakeFrame(buffer, message, bad)) got.push_back(message);
    ASSERT_FALSE(bad);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "abc");
  EXPECT_EQ(got[1], "");
  EXPECT_EQ(got[2], std::string(300, 'x'));
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(emu::Frame(std::string(298, 'y')).substr(0, 2), Bytes({0x01, 0x2C}));
}

TEST(EmulatorFrames, FrameLengthBelowTwoIsBad) {
  for (int length : {0, 1}) {
    std::string buffer = Bytes({0, length, 7, 7}), message;
    bool bad = false;
    EXPECT_FALSE(emu::TakeFrame(buffer, message, bad));
    EXPECT_TRUE(bad);
  }
}

TEST(EmulatorLayouts, AdapterConfCarriesItsDataInline) {
  std::string m = emu::AdapterConf(0x0102, 0x0304, 1, 6, 0x2001, "DATA");
  EXPECT_EQ(m, Bytes({22, 0, 2, 1, 0x18, 0x01, 4, 3, 1, 6, 4, 0, 0, 0, 0, 0, 0x01, 0x20}) + "DATA");
}

TEST(EmulatorLayouts, DebugIndCutsTextsPast255Bytes) {
  std::string m = emu::DebugInd(0xFF, "12:00:00.000 L2D x");
  EXPECT_EQ(m.substr(0, 13), Bytes({31, 0, 0, 0, 0x19, 0x02, 0, 0, 0xFF, 1, 18, 0, 0}));
  EXPECT_EQ(m.substr(13), "12:00:00.000 L2D x");
  std::string long_ = emu::DebugInd(1, std::string(300, 'z'));
  EXPECT_EQ(long_.size(), 13u + 255u);
  EXPECT_EQ(static_cast<uint8_t>(long_[10]), 255);
}

TEST(EmulatorLayouts, WireRepliesPlaceDataWhereTheLibraryReadsIt) {
  std::string manufacturer = emu::WireReply(emu::kCmdManufacturer, "qz7");
  EXPECT_EQ(manufacturer.substr(4, 2), Bytes({0xFB, 0xFF}));
  EXPECT_EQ(manufacturer.substr(9), "qz7");
  std::string profile = emu::WireReply(emu::kCmdProfile, "P");
  EXPECT_EQ(profile.substr(4, 2), Bytes({0xE1, 0xFF}));
  EXPECT_EQ(profile.substr(8), Bytes({0, 0}) + "P");
  EXPECT_EQ(emu::RegisterConf(5, 0x1001), Bytes({10, 0, 5, 0, 0xF3, 0xFF, 0, 0, 0x01, 0x10}));
}

// A standard request: header (ApplID 0x0102, message number 0x0304), address, then the rest.
std::string Request(int command, uint32_t address, const std::string& rest) {
  std::string m = Bytes({12 + static_cast<int>(rest.size()), 0, 2, 1, command, 0x80, 4, 3,
                         static_cast<int>(address & 0xFF), static_cast<int>(address >> 8 & 0xFF),
                         static_cast<int>(address >> 16 & 0xFF), static_cast<int>(address >> 24)});
  return m + rest;
}

TEST(EmulatorStandardRequests, GetSupportedServicesIsConfirmedByteForByte) {
  // FACILITY_REQ to controller 1, selector 3, parameter: function 0 and an empty struct.
  emu::StandardAnswer a =
      emu::ConfirmStandardRequest(Request(0x80, 1, Bytes({3, 0, 3, 0, 0, 0})), true);
  EXPECT_STREQ(a.name, "FACILITY_REQ");
  EXPECT_EQ(a.info, 0);
  EXPECT_EQ(a.conf,
            Bytes({26, 0, 2, 1, 0x80, 0x81, 4, 3,           // header
                   1,  0, 0, 0,                             // controller
                   0,  0,                                   // Info
                   3,  0,                                   // supplementary services
                   9,  0, 0, 6, 0,    0,    0, 0, 0, 0}));  // function 0, its Info, no service
  // With no supplementary services the profile does not claim them.
  EXPECT_EQ(emu::kProfileGlobalOptions & 0x0010, 0u);
}

TEST(EmulatorStandardRequests, EveryRequestGetsItsConfirmation) {
  auto info = [](const std::string& conf) { return emu::GetU16(conf, 12); };
  emu::StandardAnswer listen = emu::ConfirmStandardRequest(
      Request(0x05, 1, Bytes({0xFF, 3, 0, 0, 0xFF, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0})), true);
  EXPECT_EQ(listen.conf, Bytes({14, 0, 2, 1, 0x05, 0x81, 4, 3, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(info(emu::ConfirmStandardRequest(Request(0x02, 1, ""), true).conf), 0x2003);
  EXPECT_EQ(info(emu::ConfirmStandardRequest(Request(0x05, 2, ""), false).conf), 0x2002);
  EXPECT_EQ(info(emu::ConfirmStandardRequest(Request(0x04, 0x101, ""), true).conf), 0x2002);
  // Another facility (DTMF), and another supplementary service (Hold).
  EXPECT_EQ(emu::ConfirmStandardRequest(Request(0x80, 1, Bytes({1, 0, 0})), true).conf.substr(12),
            Bytes({0x0B, 0x30, 1, 0, 0}));
  EXPECT_EQ(emu::ConfirmStandardRequest(Request(0x80, 1, Bytes({3, 0, 3, 2, 0, 0})), true)
                .conf.substr(12),
            Bytes({0, 0, 3, 0, 5, 2, 0, 2, 0x0E, 0x30}));
  // DATA_B3_CONF carries the request's data handle before its Info.
  std::string data = Request(0x86, 0x10101, Bytes({0, 0, 0, 0, 4, 0, 0x34, 0x12, 0, 0}));
  EXPECT_EQ(emu::ConfirmStandardRequest(data, true).conf.substr(12), Bytes({0x34, 0x12, 2, 0x20}));
  // MANUFACTURER_CONF echoes manufacturer, class and function, and carries no Info.
  emu::StandardAnswer manufacturer = emu::ConfirmStandardRequest(
      Request(0xFF, 1, Bytes({'q', 'z', '7', 0, 1, 0, 0, 0, 2, 0, 0, 0, 0})), true);
  EXPECT_EQ(manufacturer.info, -1);
  EXPECT_EQ(manufacturer.conf.substr(12), Bytes({'q', 'z', '7', 0, 1, 0, 0, 0, 2, 0, 0, 0, 0}));
  // The vendor commands and those CAPI 2.0 does not define are not standard requests.
  for (int command : {0x18, 0x19, 0x03, 0x42})
    EXPECT_EQ(emu::ConfirmStandardRequest(Request(command, 1, ""), true).name, nullptr);
}

TEST(EmulatorLayouts, TraceHeadIsThirteenCharacters) {
  std::string head = emu::TraceHead();
  ASSERT_EQ(head.size(), 13u);
  EXPECT_EQ(head[2], ':');
  EXPECT_EQ(head[8], '.');
  EXPECT_EQ(head[12], ' ');
}

TEST(EmulatorHex, ParsesAndRefuses) {
  std::string bytes;
  EXPECT_TRUE(emu::ParseHex("00 0x1f ABcd", bytes));
  EXPECT_EQ(bytes, Bytes({0, 0x1F, 0xAB, 0xCD}));
  EXPECT_EQ(emu::ToHex(bytes), "00 1f ab cd");
  EXPECT_FALSE(emu::ParseHex("0 1", bytes));
  EXPECT_FALSE(emu::ParseHex("abc", bytes));
  EXPECT_FALSE(emu::ParseHex("zz", bytes));
}

TEST(EmulatorProfile, SettingsForAllOrOneController) {
  emu::AdapterSet set;
  EXPECT_EQ(emu::ApplySetting(set, "controllers=3"), "");
  EXPECT_EQ(emu::ApplySetting(set, "memory=16"), "");
  EXPECT_EQ(emu::ApplySetting(set, "2.board_flags = 0x04"), "");
  EXPECT_EQ(emu::ApplySetting(set, "3.version_text=qz7 PRI"), "");
  EXPECT_EQ(set.count, 3);
  EXPECT_EQ(set.profiles[1].memoryMb, 16);
  EXPECT_EQ(set.profiles[3].memoryMb, 16);
  EXPECT_EQ(set.profiles[1].boardFlags, 0);
  EXPECT_EQ(set.profiles[2].boardFlags, 4);
  EXPECT_EQ(set.profiles[3].versionText, "qz7 PRI");
  EXPECT_NE(emu::ApplySetting(set, "kind=256"), "");
  EXPECT_NE(emu::ApplySetting(set, "kind=-1"), "");
  EXPECT_NE(emu::ApplySetting(set, "17.kind=1"), "");
  EXPECT_NE(emu::ApplySetting(set, "0.kind=1"), "");
  EXPECT_NE(emu::ApplySetting(set, "controllers=0"), "");
  EXPECT_NE(emu::ApplySetting(set, "colour=blue"), "");
  EXPECT_NE(emu::ApplySetting(set, "kind"), "");
}

TEST(EmulatorProfile, ReplyDataAtTheDecodedOffsets) {
  emu::AdapterProfile p;
  p.lineFlags = 0x0112;
  p.teiByte = 0x85;
  p.trunkFlags = 0x02;
  p.boardFlags = 0x06;
  p.versionText = std::string(200, 'v');
  std::string data;
  ASSERT_TRUE(emu::ReplyData(p, 2, data));
  EXPECT_EQ(data, Bytes({0x12, 0x01, 1, 0x85}));
  ASSERT_TRUE(emu::ReplyData(p, 4, data));
  EXPECT_EQ(data, Bytes({1, 3, 4, 0, 0, 0, 0, 2}));
  ASSERT_TRUE(emu::ReplyData(p, 6, data));
  EXPECT_EQ(data.substr(0, 13), Bytes({3, 5, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 200}));
  EXPECT_EQ(data.substr(13), std::string(200, 'v'));
  EXPECT_FALSE(emu::ReplyData(p, 3, data));
}

}  // namespace
