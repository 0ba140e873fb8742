// Tests of trace indication handling: which messages become lines, how a line is cut and
// prefixed, what reaches the log and the screen, and that the path allocates nothing.
#include "output/trace_indication.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/trace_screen.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"
#include "support/test_messages.h"

// Every allocation through operator new in this program is counted.
namespace {
std::atomic<long> allocationCount{0};
}

void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++allocationCount;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

namespace fs = std::filesystem;
using control::controlBlock;
using testing_support::DebugInd;
using testing_support::DebugMessage;
using testing_support::StdoutCapture;

// A text whose task position (its 14th character) holds task.
std::string AtTask(const std::string& task) {
  return "12:00:00.000 " + task;
}

std::string ReadFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Each test runs in a fresh temporary working directory, with the output region at row 0.
class TraceIndicationTest : public testing_support::TemporaryFolderTest {
 protected:
  // Handles the message; returns what reached standard output.
  static std::string Handle(const std::vector<uint8_t>& message) {
    return HandleArrived(message, message.size());
  }
  // Handles the message of which only the first arrived bytes came, as a pass of its own.
  static std::string HandleArrived(const std::vector<uint8_t>& message, size_t arrived) {
    StdoutCapture capture;
    output::HandleDebugIndication(message.data(), arrived);
    output::LogPass();
    return capture.Take();
  }
  static std::string Log() { return ReadFile("LINKSPY.LOG"); }
  static int Row() { return controlBlock.currentRow.load(); }

  // Expects the text to be shown and logged as line (the log with its line end).
  void ExpectShown(const std::string& text, const std::string& line) {
    int row = Row();
    std::string before = Log();
    EXPECT_EQ(Handle(DebugInd(text)), "");
    EXPECT_EQ(Row(), row + 1) << text;
    EXPECT_EQ(std::string(output::displayLine), line);
    EXPECT_EQ(Log(), before + line + "\n");
  }
  // Expects the text to be dropped: nothing logged, nothing shown.
  void ExpectDropped(const std::string& text) {
    int row = Row();
    std::string before = Log();
    EXPECT_EQ(Handle(DebugInd(text)), "");
    EXPECT_EQ(Row(), row) << text;
    EXPECT_EQ(Log(), before) << text;
  }
};

TEST_F(TraceIndicationTest, OtherMessageIsReportedLoggedAndNotShown) {
  const std::string line = "\rWrong message received: com=18,subcom=1\n";
  EXPECT_EQ(Handle(DebugMessage(0x18, 0x01, 1, 1, 3, "abc")), line);
  EXPECT_EQ(Log(), line);
  EXPECT_EQ(Row(), 0);
  EXPECT_EQ(Handle(DebugMessage(0x19, 0x82, 1, 1, 3, "abc")),
            "\rWrong message received: com=19,subcom=82\n");
}

TEST_F(TraceIndicationTest, MessageWithoutTextProducesNothing) {
  EXPECT_EQ(Handle(DebugMessage(0x19, 0x02, 1, 0, 20, AtTask("L2 something"))), "");
  EXPECT_FALSE(fs::exists("LINKSPY.LOG"));
  EXPECT_EQ(Row(), 0);
}

TEST_F(TraceIndicationTest, EmptyTextAddsNothingToTheLogButTakesARow) {
  EXPECT_EQ(Handle(DebugInd("")), "");
  EXPECT_TRUE(fs::exists("LINKSPY.LOG"));
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Row(), 1);
  EXPECT_EQ(std::string(output::displayLine), "");
}

TEST_F(TraceIndicationTest, ControlBytesShowAsDotsAndEachTextIsOneLogLine) {
  ExpectShown("first", "first");
  // A line end that closes the text is its own line end; one inside it is shown.
  ExpectShown("second\r\n", "second");
  ExpectShown("third\n\nx", "third..x");
  // A line end inside cannot forge a log line, nor an escape sequence act on a terminal.
  ExpectShown(AtTask("L2 a\nxx/xx/xxxx Program unloaded"),
              AtTask("L2 a.xx/xx/xxxx Program unloaded"));
  ExpectShown(std::string("\x1b[2J\r\t\x01\x1f\x7f \x80\xb2~"), ".[2J..... \x80\xb2~");
  EXPECT_EQ(Log().find('\r'), std::string::npos);
  // The cut rules count the stand-ins as the bytes they replace.
  std::string text(100, '\x01');
  ExpectShown(text, std::string(79, '.'));
  controlBlock.showControllerNo = 1;
  ExpectShown(text, "C1 " + std::string(76, '.'));
}

TEST_F(TraceIndicationTest, LongTextsAreCutAt79OrAt76BehindTheControllerPrefix) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += static_cast<char>('0' + i % 10);
  ExpectShown(text, text.substr(0, 79));

  controlBlock.showControllerNo = 1;
  ExpectShown(text, "C1 " + text.substr(0, 76));
  ExpectShown("short", "C1 short");
  // The controller byte is signed: 0xFF shows as -1, widening the prefix.
  int row = Row();
  Handle(DebugInd(text, 0xFF));
  EXPECT_EQ(std::string(output::displayLine), "C-1 " + text.substr(0, 76));
  EXPECT_EQ(Row(), row + 1);
}

TEST_F(TraceIndicationTest, LengthByteIsAnUnsignedCountBoundedByTheMessage) {
  std::string text(200, 'u');
  ExpectShown(text, text.substr(0, 79));
  // A length byte that claims more than the message holds reads only what is there.
  int row = Row();
  Handle(DebugMessage(0x19, 0x02, 1, 1, 120, "only twenty bytes..."));
  EXPECT_EQ(std::string(output::displayLine), "only twenty bytes...");
  EXPECT_EQ(Row(), row + 1);
}

TEST_F(TraceIndicationTest, ReadsStopWhereTheBytesThatArrivedEnd) {
  // The provider's buffer still holds a long message when a short one that claims as much
  // (length word and text length) arrives over it: only the short one's own bytes are shown.
  std::vector<uint8_t> buffer = DebugInd(AtTask("L2D GOOD 000001 SECRET"));
  std::vector<uint8_t> shortOne = DebugInd("abc");
  std::copy(shortOne.begin() + 2, shortOne.end(), buffer.begin() + 2);
  buffer[10] = static_cast<uint8_t>(buffer.size() - 13);
  int row = Row();
  std::string before = Log();
  EXPECT_EQ(HandleArrived(buffer, shortOne.size()), "");
  EXPECT_EQ(std::string(output::displayLine), "abc");
  EXPECT_EQ(Log(), before + "abc\n");
  EXPECT_EQ(Row(), row + 1);
  // Nor do the task tests look beyond them: a suppressed text cut before its task position
  // is an ordinary short text.
  buffer = DebugInd(AtTask("DBG on"));
  EXPECT_EQ(HandleArrived(buffer, 13 + 5), "");
  EXPECT_EQ(std::string(output::displayLine), "12:00");
  // A message whose subcommand did not arrive is not taken for a DEBUG_IND.
  EXPECT_EQ(HandleArrived(buffer, 5), "\rWrong message received: com=19,subcom=0\n");
}

TEST_F(TraceIndicationTest, EmbeddedZeroCutsTheLineButNotTheTaskTests) {
  std::string text = AtTask("L2 layer two");
  text[5] = '\0';
  ExpectShown(text, "12:00");
  std::string internal = AtTask("DBG internal");
  internal[5] = '\0';
  ExpectDropped(internal);
}

TEST_F(TraceIndicationTest, InternalTextsAtTheTaskPositionAreDropped) {
  ExpectDropped(AtTask("CMT got debugReq 4"));
  ExpectDropped(AtTask("CMT ascii 0a 0d"));
  ExpectDropped(AtTask("DBG on"));
  ExpectShown(AtTask("CMT got another"), AtTask("CMT got another"));
  ExpectShown(AtTask("CMT got debugreq"), AtTask("CMT got debugreq"));
  ExpectShown(AtTask("dbg"), AtTask("dbg"));
  // Only the task position counts.
  ExpectShown("DBG at the start of the text", "DBG at the start of the text");
  ExpectShown("12:00:00.000  DBG", "12:00:00.000  DBG");
}

TEST_F(TraceIndicationTest, MessageEndingInsideAPrefixDoesNotMatchIt) {
  ExpectShown(AtTask("DB"), AtTask("DB"));
  ExpectShown(AtTask("CMT ascii").substr(0, 20), AtTask("CMT asc"));
  controlBlock.filterEnabled = 1;
  control::StoreFilterText("L2", 2);
  ExpectDropped("too short");
  ExpectDropped(AtTask("L"));
}

TEST_F(TraceIndicationTest, TaskFilterComparesCaseSensitivelyAtTheTaskPosition) {
  controlBlock.filterEnabled = 1;
  control::StoreFilterText("L2", 2);
  ExpectShown(AtTask("L2 SABME"), AtTask("L2 SABME"));
  ExpectDropped(AtTask("l2 SABME"));
  ExpectDropped(AtTask("L3 SETUP"));
  ExpectDropped("L2 at the start of the text");
  // Internal texts stay dropped even when they would pass the filter.
  control::StoreFilterText("DBG", 3);
  ExpectDropped(AtTask("DBG on"));
  // Switched off, the filter text is ignored.
  controlBlock.filterEnabled = 0;
  ExpectShown(AtTask("L3 SETUP"), AtTask("L3 SETUP"));
}

TEST_F(TraceIndicationTest, EnabledFilterWithoutTextLetsEverythingThrough) {
  controlBlock.filterEnabled = 1;
  ExpectShown(AtTask("L3 SETUP"), AtTask("L3 SETUP"));
  ExpectShown("short", "short");
}

TEST_F(TraceIndicationTest, WithLoggingOffLinesGoToStandardOutputAndTheScreen) {
  controlBlock.loggingEnabled = 0;
  EXPECT_EQ(Handle(DebugInd(AtTask("L2 UI"))), AtTask("L2 UI") + "\n");
  EXPECT_EQ(Row(), 1);
  EXPECT_FALSE(fs::exists("LINKSPY.LOG"));
}

TEST_F(TraceIndicationTest, AfterExitRequestLinesAreLoggedButNotShown) {
  controlBlock.currentRow = 7;
  controlBlock.exitRequested = 1;
  EXPECT_EQ(Handle(DebugInd(AtTask("L2 DISC"))), "");
  EXPECT_EQ(Log(), AtTask("L2 DISC") + "\n");
  EXPECT_EQ(Row(), 7);
}

TEST_F(TraceIndicationTest, TracePathAllocatesNothing) {
  controlBlock.filterEnabled = 1;
  control::StoreFilterText("L", 1);
  std::string longText = AtTask("L2 ") + std::string(90, 'x');
  const std::vector<uint8_t> messages[] = {
      DebugInd(longText),
      DebugInd(AtTask("L3 SETUP")),
      DebugInd(AtTask("DBG on")),
      DebugInd(AtTask("CC state")),
      DebugInd(""),
      DebugMessage(0x19, 0x02, 2, 0, 5, "abcde"),
  };
  // The first pass lets the library set up whatever it keeps (stdio, locale).
  for (const auto& message : messages)
    output::HandleDebugIndication(message.data(), message.size());
  output::LogPass();
  std::ofstream("LINKSPY.LOG", std::ios::binary) << std::string(512000, 'a');
  long before = allocationCount.load();
  // In passes of 20 messages, as a stream of 1,000 lines a second comes.
  for (int i = 0; i < 10000; ++i) {
    const auto& message = messages[i % std::size(messages)];
    output::HandleDebugIndication(message.data(), message.size());
    if (i % 20 == 19) output::LogPass();
  }
  EXPECT_EQ(allocationCount.load() - before, 0);
  // The lines really went through the log, a rotation included.
  EXPECT_TRUE(fs::exists("LINKSPY.BAK"));
  EXPECT_GT(fs::file_size("LINKSPY.LOG"), 100000u);
}

}  // namespace
