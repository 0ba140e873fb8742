// Formatted text to the two console channels (the standard-output stream and the direct
// console write at the cursor), and to any receiver of a whole text.
#pragma once

namespace output {

// A receiver of one whole text: LogOnly, LogWithEcho, platform::ShowMessageBox.
using TextSink = void (*)(const char* text);

// printf-style text through the standard-output stream.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text written directly to the console at its cursor.
void WriteDirect(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text on standard error: a word about a choice made for the user, where a
// service's journal keeps it apart from the monitor's output.
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text formatted into a line buffer (a text over 511 bytes is cut) and handed to
// sink.
void PrintTo(TextSink sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace output
