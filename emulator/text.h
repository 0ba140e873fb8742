// Small text helpers shared by the profile, script and option readers.
#pragma once

#include <functional>
#include <string>

namespace emu {

// A decimal or 0x-hex number no greater than limit; false for anything else (signs included).
bool ParseNumber(const std::string& word, long limit, long& value);

// Text without leading and trailing blanks.
std::string Trim(const std::string& text);

// Calls handle for every line of the file (a final CR removed) until it returns a reason.
// Returns an empty string, "cannot read PATH", or "line N: reason".
std::string ForEachLine(const std::string& path,
                        const std::function<std::string(const std::string&)>& handle);

}  // namespace emu
