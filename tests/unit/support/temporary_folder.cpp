// The temporary folder fixture: the folder, the working directory, the records reset.
#include "support/temporary_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/log_writer.h"
#include "output/log_writer_internal.h"
#include "output/trace_screen.h"

namespace testing_support {

namespace fs = std::filesystem;

void TemporaryFolderTest::SetUp() {
  previous_ = fs::current_path().string();
  char pattern[] = "/tmp/linkspy-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  folder_ = pattern;
  std::error_code error;
  fs::current_path(folder_, error);
  ASSERT_FALSE(error) << folder_ << ": " << error.message();
  control::ResetControlBlock();
  output::SetLogFileNames("LINKSPY.LOG", "LINKSPY.BAK", "LINKSPY.LCK");
  output::SetLogClock(nullptr);
  output::SetLogBackups(nullptr);
  output::displayLine[0] = '\0';
}

void TemporaryFolderTest::TearDown() {
  std::error_code error;
  fs::current_path(previous_, error);
  EXPECT_FALSE(error) << previous_ << ": " << error.message();
  if (folder_.empty()) return;
  // A failed test's files are the first thing to look at.
  if (HasFailure()) {
    ADD_FAILURE() << "its folder is kept: " << folder_;
    return;
  }
  fs::remove_all(folder_, error);
  EXPECT_FALSE(error) << folder_ << ": " << error.message();
}

}  // namespace testing_support
