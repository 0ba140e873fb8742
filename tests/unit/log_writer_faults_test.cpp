// Tests of the log writer's file faults: a log that cannot be opened or written, special
// files at the log's and the lock file's names, the lock held elsewhere or by readers, console
// print mode, and a mount namespace without /proc.
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

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/log_writer.h"
#include "platform/file.h"
#include "support/log_files.h"
#include "support/stdout_capture.h"

namespace {

namespace fs = std::filesystem;
using control::controlBlock;
using namespace testing_support;  // the log tests' files, fixture and clock

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

}  // namespace
