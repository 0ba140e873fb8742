// Formatted text to the two console channels (the standard-output stream and the direct
// console write), to a message box, and to any receiver of a whole text.
#include "output/print.h"

#include <cstdarg>
#include <cstdio>

namespace output {

namespace {
using platform::Severity;

// The line buffer of PrintTo and PrintBox: room for every report line, log line and
// message-box text.
constexpr size_t kLineBufferSize = 512;

// Formats into buffer (longer texts are cut); the text's length, or -1 (and an empty text)
// when formatting fails.
template <size_t kSize>
int FormatInto(char (&buffer)[kSize], const char* format, va_list arguments) {
  int result = std::vsnprintf(buffer, kSize, format, arguments);
  if (result < 0) {
    buffer[0] = '\0';
    return -1;
  }
  return result < static_cast<int>(kSize) ? result : static_cast<int>(kSize) - 1;
}

// Formats into a line buffer and hands the text to receive(text).
template <typename Receiver>
void HandOnLine(Receiver receive, const char* format, va_list arguments) {
  char line[kLineBufferSize];
  FormatInto(line, format, arguments);
  receive(line);
}

// Formats into a local buffer and writes the text through the stream as severity.
void StreamAs(Severity severity, const char* format, va_list arguments) {
  char buffer[1024];
  int length = FormatInto(buffer, format, arguments);
  if (length >= 0) platform::StreamWrite(buffer, static_cast<size_t>(length), severity);
}
}  // namespace

void Print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  StreamAs(Severity::kInformation, format, arguments);
  va_end(arguments);
}

void PrintWarning(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  StreamAs(Severity::kWarning, format, arguments);
  va_end(arguments);
}

void PrintError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  StreamAs(Severity::kError, format, arguments);
  va_end(arguments);
}

void PrintNote(const char* format, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  int length = FormatInto(buffer, format, arguments);
  va_end(arguments);
  if (length >= 0)
    platform::ErrorStreamWrite(buffer, static_cast<size_t>(length), Severity::kWarning);
}

void WriteDirect(const char* format, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  int length = FormatInto(buffer, format, arguments);
  va_end(arguments);
  if (length >= 0) platform::ConsoleWrite(buffer, static_cast<size_t>(length));
}

void PrintTo(TextSink sink, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  HandOnLine([sink](const char* line) { sink(line); }, format, arguments);
  va_end(arguments);
}

void PrintBox(Severity severity, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  HandOnLine([severity](const char* line) { platform::ShowMessageBox(line, severity); }, format,
             arguments);
  va_end(arguments);
}

}  // namespace output
