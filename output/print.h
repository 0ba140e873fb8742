// Formatted text to the two console channels: the standard-output stream and the direct
// console write at the cursor.
#pragma once

namespace output {

// printf-style text through the standard-output stream.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text written directly to the console at its cursor.
void WriteDirect(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace output
