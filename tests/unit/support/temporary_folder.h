// The fixture of tests that write files: each test runs in a fresh temporary folder as its
// working directory, with the process-wide records back at their start values.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

class TemporaryFolderTest : public ::testing::Test {
 protected:
  // Makes the folder and changes into it; resets the control block, the log's names
  // (LINKSPY.LOG, LINKSPY.BAK in the folder), its backup count and the display line.
  void SetUp() override;
  // Changes back to where the test started and removes the folder with everything in it,
  // unless the test failed: then the folder stays and the failure names it.
  void TearDown() override;

  // The folder's absolute path.
  std::string folder_;

 private:
  std::string previous_;
};

}  // namespace testing_support
