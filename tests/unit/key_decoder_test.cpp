// The terminal's bytes into keys: characters, bad bytes, escape sequences, unfinished keys.
#include "platform/linux/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console.h"

namespace {

// The keys that bytes give, one after another, with the key under way at their end ended.
std::vector<int> Decode(const std::string& bytes) {
  platform::KeyDecoder decoder{};
  std::vector<int> keys;
  int out[platform::kMaxKeysPerByte];
  for (char byte : bytes) {
    int count = platform::DecodeKeyByte(&decoder, static_cast<unsigned char>(byte), out);
    keys.insert(keys.end(), out, out + count);
  }
  int count = platform::EndKeyBytes(&decoder, out);
  keys.insert(keys.end(), out, out + count);
  EXPECT_FALSE(platform::KeyUnderWay(decoder));
  return keys;
}

std::vector<int> Keys(const std::string& text) {
  return std::vector<int>(text.begin(), text.end());
}

TEST(KeyDecoder, ABadByteGivesOneQuestionMarkAndTheNextKeyIsReadAsTyped) {
  EXPECT_EQ(Decode("\xC3\r"), Keys("?\r"));
  EXPECT_EQ(Decode("l\xE4\xF6\xFC x"), Keys("l??? x"));
  EXPECT_EQ(Decode("\xE4\xB8x"), Keys("??x"));  // two bytes of a character never finished
  EXPECT_EQ(Decode("\xBF\xC0\xAF\xF5\xFF"), Keys("?????"));
  // Overlong forms, a surrogate and a character beyond U+10FFFF are no valid sequences.
  EXPECT_EQ(Decode("\xE0\x80\x80"), Keys("???"));
  EXPECT_EQ(Decode("\xED\xA0\x80"), Keys("???"));
  EXPECT_EQ(Decode("\xF4\x90\x80\x80"), Keys("????"));
  EXPECT_EQ(Decode("\xF0\x9F\x98"), Keys("???"));  // cut short at the end
  EXPECT_EQ(Decode("\xC3\x03"), Keys("?\x03"));    // Ctrl-C after a bad byte still counts
}

TEST(KeyDecoder, CharactersBecomeTheirCodePageByte) {
  EXPECT_EQ(Decode("a\xC3\xA9\xC2\xB2"), (std::vector<int>{'a', 0x82, 0xFD}));
  EXPECT_EQ(Decode("\xE2\x95\x94"), std::vector<int>{0xC9});
  // Valid characters that the code page lacks: one '?' each, not one a byte.
  EXPECT_EQ(Decode("\xE2\x82\xAC\xF0\x9F\x98\x80x"), Keys("??x"));
  EXPECT_EQ(Decode("\x7F\x08\x10"), (std::vector<int>{0x08, 0x08, 0x10}));
}

TEST(KeyDecoder, AnEscapeSequenceIsOneKey) {
  EXPECT_EQ(Decode("\x1B[D!"), Keys("\x1B!"));
  EXPECT_EQ(Decode("\x1B[5~\x1BOH"), (std::vector<int>{platform::kKeyPageUp, platform::kKeyHome}));
  EXPECT_EQ(Decode("\x1B[1;5Bx\x1B[6;2~"),
            (std::vector<int>{platform::kKeyDown, 'x', platform::kKeyPageDown}));
  EXPECT_EQ(Decode("\x1B[" + std::string(20, '1') + "~"), Keys("\x1B"));  // too long for a key
  EXPECT_EQ(Decode("\x1B[200~l2d\x1B[201~"), Keys("\x1Bl2d\x1B"));        // a bracketed paste
  EXPECT_EQ(Decode("\x1B"), Keys("\x1B"));
  EXPECT_EQ(Decode("\x1Bx"), Keys("\x1Bx"));
  // A sequence broken off: the byte that breaks it is a key of its own.
  EXPECT_EQ(Decode("\x1B[1\r"), Keys("\x1B\r"));
  EXPECT_EQ(Decode("\x1B[1"), Keys("\x1B"));
}

}  // namespace
