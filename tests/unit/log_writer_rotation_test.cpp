// Tests of the log writer's rotation: the measured length, the backup replaced, the kept
// numbered backups moved up, and each failing step left as it was, reported once a minute.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "control/records/control_block.h"
#include "output/log_writer.h"
#include "output/log_writer_internal.h"
#include "platform/file.h"
#include "support/log_files.h"

namespace {

namespace fs = std::filesystem;
using control::controlBlock;
using namespace testing_support;  // the log tests' files, fixture and clock

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

}  // namespace
