// Tests of the log writer: rotation, failures of each file step, console print mode, writers
// taking turns, shutdown, and the timestamp text.
#include "output/log_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "control/control_block.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/stdout_capture.h"

// Heap allocations counted while allocationsCounted is set. glibc's own allocations (fopen's
// FILE record) and operator new both end in malloc, so counting malloc sees them all. The
// sanitizers bring their own allocator, which this must not replace.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define COUNTS_ALLOCATIONS 1
std::atomic<bool> allocationsCounted{false};
std::atomic<int> allocationsSeen{0};

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) {
  if (allocationsCounted.load(std::memory_order_relaxed)) ++allocationsSeen;
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  if (allocationsCounted.load(std::memory_order_relaxed)) ++allocationsSeen;
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  if (allocationsCounted.load(std::memory_order_relaxed)) ++allocationsSeen;
  return __libc_realloc(block, size);
}
}
#endif

namespace {

namespace fs = std::filesystem;
using control::controlBlock;
using testing_support::StdoutCapture;

constexpr const char* kLog = "LINKSPY.LOG";
constexpr const char* kBackup = "LINKSPY.BAK";

std::string ReadFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const char* name, const std::string& text) {
  std::ofstream(name, std::ios::binary) << text;
}

// Each test runs in a fresh temporary working directory with default settings.
class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/linkspy-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    previous_ = fs::current_path();
    fs::current_path(directory_);
    control::ResetControlBlock();
    output::SetLogFileNames(kLog, kBackup);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(directory_);
  }
  // Writes text with LogOnly and returns what reached standard output meanwhile.
  static std::string LogOnlyOutput(const char* text) {
    StdoutCapture capture;
    output::LogOnly(text);
    return capture.Take();
  }

  fs::path directory_;
  fs::path previous_;
};

TEST_F(LogWriterTest, RotatesOnlyOnceTheMeasuredLengthPasses500kB) {
  // 512,000 bytes: measured before this text reaches the disk, so 500 kB, not rotated.
  WriteFile(kLog, std::string(512000, 'a'));
  EXPECT_EQ(LogOnlyOutput("x"), "");
  EXPECT_FALSE(fs::exists(kBackup));
  EXPECT_EQ(fs::file_size(kLog), 512001u);
  EXPECT_EQ(output::LogSizeKB(), 500);

  // 513,023 + "x" makes 513,024 on disk, but the measurement still sees 513,023.
  WriteFile(kLog, std::string(513023, 'a'));
  EXPECT_EQ(LogOnlyOutput("x"), "");
  EXPECT_FALSE(fs::exists(kBackup));
  // The next write measures 513,024 bytes: rotated, silently, with this text in the backup.
  EXPECT_EQ(LogOnlyOutput("y"), "");
  EXPECT_EQ(output::LogSizeKB(), 501);
  EXPECT_FALSE(fs::exists(kLog));
  EXPECT_EQ(fs::file_size(kBackup), 513025u);
  EXPECT_EQ(ReadFile(kBackup).substr(513023), "xy");

  // The next write starts a new log holding just its own text.
  output::LogOnly("fresh\n");
  EXPECT_EQ(ReadFile(kLog), "fresh\n");
}

TEST_F(LogWriterTest, RotationReplacesAnExistingBackup) {
  WriteFile(kBackup, "old backup\n");
  WriteFile(kLog, std::string(513024, 'a'));
  EXPECT_EQ(LogOnlyOutput("z"), "");
  EXPECT_FALSE(fs::exists(kLog));
  EXPECT_EQ(ReadFile(kBackup), std::string(513024, 'a') + "z");
}

TEST_F(LogWriterTest, BackupThatCannotBeRemovedFailsRemovalAndRenameEachTime) {
  fs::create_directory(kBackup);
  WriteFile("LINKSPY.BAK/keep", "x");
  WriteFile(kLog, std::string(513024, 'a'));
  const std::string expected =
      "LINKSPY: Error removing backup logfile\n"
      "LINKSPY: Error code: Directory not empty\n"
      "LINKSPY: Error renaming logfile\n"
      "LINKSPY: Error code: File exists\n";
  EXPECT_EQ(LogOnlyOutput("1"), expected);
  EXPECT_EQ(LogOnlyOutput("2"), expected);
  // The log stays in place and keeps growing; the backup is untouched.
  EXPECT_EQ(fs::file_size(kLog), 513026u);
  EXPECT_EQ(ReadFile("LINKSPY.BAK/keep"), "x");
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 1);
  EXPECT_EQ(controlBlock.sizeCheckEnabled.load(), 1);
}

TEST_F(LogWriterTest, FailedRenameLeavesTheLogAndIsTriedAgain) {
  output::SetLogFileNames(kLog, "missing/LINKSPY.BAK");
  WriteFile(kLog, std::string(513024, 'a'));
  const std::string expected =
      "LINKSPY: Error renaming logfile\n"
      "LINKSPY: Error code: No such file or directory\n";
  EXPECT_EQ(LogOnlyOutput("1"), expected);
  EXPECT_EQ(LogOnlyOutput("2"), expected);
  EXPECT_EQ(fs::file_size(kLog), 513026u);
}

TEST_F(LogWriterTest, UnopenableLogLosesTheTextAndSwitchesToConsolePrintMode) {
  fs::create_directory(kLog);
  {
    StdoutCapture capture;
    output::LogWithEcho("first\n");
    EXPECT_EQ(capture.Take(),
              "first\n"
              "\nLINKSPY: Error open log file: LINKSPY.LOG\n"
              "LINKSPY: Error code: Is a directory\n");
  }
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
  EXPECT_EQ(LogOnlyOutput("second\n"), "second\n");
  // The operator switches logging on again: the file is tried again.
  fs::remove(kLog);
  controlBlock.loggingEnabled = 1;
  EXPECT_EQ(LogOnlyOutput("third\n"), "");
  EXPECT_EQ(ReadFile(kLog), "third\n");
}

TEST_F(LogWriterTest, FailureOnlyVisibleAtCloseCountsAsWriteFailure) {
  fs::create_symlink("/dev/full", kLog);
  {
    StdoutCapture capture;
    output::LogWithEcho("text\n");
    // The echo, the two error lines, then the text again in place of the log.
    EXPECT_EQ(capture.Take(),
              "text\n"
              "LINKSPY: Error writing logfile (1): Logging disabled\n"
              "LINKSPY: Error code: No space left on device\n"
              "text\n");
  }
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
  EXPECT_EQ(controlBlock.sizeCheckEnabled.load(), 1);
  EXPECT_EQ(LogOnlyOutput("later\n"), "later\n");
}

TEST_F(LogWriterTest, FailureOfALargeWriteIsReportedWithoutSizeCheck) {
  fs::create_symlink("/dev/full", kLog);
  controlBlock.sizeCheckEnabled = 0;
  const std::string large(20000, 'q');
  const std::string output = LogOnlyOutput(large.c_str());
  EXPECT_EQ(output,
            "LINKSPY: Error writing logfile (1): Logging disabled\n"
            "LINKSPY: Error code: No space left on device\n" +
                large);
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
}

TEST_F(LogWriterTest, UnmeasurableLogSwitchesSizeCheckingOffForGood) {
  fs::create_symlink("/dev/null", kLog);
  const std::string output = LogOnlyOutput("text\n");
  EXPECT_EQ(output.rfind("LINKSPY: Log file size checking disabled\nLINKSPY: Error code: ", 0), 0u)
      << output;
  EXPECT_EQ(controlBlock.sizeCheckEnabled.load(), 0);
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 1);
  EXPECT_EQ(LogOnlyOutput("again\n"), "");
}

TEST_F(LogWriterTest, ConsolePrintModePrintsEchoedTextTwice) {
  controlBlock.loggingEnabled = 0;
  {
    StdoutCapture capture;
    output::LogWithEcho("line\n");
    EXPECT_EQ(capture.Take(), "line\nline\n");
  }
  EXPECT_EQ(LogOnlyOutput("line\n"), "line\n");
  EXPECT_FALSE(fs::exists(kLog));
}

TEST_F(LogWriterTest, TextsAreAppendedUnchangedAndEmptyTextCreatesTheFile) {
  output::LogOnly("");
  EXPECT_TRUE(fs::exists(kLog));
  EXPECT_EQ(fs::file_size(kLog), 0u);
  output::LogOnly("a\n");
  output::LogOnly("b");
  output::LogOnly("c\r\n");
  EXPECT_EQ(ReadFile(kLog), "a\nbc\r\n");
}

TEST_F(LogWriterTest, SteadyStateWritesAllocateNothing) {
#ifndef COUNTS_ALLOCATIONS
  GTEST_SKIP() << "the sanitizer's allocator is not counted";
#else
  // The counter sees the C library's own allocations: fopen allocates its FILE record.
  allocationsSeen = 0;
  allocationsCounted = true;
  std::fclose(std::fopen(kLog, "a"));
  allocationsCounted = false;
  ASSERT_GT(allocationsSeen.load(), 0);

  output::LogOnly("first\n");
  allocationsSeen = 0;
  allocationsCounted = true;
  for (int i = 0; i < 1000; ++i) {
    output::LogOnly("L2D  0 00 02 01 7f 00 00 : SABME p=1 sapi=0 tei=0\n");
    output::LogWithEcho("");
  }
  allocationsCounted = false;
  EXPECT_EQ(allocationsSeen.load(), 0);
  EXPECT_EQ(fs::file_size(kLog), 6u + 1000u * 50u);
  EXPECT_EQ(output::LogSizeKB(), 48);
#endif
}

TEST_F(LogWriterTest, RenameNeverReplacesAnExistingFile) {
  WriteFile("from", "new");
  WriteFile("to", "old");
  EXPECT_EQ(platform::RenameNoReplace("from", "to"), EEXIST);
  EXPECT_EQ(ReadFile("from"), "new");
  EXPECT_EQ(ReadFile("to"), "old");
  EXPECT_EQ(platform::RenameNoReplace("from", "other"), 0);
  EXPECT_FALSE(fs::exists("from"));
  EXPECT_EQ(ReadFile("other"), "new");
}

TEST_F(LogWriterTest, TwoThreadsWritingAtOnceLoseNoLine) {
  constexpr int kLinesEach = 4000;
  std::atomic<bool> go{false};
  auto writer = [&go](char name, bool echo) {
    while (!go.load()) std::this_thread::yield();
    char line[32];
    for (int i = 0; i < kLinesEach; ++i) {
      std::snprintf(line, sizeof line, "%c %d\n", name, i);
      echo ? output::LogWithEcho(line) : output::LogOnly(line);
    }
  };
  StdoutCapture capture;
  std::thread first(writer, 'A', false);
  std::thread second(writer, 'B', true);
  go = true;
  first.join();
  second.join();
  const std::string output = capture.Take();

  // Every line of each thread is in the log, whole and in its thread's order.
  std::istringstream log(ReadFile(kLog));
  int next[2] = {0, 0};
  std::string line;
  int total = 0;
  while (std::getline(log, line)) {
    ASSERT_TRUE(line.size() >= 3 && (line[0] == 'A' || line[0] == 'B') && line[1] == ' ') << line;
    int& expected = next[line[0] - 'A'];
    ASSERT_EQ(std::stoi(line.substr(2)), expected);
    ++expected;
    ++total;
  }
  EXPECT_EQ(total, 2 * kLinesEach);
  EXPECT_EQ(output.find("Logfile in use"), std::string::npos);
  EXPECT_EQ(controlBlock.logBusy.load(), 0);
}

// Standard output turned into a pipe that nobody reads until Drain: a writer echoing a large
// text stays inside its write.
class StalledStdout {
 public:
  StalledStdout() {
    std::fflush(stdout);
    int ends[2];
    if (pipe(ends) != 0) std::abort();
    readEnd_ = ends[0];
    saved_ = dup(1);
    dup2(ends[1], 1);
    close(ends[1]);
  }
  // Starts reading what was written; Finish returns it once standard output is back.
  void Drain() {
    drainer_ = std::thread([this] {
      char chunk[4096];
      ssize_t n;
      while ((n = read(readEnd_, chunk, sizeof chunk)) > 0) text_.append(chunk, n);
    });
  }
  std::string Finish() {
    dup2(saved_, 1);
    close(saved_);
    drainer_.join();
    close(readEnd_);
    return text_;
  }

 private:
  int readEnd_ = -1;
  int saved_ = -1;
  std::thread drainer_;
  std::string text_;
};

TEST_F(LogWriterTest, WriterBusyBeyondTheWaitDropsTheTextWithAWarning) {
  const std::string large(300000, 'e');
  StalledStdout stalled;
  std::thread busy([&large] { output::LogWithEcho(large.c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(controlBlock.logBusy.load(), 1);
  auto start = std::chrono::steady_clock::now();
  std::atomic<bool> lateDone{false};
  std::thread late([&lateDone] {
    output::LogOnly("late\n");
    lateDone = true;
  });
  // Within the wait the late writer is still queued, not turned away.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(lateDone.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  stalled.Drain();
  busy.join();
  late.join();
  auto waited = std::chrono::steady_clock::now() - start;
  const std::string output = stalled.Finish();
  EXPECT_GE(waited, std::chrono::milliseconds(output::kLogTurnWaitMs));
  EXPECT_EQ(output, large + "LINKSPY: Warning - Logfile in use!\n");
  EXPECT_EQ(ReadFile(kLog), large);
}

// Shutdown in a child process (it closes the log for good): it waits for the write in
// progress, and later texts are dropped without a word. Returns 0 or the failed check.
int ShutdownScenario() {
  const std::string large(300000, 's');
  StalledStdout stalled;
  std::thread busy([&large] { output::LogWithEcho(large.c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::atomic<bool> closed{false};
  std::thread closer([&closed] {
    output::CloseLogForShutdown();
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (closed.load()) return 1;
  stalled.Drain();
  busy.join();
  closer.join();
  output::LogWithEcho("after\n");
  output::LogOnly("after\n");
  if (stalled.Finish() != large) return 2;
  if (ReadFile(kLog) != large) return 3;
  return 0;
}

TEST_F(LogWriterTest, ShutdownWaitsForTheWriteInProgressAndDropsLaterTexts) {
  EXPECT_EXIT(std::_Exit(ShutdownScenario()), ::testing::ExitedWithCode(0), "");
}

TEST(TimestampTest, DayMonthFullYearAndTimeInTwoDigitFields) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::tm before = platform::LocalTimeNow();
    std::string text = output::Timestamp();
    std::tm after = platform::LocalTimeNow();
    ASSERT_TRUE(std::regex_match(text, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)"))) << text;
    if (before.tm_sec != after.tm_sec) continue;  // a second boundary passed: try again
    char expected[80];
    std::snprintf(expected, sizeof expected, "%02d/%02d/%04d %02d:%02d:%02d", before.tm_mday,
                  before.tm_mon + 1, before.tm_year + 1900, before.tm_hour, before.tm_min,
                  before.tm_sec);
    EXPECT_EQ(text, expected);
    return;
  }
  FAIL() << "the clock kept crossing second boundaries";
}

}  // namespace
