// The receive pass's texts logged with one append: the same files and the same standard output
// as one LogOnly for each text, the rotation between the same two texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/log_writer.h"
#include "output/log_writer_internal.h"
#include "support/log_texts.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What one way of logging left: the log, its backup, standard output, the size last measured.
struct Outcome {
  std::string log;
  std::string backup;
  std::string printed;
  int32_t sizeKB;
  bool operator==(const Outcome&) const = default;
};

class LogPassTest : public testing_support::TemporaryFolderTest {
 protected:
  // Logs texts into folder (its log first made logBytes long, or a folder when negative), one
  // LogOnly each or all in one pass, with the writer's state at its start values.
  static Outcome Log(const char* folder, bool inPass, long logBytes,
                     const std::vector<std::string>& texts) {
    fs::remove_all(folder);
    fs::create_directory(folder);
    fs::current_path(folder);
    if (logBytes < 0) {
      fs::create_directory("LINKSPY.LOG");
    } else {
      std::ofstream("LINKSPY.LOG", std::ios::binary)
          << std::string(static_cast<size_t>(logBytes), 'a');
    }
    control::ResetControlBlock();
    output::ForgetLogFailure();
    testing_support::StdoutCapture capture;
    testing_support::LogTexts(texts, inPass);
    Outcome outcome{fs::is_regular_file("LINKSPY.LOG") ? ReadFile("LINKSPY.LOG") : "",
                    ReadFile("LINKSPY.BAK"), capture.Take(), output::LogSizeKB()};
    fs::current_path("..");
    return outcome;
  }

  // Expects a pass of texts to leave what one append each leaves.
  static void ExpectSameAsOneAppendEach(long logBytes, const std::vector<std::string>& texts) {
    Outcome each = Log("each", false, logBytes, texts);
    Outcome pass = Log("pass", true, logBytes, texts);
    EXPECT_TRUE(each == pass) << "log of " << logBytes << " bytes: each " << each.log.size() << "/"
                              << each.backup.size() << ", pass " << pass.log.size() << "/"
                              << pass.backup.size() << "\n"
                              << each.printed << "--\n"
                              << pass.printed;
  }
};

// Trace lines of many lengths, an empty text among them.
std::vector<std::string> TraceTexts(int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    texts.push_back(i % 7 == 3 ? "" : std::string(1 + (i * 37) % 79, 'A' + i % 26) + "\n");
  }
  return texts;
}

TEST_F(LogPassTest, APassRotatesBetweenTheSameTwoTextsAsOneAppendEach) {
  std::vector<std::string> texts = TraceTexts(60);
  // Below the limit all pass long, over it from the first text, and crossing it at texts in
  // the middle of the pass.
  for (long logBytes : {0L, 512000L, 510000L, 511000L, 512500L, 513023L, 513024L, 600000L}) {
    ExpectSameAsOneAppendEach(logBytes, texts);
  }
  // The length before the eleventh text one byte short of the rotation's, and just at it.
  long firstTen = 0;
  for (int i = 0; i < 10; ++i) firstTen += static_cast<long>(texts[i].size());
  ExpectSameAsOneAppendEach(513023 - firstTen, texts);
  ExpectSameAsOneAppendEach(513024 - firstTen, texts);
  Outcome crossing = Log("crossing", true, 511000, texts);
  EXPECT_FALSE(crossing.backup.empty());
  EXPECT_FALSE(crossing.log.empty());
  EXPECT_EQ(
      crossing.backup.size() + crossing.log.size(), 511000u + [&] {
        size_t bytes = 0;
        for (const std::string& text : texts) bytes += text.size();
        return bytes;
      }());
}

TEST_F(LogPassTest, APassThatCannotBeLoggedGoesToStandardOutputAsOneAppendEachWould) {
  // A folder at the log's name: one report, then every text on standard output in order.
  ExpectSameAsOneAppendEach(-1, TraceTexts(5));
  Outcome refused = Log("refused", true, -1, {"one\n", "two\n"});
  EXPECT_NE(refused.printed.find("Error open log file"), std::string::npos) << refused.printed;
  EXPECT_EQ(refused.printed.substr(refused.printed.size() - 8), "one\ntwo\n");
  // Console print mode: the texts once each, in order, and no file.
  control::ResetControlBlock();
  testing_support::StdoutCapture capture;
  control::controlBlock.loggingEnabled = 0;
  output::LogOnlyInPass("three\n");
  output::LogOnlyInPass("four\n");
  output::LogPass();
  EXPECT_EQ(capture.Take(), "three\nfour\n");
}

TEST_F(LogPassTest, APassLargerThanItsRoomIsLoggedWholeAndInOrder) {
  std::vector<std::string> texts;
  std::string expected;
  for (int i = 0; i < 1500; ++i) {
    texts.push_back("line " + std::to_string(i) + std::string(50, '.') + "\n");
    expected += texts.back();
  }
  texts.push_back(std::string(40000, 'x'));  // longer than the pass can hold
  expected += texts.back();
  EXPECT_EQ(Log("large", true, 0, texts).log, expected);
}

}  // namespace
