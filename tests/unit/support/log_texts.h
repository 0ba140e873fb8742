// Texts logged the two ways the program logs them: one LogOnly each, or in one receive pass.
// Header only, so that the Win32 unit test run under Wine shares it.
#pragma once

#include <string>
#include <vector>

#include "output/log_writer.h"

namespace testing_support {

// Logs texts one LogOnly each, or all in one receive pass ended by LogPass.
inline void LogTexts(const std::vector<std::string>& texts, bool inPass) {
  for (const std::string& text : texts) {
    if (inPass) {
      output::LogOnlyInPass(text.c_str());
    } else {
      output::LogOnly(text.c_str());
    }
  }
  if (inPass) output::LogPass();
}

}  // namespace testing_support
