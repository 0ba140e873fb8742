// Journal lines: the priority prefix of each line, carriage returns left out, code page 437
// as UTF-8, lines split over writes, a full output buffer, and how the journal is recognised.
#include "platform/linux/journal_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/journal_stream_internal.h"

namespace {

using platform::JournalLine;
using platform::Severity;

// Formats each piece in turn (as successive writes) through an output buffer of capacity.
std::string Format(JournalLine* line, Severity severity, const std::string& piece,
                   size_t capacity = 1024) {
  std::string out;
  char buffer[1024];
  size_t done = 0;
  while (done < piece.size()) {
    size_t produced = 0;
    size_t taken = platform::FormatJournalText(line, severity, piece.data() + done,
                                               piece.size() - done, buffer, capacity, &produced);
    EXPECT_TRUE(taken > 0 || produced > 0);
    if (taken == 0 && produced == 0) break;
    out.append(buffer, produced);
    done += taken;
  }
  return out;
}

TEST(JournalStream, EachLineCarriesItsPriorityWithoutCarriageReturns) {
  JournalLine line{};
  EXPECT_EQ(Format(&line, Severity::kInformation, "\rClean at shutdown\n"),
            "<6>Clean at shutdown\n");
  EXPECT_EQ(Format(&line, Severity::kWarning, "LINKSPY: Warning - Logfile in use!\r\n"),
            "<4>LINKSPY: Warning - Logfile in use!\n");
  // Several lines in one text, empty ones (also those of carriage returns only) dropped.
  EXPECT_EQ(Format(&line, Severity::kError,
                   "\nLINKSPY: Error open log file: A\n\r\nLINKSPY: "
                   "Error code: Is a directory\n\n"),
            "<3>LINKSPY: Error open log file: A\n<3>LINKSPY: Error code: Is a directory\n");
  EXPECT_EQ(Format(&line, Severity::kError, "GET_MESSAGE: Return\rCode=0x1108\n"),
            "<3>GET_MESSAGE: ReturnCode=0x1108\n");
  EXPECT_FALSE(line.open);
}

TEST(JournalStream, CodePageBytesAndControlsBecomeUtf8) {
  JournalLine line{};
  EXPECT_EQ(Format(&line, Severity::kInformation, ".a \xFD- caf\x82 \xC9\xCD\xBB\t\x01\x7F\n"),
            "<6>.a \xC2\xB2- caf\xC3\xA9 \xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\t\xE2\x98\xBA"
            "\xE2\x8C\x82\n");
}

TEST(JournalStream, LineWrittenInPiecesHasOnePrefixThePiecesFirst) {
  JournalLine line{};
  EXPECT_EQ(Format(&line, Severity::kInformation, "\r"), "");
  EXPECT_FALSE(line.open);
  EXPECT_EQ(Format(&line, Severity::kInformation, "Thread stopping ..."), "<6>Thread stopping ...");
  EXPECT_TRUE(line.open);
  EXPECT_EQ(Format(&line, Severity::kError, " GET_MESSAGE\r"), " GET_MESSAGE");
  EXPECT_EQ(Format(&line, Severity::kWarning, "\nnext"), "\n<4>next");
  EXPECT_EQ(Format(&line, Severity::kWarning, "\n"), "\n");
}

TEST(JournalStream, FullBufferTakesTheRestInTheNextCall) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "L2D \x82\x82\r\n\n";
  JournalLine whole{}, pieces{};
  std::string expected = Format(&whole, Severity::kWarning, text);
  EXPECT_EQ(Format(&pieces, Severity::kWarning, text, platform::kJournalMinRoom), expected);
  EXPECT_EQ(Format(&pieces, Severity::kWarning, text, platform::kJournalMinRoom + 1), expected);
  std::string one;
  for (int i = 0; i < 40; ++i) one += "<4>L2D \xC3\xA9\xC3\xA9\n";
  EXPECT_EQ(expected, one);
}

TEST(JournalStream, JournalIsRecognisedByDeviceAndInode) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  int fd = fileno(file);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  auto device = static_cast<unsigned long long>(status.st_dev);
  auto inode = static_cast<unsigned long long>(status.st_ino);
  std::string match = std::to_string(device) + ":" + std::to_string(inode);
  EXPECT_TRUE(platform::IsJournalStream(fd, match.c_str()));
  for (const std::string& other :
       {std::to_string(device) + ":" + std::to_string(inode + 1),
        std::to_string(device + 1) + ":" + std::to_string(inode), match + ":1", match + "x",
        std::string("garbage"), std::string("")}) {
    EXPECT_FALSE(platform::IsJournalStream(fd, other.c_str())) << other;
  }
  EXPECT_FALSE(platform::IsJournalStream(fd, nullptr));
  EXPECT_FALSE(platform::IsJournalStream(-1, match.c_str()));

  // Written to the descriptor: the lines as formatted.
  JournalLine line{};
  platform::WriteJournalText(fd, &line, Severity::kError, "\rlost\n\xFD", 7);
  platform::WriteJournalText(fd, &line, Severity::kInformation, "\n", 1);
  char read[64] = {};
  ASSERT_EQ(pread(fd, read, sizeof read, 0), 14);
  EXPECT_STREQ(read, "<3>lost\n<3>\xC2\xB2\n");
  std::fclose(file);
}

}  // namespace
