// Tests of the log writer: rotation and kept backups, failures of each file step, special
// files at the log's name, console print mode, writers taking turns, two processes sharing
// the log, shutdown, and the timestamp text.
#include "output/log_writer.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/log_writer_internal.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/stdout_capture.h"
#include "support/temporary_folder.h"

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
constexpr const char* kLock = "LINKSPY.LCK";

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
class LogWriterTest : public testing_support::TemporaryFolderTest {
 protected:
  // Writes text with LogOnly and returns what reached standard output meanwhile.
  static std::string LogOnlyOutput(const char* text) {
    StdoutCapture capture;
    output::LogOnly(text);
    return capture.Take();
  }
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

// The writer's clock in tests: what the test sets.
std::atomic<int64_t> testClockMs{1000};
int64_t TestClock() {
  return testClockMs.load();
}

TEST_F(LogWriterTest, BackupThatCannotBeRemovedFailsEachTimeAndIsReportedOncePerMinute) {
  output::SetLogClock(TestClock);
  fs::create_directory(kBackup);
  WriteFile("LINKSPY.BAK/keep", "x");
  WriteFile(kLog, std::string(513024, 'a'));
  const std::string expected =
      "LINKSPY: Error removing backup logfile\n"
      "LINKSPY: Error code: Directory not empty\n"
      "LINKSPY: Error renaming logfile\n"
      "LINKSPY: Error code: File exists\n";
  EXPECT_EQ(LogOnlyOutput("1"), expected);
  // Tried at every write, reported again only once the minute has passed.
  testClockMs += output::kRotationReportRepeatMs - 1;
  EXPECT_EQ(LogOnlyOutput("2"), "");
  testClockMs += 1;
  EXPECT_EQ(LogOnlyOutput("3"), expected);
  EXPECT_EQ(LogOnlyOutput("4"), "");
  // The log stays in place and keeps growing; the backup is untouched.
  EXPECT_EQ(fs::file_size(kLog), 513028u);
  EXPECT_EQ(ReadFile("LINKSPY.BAK/keep"), "x");
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 1);
  EXPECT_EQ(controlBlock.sizeCheckEnabled.load(), 1);
}

TEST_F(LogWriterTest, FailedRenameLeavesTheLogAndIsTriedAgain) {
  output::SetLogFileNames(kLog, "missing/LINKSPY.BAK", kLock);
  WriteFile(kLog, std::string(513024, 'a'));
  const std::string expected =
      "LINKSPY: Error renaming logfile\n"
      "LINKSPY: Error code: No such file or directory\n";
  EXPECT_EQ(LogOnlyOutput("1"), expected);
  EXPECT_EQ(LogOnlyOutput("2"), "");
  EXPECT_EQ(fs::file_size(kLog), 513026u);
  // Tried again at the next write: once the folder is there, the rotation works.
  fs::create_directory("missing");
  EXPECT_EQ(LogOnlyOutput("3"), "");
  EXPECT_FALSE(fs::exists(kLog));
  EXPECT_EQ(fs::file_size("missing/LINKSPY.BAK"), 513027u);
}

TEST_F(LogWriterTest, RotationFailureIsReportedAgainWhenItsErrorChangesOrAfterAWorkingRotation) {
  output::SetLogClock(TestClock);
  fs::create_directory(kBackup);
  WriteFile("LINKSPY.BAK/keep", "x");
  WriteFile(kLog, std::string(513024, 'a'));
  EXPECT_NE(LogOnlyOutput("1"), "");
  EXPECT_EQ(LogOnlyOutput("2"), "");
  // Another error: reported at once, then quiet again.
  output::SetLogFileNames(kLog, "missing/LINKSPY.BAK", kLock);
  const std::string missing =
      "LINKSPY: Error renaming logfile\n"
      "LINKSPY: Error code: No such file or directory\n";
  EXPECT_EQ(LogOnlyOutput("3"), missing);
  EXPECT_EQ(LogOnlyOutput("4"), "");
  // A rotation that works ends the failure: the same error later is reported at once.
  fs::create_directory("missing");
  EXPECT_EQ(LogOnlyOutput("5"), "");
  EXPECT_FALSE(fs::exists(kLog));
  fs::remove_all("missing");
  WriteFile(kLog, std::string(513024, 'a'));
  EXPECT_EQ(LogOnlyOutput("6"), missing);
}

TEST_F(LogWriterTest, UnopenableLogSendsTheTextToStandardOutputAndSwitchesToConsolePrintMode) {
  fs::create_directory(kLog);
  {
    StdoutCapture capture;
    output::LogWithEcho("first\n");
    EXPECT_EQ(capture.Take(),
              "first\n"
              "\nLINKSPY: Error open log file: LINKSPY.LOG\n"
              "LINKSPY: Error code: Is a directory\n"
              "first\n");
  }
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
  EXPECT_EQ(LogOnlyOutput("second\n"), "second\n");
  // The operator switches logging on again: the file is tried again.
  fs::remove(kLog);
  output::ForgetLogFailure();
  controlBlock.loggingEnabled = 1;
  EXPECT_EQ(LogOnlyOutput("third\n"), "");
  EXPECT_EQ(ReadFile(kLog), "third\n");
}

TEST_F(LogWriterTest, AfterTheOperatorsToggleAFailureIsNotTriedAgain) {
  fs::create_directory(kLog);
  LogOnlyOutput("first\n");
  ASSERT_EQ(controlBlock.loggingEnabled.load(), 0);
  fs::remove(kLog);
  // .p twice: on, then off again by the operator's choice.
  output::ForgetLogFailure();
  std::this_thread::sleep_for(std::chrono::milliseconds(output::kLogRetryMs + 200));
  EXPECT_EQ(LogOnlyOutput("second\n"), "second\n");
  EXPECT_FALSE(fs::exists(kLog));
}

TEST_F(LogWriterTest, DevicesAndFifosAtTheLogNameAreOpenFailuresThatNeverBlock) {
  // The devices themselves at the name (/dev/full and /dev/null); a link to one is refused
  // as a link before its kind is looked at.
  ASSERT_EQ(mknod("full", S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
  ASSERT_EQ(mknod("null", S_IFCHR | 0600, makedev(1, 3)), 0) << std::strerror(errno);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  for (const char* name : {"full", "null", "fifo"}) {
    SCOPED_TRACE(name);
    control::ResetControlBlock();
    output::SetLogFileNames(name, kBackup, kLock);
    EXPECT_EQ(LogOnlyOutput("text\n"), std::string("\nLINKSPY: Error open log file: ") + name +
                                           "\nLINKSPY: Error code: Not a regular file\ntext\n");
    EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
    EXPECT_EQ(controlBlock.sizeCheckEnabled.load(), 1);
  }
  // A FIFO that has a reader is refused as well, and is never even opened for writing: a
  // writer that came and went would leave the reader a hang-up.
  int reader = open("fifo", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  control::ResetControlBlock();
  output::SetLogFileNames("fifo", kBackup, kLock);
  EXPECT_NE(LogOnlyOutput("text\n").find("Not a regular file"), std::string::npos);
  pollfd waiting{reader, POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 0), 0) << "revents " << waiting.revents;
  close(reader);
}

// Milliseconds that call took.
template <typename Call>
int64_t MillisecondsOf(Call call) {
  auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST_F(LogWriterTest, LockHeldElsewhereIsAwaitedOnlyWithinTheBoundAndLoggingResumesAfterIt) {
  // A descriptor of its own holds the lock file's lock, as another writer would.
  int holder = open(kLock, O_RDONLY | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  // A holder that lets go within the bound is waited for.
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    flock(holder, LOCK_UN);
  });
  std::string output;
  EXPECT_GE(MillisecondsOf([&output] { output = LogOnlyOutput("waited\n"); }), 150);
  release.join();
  EXPECT_EQ(output, "");
  EXPECT_EQ(ReadFile(kLog), "waited\n");

  // One that keeps it: the open fails once the bound has passed, and logging goes off.
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  int64_t waited = MillisecondsOf([&output] { output = LogOnlyOutput("held\n"); });
  // Two clocks read in whole milliseconds: the measured wait may fall one short of the bound.
  EXPECT_GE(waited, platform::kLockWaitMs - 2);
  EXPECT_LT(waited, platform::kLockWaitMs + 1000);
  EXPECT_EQ(output,
            "\nLINKSPY: Error open log file: LINKSPY.LOG\n"
            "LINKSPY: Error code: Log file locked by another process\n"
            "held\n");
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
  // Meanwhile texts go to standard output without waiting for the lock.
  EXPECT_LT(MillisecondsOf([&output] { output = LogOnlyOutput("meanwhile\n"); }), 200);
  EXPECT_EQ(output, "meanwhile\n");

  // Once the holder has let go, the retry finds the file usable.
  close(holder);
  std::this_thread::sleep_for(std::chrono::milliseconds(output::kLogRetryMs + 200));
  EXPECT_EQ(LogOnlyOutput("resumed\n"), "LINKSPY: Log file usable again, logging resumed\n");
  EXPECT_EQ(ReadFile(kLog), "waited\nresumed\n");
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 1);
}

// Sets a limit on the size of the files the process writes; restores the old one when done.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_;
};

TEST_F(LogWriterTest, FailedOrShortWriteCutsTheLogBackAndTheNextLineStartsWhole) {
  const std::string before(100000, 'a');
  const std::string large(20000, 'q');
  for (int sizeCheck : {1, 0}) {
    SCOPED_TRACE(sizeCheck);
    control::ResetControlBlock();
    controlBlock.sizeCheckEnabled = sizeCheck;
    WriteFile(kLog, before);
    std::string output;
    {
      // The write stops part-way at the limit: some bytes reach the file, then it fails.
      FileSizeLimit limit(before.size() + 50);
      output = LogOnlyOutput(large.c_str());
    }
    EXPECT_EQ(output,
              "LINKSPY: Error writing logfile (1): Logging disabled\n"
              "LINKSPY: Error code: File too large\n" +
                  large);
    EXPECT_EQ(controlBlock.loggingEnabled.load(), 0);
    EXPECT_EQ(ReadFile(kLog), before);
    // Logging on again: the next line follows what was there, not a fragment.
    controlBlock.loggingEnabled = 1;
    output::LogOnly("next\n");
    EXPECT_EQ(ReadFile(kLog), before + "next\n");
  }
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

TEST(LogBackupsTest, TakesZeroTo9999AndRefusesAnythingElse) {
  for (const char* text : {"3", "0", "", "0007", "9999"}) {
    EXPECT_EQ(output::SetLogBackups(text), 0) << text;
  }
  EXPECT_EQ(output::LogBackups(), 9999);
  for (const char* text : {"10000", "-1", "+3", " 3", "3x", "abc", "99999999999999999999"}) {
    EXPECT_EQ(output::SetLogBackups(text), -1) << text;
  }
  EXPECT_EQ(output::LogBackups(), 9999);
  EXPECT_EQ(output::SetLogBackups(nullptr), 0);
  EXPECT_EQ(output::LogBackups(), 0);
}

TEST_F(LogWriterTest, RotationMovesEachKeptBackupUpAndDropsTheOldest) {
  output::SetLogBackups("3");
  WriteFile(kBackup, "b0");
  WriteFile("LINKSPY.BAK.1", "b1");
  WriteFile("LINKSPY.BAK.3", "b3");  // slot 2 empty: nothing moves into 3, b3 is dropped
  WriteFile(kLog, std::string(513024, 'a'));
  EXPECT_EQ(LogOnlyOutput("z"), "");
  EXPECT_FALSE(fs::exists(kLog));
  EXPECT_EQ(ReadFile(kBackup), std::string(513024, 'a') + "z");
  EXPECT_EQ(ReadFile("LINKSPY.BAK.1"), "b0");
  EXPECT_EQ(ReadFile("LINKSPY.BAK.2"), "b1");
  EXPECT_FALSE(fs::exists("LINKSPY.BAK.3"));
  EXPECT_FALSE(fs::exists("LINKSPY.BAK.4"));
}

TEST_F(LogWriterTest, OldestBackupThatCannotBeRemovedLeavesEveryFileInPlace) {
  output::SetLogBackups("2");
  fs::create_directory("LINKSPY.BAK.2");
  WriteFile("LINKSPY.BAK.2/keep", "x");
  WriteFile("LINKSPY.BAK.1", "b1");
  WriteFile(kBackup, "b0");
  WriteFile(kLog, std::string(513024, 'a'));
  EXPECT_EQ(LogOnlyOutput("1"),
            "LINKSPY: Error removing backup logfile\n"
            "LINKSPY: Error code: Directory not empty\n"
            "LINKSPY: Error renaming logfile\n"
            "LINKSPY: Error code: File exists\n");
  EXPECT_EQ(ReadFile("LINKSPY.BAK.2/keep"), "x");
  EXPECT_EQ(ReadFile("LINKSPY.BAK.1"), "b1");
  EXPECT_EQ(ReadFile(kBackup), "b0");
  EXPECT_EQ(fs::file_size(kLog), 513025u);
}

TEST_F(LogWriterTest, FailedRenameOfTheLogMovesTheBackupsBack) {
  // A log on another file system cannot be renamed into this folder.
  char pattern[] = "/dev/shm/linkspy-log-XXXXXX";
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const fs::path elsewhere = pattern;
  struct stat here, there;
  stat(".", &here);
  stat(pattern, &there);
  if (here.st_dev == there.st_dev) {
    fs::remove_all(elsewhere);
    GTEST_SKIP() << "/dev/shm and /tmp are one file system";
  }
  const std::string log = (elsewhere / kLog).string();
  output::SetLogFileNames(log.c_str(), kBackup, kLock);
  output::SetLogBackups("3");
  WriteFile(kBackup, "b0");
  WriteFile("LINKSPY.BAK.1", "b1");
  WriteFile(log.c_str(), std::string(513024, 'a'));
  EXPECT_EQ(LogOnlyOutput("z"),
            "LINKSPY: Error renaming logfile\n"
            "LINKSPY: Error code: Invalid cross-device link\n");
  EXPECT_EQ(ReadFile(kBackup), "b0");
  EXPECT_EQ(ReadFile("LINKSPY.BAK.1"), "b1");
  EXPECT_FALSE(fs::exists("LINKSPY.BAK.2"));
  EXPECT_EQ(fs::file_size(log), 513025u);
  fs::remove_all(elsewhere);
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

TEST_F(LogWriterTest, ReadersLocksOnTheLogHoldNoWriterUp) {
  output::LogOnly("first\n");
  // What anyone who may read the log can take: both kinds of lock on a read-only descriptor.
  int reader = open(kLog, O_RDONLY);
  ASSERT_GE(reader, 0);
  for (int kind : {LOCK_SH, LOCK_EX}) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(flock(reader, kind | LOCK_NB), 0);
    std::string output;
    EXPECT_LT(MillisecondsOf([&output] { output = LogOnlyOutput("line\n"); }), 500);
    EXPECT_EQ(output, "");
    flock(reader, LOCK_UN);
  }
  close(reader);
  EXPECT_EQ(ReadFile(kLog), "first\nline\nline\n");
  EXPECT_EQ(controlBlock.loggingEnabled.load(), 1);
}

// Gives the working folder a default access list that hands group nogroup (65534) read and
// write rights down to every file made in it; false where the file system keeps none.
bool GrantNogroupByDefault() {
  struct Entry {
    uint16_t tag;
    uint16_t permissions;
    uint32_t id;
  };
  struct {
    uint32_t version = 2;
    Entry entries[5] = {
        {0x01, 7, ~0u}, {0x04, 6, ~0u}, {0x08, 6, 65534}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  } list;
  return setxattr(".", "system.posix_acl_default", &list, sizeof list, 0) == 0;
}

// Whether user and group nobody (65534) may open name for reading (a child process tries).
bool NobodyMayRead(const char* name) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(2);
    std::_Exit(open(name, O_RDONLY) >= 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(LogWriterTest, LockFileIsMadeForItsOwnerAloneAndNarrowedWhenWidened) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(chmod(".", 0755), 0);
  if (!GrantNogroupByDefault()) GTEST_SKIP() << "no access lists here";
  output::LogOnly("one\n");
  // The access list lets the group read the log, but not open the lock file.
  EXPECT_TRUE(NobodyMayRead(kLog));
  EXPECT_FALSE(NobodyMayRead(kLock));
  struct stat status;
  ASSERT_EQ(stat(kLock, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(status.st_size, 0);
  // Widened by hand (for an access list: its mask): narrowed at the next write.
  ASSERT_EQ(chmod(kLock, 0666), 0);
  EXPECT_TRUE(NobodyMayRead(kLock));
  output::LogOnly("two\n");
  EXPECT_FALSE(NobodyMayRead(kLock));
  ASSERT_EQ(stat(kLock, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(kLog), "one\ntwo\n");
}

TEST_F(LogWriterTest, LockFileThatIsALinkAFolderOrAFifoIsAnOpenFailure) {
  const std::string refused =
      "\nLINKSPY: Error open log file: LINKSPY.LOG\n"
      "LINKSPY: Error code: Lock file is a link, not a regular file or another user's\n"
      "text\n";
  WriteFile("elsewhere", "");
  auto link = [] { return symlink("elsewhere", kLock); };
  auto folder = [] { return mkdir(kLock, 0700); };
  auto fifo = [] { return mkfifo(kLock, 0600); };
  auto hardLink = [] { return ::link("elsewhere", kLock); };
  auto stranger = [] {
    close(open(kLock, O_WRONLY | O_CREAT, 0600));
    return chown(kLock, 40001, 40001);
  };
  for (auto plant : {+link, +folder, +fifo, +hardLink, +stranger}) {
    control::ResetControlBlock();
    ASSERT_EQ(plant(), 0) << std::strerror(errno);
    EXPECT_EQ(LogOnlyOutput("text\n"), refused);
    EXPECT_FALSE(fs::exists(kLog));
    fs::remove(kLock);
  }
  EXPECT_EQ(ReadFile("elsewhere"), "");
}

// Without /proc in a mount namespace of its own (a child process): the log made by the first
// text cannot be reopened for the second, and the reason names /proc. Returns 0, 77 where no
// namespace can be made, or the failed check.
int WithoutProcScenario() {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
    return 77;
  }
  output::LogOnly("first\n");
  StdoutCapture capture;
  output::LogOnly("second\n");
  output::LogOnly("third\n");
  if (capture.Take() !=
      "\nLINKSPY: Error open log file: LINKSPY.LOG\n"
      "LINKSPY: Error code: /proc must be mounted for the log file to be"
      " opened safely\nsecond\nthird\n") {
    return 1;
  }
  return ReadFile(kLog) == "first\n" ? 0 : 2;
}

TEST_F(LogWriterTest, WithoutProcTheReasonSaysItMustBeMounted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need /proc";
#else
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) std::_Exit(WithoutProcScenario());
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
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
