// Tests of the escape sequences of the cursor and page keys: CSI and SS3, with and without
// modifiers, and the sequences that are no such key.
#include "platform/linux/escape_keys.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"

namespace {

// The key of a whole sequence fed a byte at a time, as the reader does; kSequenceGoesOn when
// it never ends.
int Decode(const std::string& tail) {
  for (size_t length = 1; length <= tail.size(); ++length) {
    int key =
        platform::DecodeEscapeTail(reinterpret_cast<const unsigned char*>(tail.data()), length);
    if (key != platform::kSequenceGoesOn) return length == tail.size() ? key : -100;
  }
  return platform::kSequenceGoesOn;
}

TEST(EscapeKeys, CursorKeysInCsiAndSs3FormWithAndWithoutModifiers) {
  EXPECT_EQ(Decode("[A"), platform::kKeyUp);
  EXPECT_EQ(Decode("[B"), platform::kKeyDown);
  EXPECT_EQ(Decode("OA"), platform::kKeyUp);
  EXPECT_EQ(Decode("OB"), platform::kKeyDown);
  EXPECT_EQ(Decode("[1;5A"), platform::kKeyUp);
  EXPECT_EQ(Decode("[1;2B"), platform::kKeyDown);
  EXPECT_EQ(Decode("[H"), platform::kKeyHome);
  EXPECT_EQ(Decode("[F"), platform::kKeyEnd);
  EXPECT_EQ(Decode("OH"), platform::kKeyHome);
  EXPECT_EQ(Decode("OF"), platform::kKeyEnd);
  EXPECT_EQ(Decode("[1;3H"), platform::kKeyHome);
}

TEST(EscapeKeys, TildeFormsByTheirNumberWithAndWithoutModifiers) {
  EXPECT_EQ(Decode("[1~"), platform::kKeyHome);
  EXPECT_EQ(Decode("[4~"), platform::kKeyEnd);
  EXPECT_EQ(Decode("[5~"), platform::kKeyPageUp);
  EXPECT_EQ(Decode("[6~"), platform::kKeyPageDown);
  EXPECT_EQ(Decode("[7~"), platform::kKeyHome);
  EXPECT_EQ(Decode("[8~"), platform::kKeyEnd);
  EXPECT_EQ(Decode("[5;2~"), platform::kKeyPageUp);
  EXPECT_EQ(Decode("[6;5~"), platform::kKeyPageDown);
  EXPECT_EQ(Decode("[2~"), platform::kKeyUnnamed);   // Insert
  EXPECT_EQ(Decode("[3~"), platform::kKeyUnnamed);   // Delete
  EXPECT_EQ(Decode("[15~"), platform::kKeyUnnamed);  // F5
}

TEST(EscapeKeys, OtherSequencesAreUnnamedAndUnfinishedOnesGoOn) {
  EXPECT_EQ(Decode("[C"), platform::kKeyUnnamed);
  EXPECT_EQ(Decode("OP"), platform::kKeyUnnamed);   // F1
  EXPECT_EQ(Decode("[[A"), platform::kKeyUnnamed);  // F1 on the Linux console
  EXPECT_EQ(Decode("x"), platform::kKeyUnnamed);    // Alt and a key
  EXPECT_EQ(Decode("[1;5"), platform::kSequenceGoesOn);
  EXPECT_EQ(Decode("["), platform::kSequenceGoesOn);
  EXPECT_EQ(Decode("[\x01"), platform::kKeyUnnamed);
  EXPECT_EQ(Decode("[" + std::string(platform::kMaxEscapeTail, '1')), platform::kKeyUnnamed);
}

}  // namespace
