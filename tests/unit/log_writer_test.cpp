// Tests of the log writer's writing: texts appended unchanged without allocation, writers
// taking turns in one process and across two, shutdown, and the timestamp text.
#include "output/log_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "control/records/control_block.h"
#include "output/log_writer_internal.h"
#include "platform/system.h"
#include "support/log_files.h"
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
using namespace testing_support;  // the log tests' files, fixture and clock

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

// Writes count numbered lines tagged name into the log of the working folder (a child).
void WriteNumberedLines(char name, int count) {
  char line[96];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "%c %06d abcdefghijklmnopqrstuvwxyz0123456789abcdefghij\n",
                  name, i);
    output::LogOnly(line);
  }
}

TEST_F(LogWriterTest, TwoProcessesShareTheLogAcrossRotationsLosingNoLine) {
  constexpr int kLines = 40000;
  output::SetLogBackups("50");
  pid_t children[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      // What each writer prints (a failed rotation's lines) goes to a file of its own.
      int out = open(i == 0 ? "out.A" : "out.B", O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      WriteNumberedLines(static_cast<char>('A' + i), kLines);
      std::_Exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  // Oldest first: the highest numbered backup down to the backup, then the log.
  std::string all;
  int backups = 0;
  while (fs::exists("LINKSPY.BAK." + std::to_string(backups + 1))) ++backups;
  for (int slot = backups; slot >= 0; --slot) {
    const std::string name = slot == 0 ? kBackup : "LINKSPY.BAK." + std::to_string(slot);
    // Each generation was rotated once, when it had passed the limit.
    EXPECT_GE(fs::file_size(name), 513024u) << name;
    all += ReadFile(name.c_str());
  }
  all += ReadFile(kLog);
  EXPECT_GE(backups, 3);
  std::istringstream lines(all);
  std::string line;
  int next[2] = {0, 0};
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size(), 55u) << line;
    int& expected = next[line[0] - 'A'];
    ASSERT_EQ(std::stoi(line.substr(2, 6)), expected);
    ++expected;
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
  EXPECT_EQ(ReadFile("out.A") + ReadFile("out.B"), "");
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
// progress, its last line follows that write, and later texts are dropped without a word.
// Returns 0 or the failed check.
int ShutdownScenario() {
  const std::string large(300000, 's');
  StalledStdout stalled;
  std::thread busy([&large] { output::LogWithEcho(large.c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::atomic<bool> closed{false};
  std::thread closer([&closed] {
    output::CloseLogForShutdown("last\n");
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (closed.load()) return 1;
  stalled.Drain();
  busy.join();
  closer.join();
  output::LogWithEcho("after\n");
  output::LogOnly("after\n");
  if (stalled.Finish() != large + "last\n") return 2;
  if (ReadFile(kLog) != large + "last\n") return 3;
  return 0;
}

TEST_F(LogWriterTest, ShutdownWaitsForTheWriteInProgressAndDropsLaterTexts) {
  EXPECT_EXIT(std::_Exit(ShutdownScenario()), ::testing::ExitedWithCode(0), "");
}

// A writer stuck past the wait does not hold up shutdown: it closes the log all the same,
// without the last line (whose echo would stall as well).
int StuckWriterScenario() {
  const std::string large(300000, 's');
  StalledStdout stalled;
  std::thread busy([&large] { output::LogWithEcho(large.c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  output::CloseLogForShutdown("last\n");
  auto waited = std::chrono::steady_clock::now() - start;
  if (waited < std::chrono::milliseconds(output::kLogTurnWaitMs - 100)) return 1;
  if (waited > std::chrono::milliseconds(output::kLogTurnWaitMs + 2000)) return 2;
  stalled.Drain();
  busy.join();
  output::LogOnly("after\n");
  stalled.Finish();
  return ReadFile(kLog) == large ? 0 : 3;
}

TEST_F(LogWriterTest, ShutdownWaitsForAStuckWriterNoLongerThanTheTurnWait) {
  EXPECT_EXIT(std::_Exit(StuckWriterScenario()), ::testing::ExitedWithCode(0), "");
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
