// Tests of the escape sequences of the cursor and page keys: CSI and SS3, with and without
// modifiers, and the sequences that are no such key.
#include "platform/linux/escape_keys.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"

namespace {

// The key of a whole sequence after its Esc.
int Key(const std::string& sequence) {
  return platform::EscapeSequenceKey(reinterpret_cast<const unsigned char*>(sequence.data()),
                                     sequence.size());
}

TEST(EscapeKeys, CursorKeysInCsiAndSs3FormWithAndWithoutModifiers) {
  EXPECT_EQ(Key("[A"), platform::kKeyUp);
  EXPECT_EQ(Key("[B"), platform::kKeyDown);
  EXPECT_EQ(Key("OA"), platform::kKeyUp);
  EXPECT_EQ(Key("OB"), platform::kKeyDown);
  EXPECT_EQ(Key("[1;5A"), platform::kKeyUp);
  EXPECT_EQ(Key("[1;2B"), platform::kKeyDown);
  EXPECT_EQ(Key("[H"), platform::kKeyHome);
  EXPECT_EQ(Key("[F"), platform::kKeyEnd);
  EXPECT_EQ(Key("OH"), platform::kKeyHome);
  EXPECT_EQ(Key("OF"), platform::kKeyEnd);
  EXPECT_EQ(Key("[1;3H"), platform::kKeyHome);
}

TEST(EscapeKeys, TildeFormsByTheirNumberWithAndWithoutModifiers) {
  EXPECT_EQ(Key("[1~"), platform::kKeyHome);
  EXPECT_EQ(Key("[4~"), platform::kKeyEnd);
  EXPECT_EQ(Key("[5~"), platform::kKeyPageUp);
  EXPECT_EQ(Key("[6~"), platform::kKeyPageDown);
  EXPECT_EQ(Key("[7~"), platform::kKeyHome);
  EXPECT_EQ(Key("[8~"), platform::kKeyEnd);
  EXPECT_EQ(Key("[5;2~"), platform::kKeyPageUp);
  EXPECT_EQ(Key("[6;5~"), platform::kKeyPageDown);
  EXPECT_EQ(Key("[2~"), platform::kKeyUnnamed);    // Insert
  EXPECT_EQ(Key("[3~"), platform::kKeyUnnamed);    // Delete
  EXPECT_EQ(Key("[15~"), platform::kKeyUnnamed);   // F5
  EXPECT_EQ(Key("[201~"), platform::kKeyUnnamed);  // the end of a bracketed paste
}

TEST(EscapeKeys, OtherSequencesAreUnnamed) {
  EXPECT_EQ(Key("[C"), platform::kKeyUnnamed);
  EXPECT_EQ(Key("OP"), platform::kKeyUnnamed);  // F1
  EXPECT_EQ(Key("O5~"), platform::kKeyUnnamed);
  EXPECT_EQ(Key("["), platform::kKeyUnnamed);
  EXPECT_EQ(Key("[1;5"), platform::kKeyUnnamed);
  EXPECT_EQ(Key("x"), platform::kKeyUnnamed);
  EXPECT_EQ(Key("[\x01"
                "A"),
            platform::kKeyUnnamed);
  EXPECT_EQ(Key("[" + std::string(platform::kMaxEscapeSequence, '1') + "A"), platform::kKeyUnnamed);
}

}  // namespace
