// Code page 437: each byte shown as its character, and typed characters mapped back.
#include "platform/linux/cp437.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodePage437, BytesShowAsTheirCharactersAndTypedCharactersMapBack) {
  char out[platform::kMaxUtf8Length];
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8(0xFD, out)), "\u00b2");
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8(0xC9, out)), "\u2554");
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8(0x81, out)), "\u00fc");
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8('A', out)), "A");
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8('\n', out)), "\n");
  EXPECT_EQ(std::string(out, platform::Cp437ToUtf8(0x10, out)), "\u25ba");
  for (int byte = 0x80; byte < 0x100; ++byte) {
    EXPECT_EQ(platform::UnicodeToCp437(platform::kCp437ToUnicode[byte]), byte) << byte;
  }
  EXPECT_EQ(platform::UnicodeToCp437(U'\u20ac'), '?');
}

}  // namespace
