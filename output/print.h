// Formatted text to the two console channels (the standard-output stream and the direct
// console write at the cursor), to a message box, and to any receiver of a whole text.
#pragma once

#include "platform/console.h"

namespace output {

// A receiver of one whole text: LogOnly, LogWithEcho, CloseLogForShutdown.
using TextSink = void (*)(const char* text);

// printf-style text through the standard-output stream: information, a warning, an error.
// The severity shows only where standard output is the systemd journal (as the line's
// priority); everywhere else the three print alike.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text written directly to the console at its cursor.
void WriteDirect(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text on standard error, as a warning: a word about a choice made for the user,
// where a service's journal keeps it apart from the monitor's output.
void PrintNote(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style text formatted into a line buffer (a text over 1023 bytes is cut, as
// every text formatted here is) and handed to
// sink.
void PrintTo(TextSink sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

// printf-style text (cut as PrintTo cuts) in a message box; severity ranks it where the box
// becomes a line on standard error.
void PrintBox(platform::Severity severity, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace output
