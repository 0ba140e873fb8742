// Formatted text to the two console channels (the standard-output stream and the direct
// console write), to a message box, and to any receiver of a whole text.
#include "output/print.h"

#include <cstdarg>
#include <cstdio>

namespace output {

namespace {
using platform::Severity;

// The one buffer size of every text formatted here: room for every report line, log line,
// usage text and message-box text; longer texts are cut.
constexpr size_t kTextBufferSize = 1024;

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

// Formats into a text buffer and hands the text to receive(text) (empty when formatting fails).
template <typename Receiver>
void HandOnLine(Receiver receive, const char* format, va_list arguments) {
  char line[kTextBufferSize];
  FormatInto(line, format, arguments);
  receive(line);
}

// Formats into a text buffer and hands text and length to write(text, length); nothing when
// formatting fails.
template <typename Writer>
void FormatAndWrite(Writer write, const char* format, va_list arguments) {
  char text[kTextBufferSize];
  int length = FormatInto(text, format, arguments);
  if (length >= 0) write(text, static_cast<size_t>(length));
}

// Formats and writes the text through the stream as severity.
void StreamAs(Severity severity, const char* format, va_list arguments) {
  FormatAndWrite([severity](const char* text,
                            size_t length) { platform::StreamWrite(text, length, severity); },
                 format, arguments);
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
  va_list arguments;
  va_start(arguments, format);
  FormatAndWrite(
      [](const char* text, size_t length) {
        platform::ErrorStreamWrite(text, length, Severity::kWarning);
      },
      format, arguments);
  va_end(arguments);
}

void WriteDirect(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatAndWrite(platform::ConsoleWrite, format, arguments);
  va_end(arguments);
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
