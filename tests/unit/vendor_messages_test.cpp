// The vendor message layouts byte by byte, and reading received messages only inside their
// stated length.
#include "capi/records/vendor_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capi/records/vendor_messages_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace capi;

TEST(VendorMessages, AdapterRequestLayout) {
  uint8_t m[kAdapterReqLength];
  std::memset(m, 0xAA, sizeof m);
  EXPECT_EQ(BuildAdapterRequest(m, 0x1234, 0x0102, 7, FIRMWARE_VERSION, 0, 0xDEADBEEF, 512), 18u);
  Bytes expected = {18, 0, 0x34, 0x12, 0x18, 0, 2, 1, 7, 6, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0, 2};
  EXPECT_EQ(Bytes(m, m + 18), expected);
  // The reply's echo of the number is read back at the same place.
  EXPECT_EQ(ReceivedMessageNumber(m, sizeof m), 0x0102);
  EXPECT_EQ(ReceivedMessageNumber(m, 7), 0);
}

TEST(VendorMessages, DebugRequestLayoutsAndLimits) {
  uint8_t m[64];
  const uint8_t download[] = {0x01};
  ASSERT_EQ(BuildDebugRequest(m, sizeof m, 3, 1, 1, download, 1), 12u);
  EXPECT_EQ(Bytes(m, m + 12), (Bytes{12, 0, 3, 0, 0x19, 0, 0, 0, 1, 1, 1, 1}));

  uint8_t payload[kMaxCommandTextLength + 2];
  size_t n = BuildCommandPayload(payload, "cmt l2");
  ASSERT_EQ(n, 8u);
  EXPECT_EQ(Bytes(payload, payload + n), (Bytes{2, 'c', 'm', 't', ' ', 'l', '2', 0}));
  EXPECT_EQ(BuildDebugRequest(m, sizeof m, 3, 0xFF, 1, payload, 8), 19u);
  EXPECT_EQ(m[0], 19);
  EXPECT_EQ(m[8], 0xFF);
  EXPECT_EQ(m[10], 8);
  EXPECT_EQ(std::memcmp(m + 11, payload, 8), 0);

  std::string line(39, 'm');
  EXPECT_EQ(BuildCommandPayload(payload, line.c_str()), 41u);
  EXPECT_EQ(BuildDebugRequest(m, sizeof m, 3, 1, 1, payload, 41), 52u);
  std::string longer(60, 'z');
  EXPECT_EQ(BuildCommandPayload(payload, longer.c_str()), 41u);
  EXPECT_EQ(payload[40], 0);
  EXPECT_EQ(BuildCommandPayload(payload, ""), 2u);

  // A message that does not fit its buffer is not built at all.
  std::memset(m, 0xAA, sizeof m);
  EXPECT_EQ(BuildDebugRequest(m, 18, 3, 1, 1, payload, 8), 0u);
  EXPECT_EQ(m[0], 0xAA);
}

// A received message: total length field stated, then the given bytes from offset 2 on,
// in a buffer as large as the provider's.
Bytes Received(uint16_t stated, const Bytes& rest, size_t size = kMaxReceivedMessageLength + 8) {
  Bytes m(size, 0x5A);
  m[0] = static_cast<uint8_t>(stated);
  m[1] = static_cast<uint8_t>(stated >> 8);
  std::copy(rest.begin(), rest.end(), m.begin() + 2);
  return m;
}

// What the provider hands over whole: as much as the message's own length word says.
constexpr size_t kWhole = kMaxReceivedMessageLength;

TEST(VendorMessages, ReadsStayInsideTheStatedLength) {
  EXPECT_EQ(ReceivedLength(nullptr, kWhole), 0u);
  EXPECT_EQ(ReceivedByte(nullptr, kWhole, 0), 0);
  Bytes m = Received(6, {1, 0, 0x19, 0x02});
  EXPECT_EQ(ReceivedLength(m.data(), kWhole), 6u);
  EXPECT_EQ(ReceivedByte(m.data(), kWhole, 5), 0x02);
  EXPECT_EQ(ReceivedByte(m.data(), kWhole, 6), 0);  // 0x5A lies there, beyond the message
  EXPECT_EQ(ReceivedWord(m.data(), kWhole, 4), 0x0219);
  EXPECT_EQ(ReceivedWord(m.data(), kWhole, 5), 0);  // straddles the end
  EXPECT_TRUE(IsMessageOfKind(m.data(), kWhole, 0x19, 0x02));
  EXPECT_FALSE(IsMessageOfKind(m.data(), kWhole, 0x19, 0x01));

  // Command bytes beyond a lying short length are not looked at.
  Bytes shortOne = Received(5, {1, 0, 0x19, 0x02});
  EXPECT_FALSE(IsMessageOfKind(shortOne.data(), kWhole, 0x19, 0x02));
  Bytes empty = Received(0, {1, 0, 0x19, 0x02});
  EXPECT_EQ(ReceivedByte(empty.data(), kWhole, 0), 0);

  // A length beyond what the provider keeps readable is capped.
  Bytes huge = Received(0xFFFF, {});
  EXPECT_EQ(ReceivedLength(huge.data(), kWhole), kMaxReceivedMessageLength);
  EXPECT_EQ(ReceivedByte(huge.data(), kWhole, kMaxReceivedMessageLength - 1), 0x5A);
  EXPECT_EQ(ReceivedByte(huge.data(), kWhole, kMaxReceivedMessageLength), 0);
}

TEST(VendorMessages, ReadsStayInsideWhatArrived) {
  // The length word claims 300 bytes; 7 arrived, and what lies behind them is not this
  // message's.
  Bytes m = Received(300, {1, 0, 0x19, 0x02, 0, 0});
  EXPECT_EQ(ReceivedLength(m.data(), 7), 7u);
  EXPECT_EQ(ReceivedByte(m.data(), 7, 6), 0);
  EXPECT_EQ(ReceivedWord(m.data(), 7, 6), 0);
  EXPECT_EQ(ReceivedByte(m.data(), 9, 8), 0x5A);
  EXPECT_FALSE(IsMessageOfKind(m.data(), 5, 0x19, 0x02));
  EXPECT_TRUE(IsMessageOfKind(m.data(), 6, 0x19, 0x02));
  // Not even the length word arrived: nothing is read, not even it.
  EXPECT_EQ(ReceivedLength(m.data(), 1), 0u);
  EXPECT_EQ(ReceivedLength(m.data(), 0), 0u);
}

TEST(VendorMessages, DebugIndicationTextLengthAboveLimitReadsAsUnsignedCount) {
  Bytes m = Received(20, {1, 0, 0x19, 0x02, 0, 0, 0, 1, 200});
  EXPECT_EQ(ReceivedByte(m.data(), kWhole, 10), 200);
  // The text bytes past the stated length read as 0, however long the count claims.
  EXPECT_EQ(ReceivedByte(m.data(), kWhole, kDebugIndTextOffset + 6), 0x5A);
  EXPECT_EQ(ReceivedByte(m.data(), kWhole, kDebugIndTextOffset + 7), 0);
}

// An ADAPTER_CONF of stated length with data length and address fields and inline bytes.
Bytes Conf(uint16_t stated, uint16_t dataLength, uint32_t address, const Bytes& data) {
  Bytes rest(16, 0);
  rest[2] = 0x18;
  rest[3] = 0x01;
  rest[8] = static_cast<uint8_t>(dataLength);
  rest[9] = static_cast<uint8_t>(dataLength >> 8);
  for (int i = 0; i < 4; ++i) rest[10 + i] = static_cast<uint8_t>(address >> (8 * i));
  rest.insert(rest.end(), data.begin(), data.end());
  return Received(stated, rest);
}

class ConfData : public testing::Test {
 protected:
  void SetUp() override { std::memset(info, 0xEE, sizeof info); }
  // Takes the reply's data where no provider can place data in this process.
  int Take(const Bytes& m) { return TakeAdapterConfData(m.data(), kWhole, nullptr, info); }
  uint8_t info[kInfoBufferSize];
  static constexpr uint32_t kToken = 0x00C0FFEE;
};

TEST_F(ConfData, InlineDataIsCopiedWithinTheMessage) {
  Bytes m = Conf(21, 3, 0, {1, 2, 3});
  EXPECT_EQ(Take(m), 3);
  EXPECT_EQ(Bytes(info, info + 4), (Bytes{1, 2, 3, 0xEE}));

  // A data length larger than what the message holds: only the bytes inside it are taken.
  std::memset(info, 0xEE, sizeof info);
  m = Conf(20, 300, 0, {7, 8, 9, 9});
  EXPECT_EQ(Take(m), 2);
  EXPECT_EQ(Bytes(info, info + 3), (Bytes{7, 8, 0xEE}));
}

TEST_F(ConfData, LongDataIsCutAtTheBufferSize) {
  Bytes data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  uint8_t guarded[kInfoBufferSize + 16];
  std::memset(guarded, 0xEE, sizeof guarded);
  auto& buffer = *reinterpret_cast<uint8_t(*)[kInfoBufferSize]>(guarded);
  Bytes m = Conf(18 + 600, 600, 0, data);
  EXPECT_EQ(TakeAdapterConfData(m.data(), kWhole, nullptr, buffer), 512);
  EXPECT_EQ(guarded[511], static_cast<uint8_t>(511));
  EXPECT_EQ(guarded[512], 0xEE);
}

TEST_F(ConfData, EmptyEchoedForeignAndShortReplies) {
  Bytes m = Conf(18, 0, 0, {});
  EXPECT_EQ(Take(m), 0);
  EXPECT_EQ(info[0], 0xEE);

  // Where no provider can place data here, an address brings none: inline data or nothing.
  m = Conf(22, 4, kToken, {1, 2, 3, 4});
  EXPECT_EQ(Take(m), 4);
  EXPECT_EQ(info[3], 4);
  std::memset(info, 0xEE, sizeof info);
  m = Conf(18, 4, kToken, {1, 2, 3, 4});
  EXPECT_EQ(Take(m), -1);
  m = Conf(18, 4, 0x7FFF0000, {1, 2, 3, 4});
  EXPECT_EQ(Take(m), -1);
  EXPECT_EQ(info[0], 0xEE);

  // Too short to hold the data address: unusable, whatever the bytes beyond say.
  m = Conf(15, 4, 0, {1, 2, 3, 4});
  EXPECT_EQ(Take(m), -1);
  m = Conf(16, 4, 0, {1, 2, 3, 4});
  EXPECT_EQ(Take(m), 0);
  EXPECT_EQ(info[0], 0xEE);
}

}  // namespace
