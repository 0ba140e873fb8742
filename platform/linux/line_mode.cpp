// Line mode, for a terminal that cannot place its cursor (TERM unset, unknown or dumb): no
// screen is painted; every direct write (a trace line, the prompt, a reply) becomes a line of
// its own, stream text goes out as it comes, and the line being typed is echoed after the
// prompt. No escape sequence is sent. All of it runs under the console lock.
#include "platform/linux/line_mode.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/linux/journal_stream.h"
#include "platform/linux/standard_streams.h"

namespace platform {

namespace {

// Where the terminal's cursor stands: at the start of a line, or behind text that a stream
// write (which may go on) or a direct write (which is a line of its own) left there.
enum class Open { kNone, kByStream, kByDirect };

std::atomic<bool> active{false};
Open open = Open::kNone;
// The prompt and what has been typed behind it, shown again below a line that came between.
bool editing = false;
char editText[kScreenColumns + 256];
size_t editLength = 0;

// Ends the open line.
void CloseLine() {
  if (open != Open::kNone) WriteAll(1, "\r\n", 2);
  open = Open::kNone;
}

// Below a line that came between, the line being typed again.
void ShowEditAgain() {
  if (!editing || open != Open::kNone) return;
  WriteTerminalText(editText, editLength);
  open = Open::kByDirect;
}

}  // namespace

bool LineModeActive() {
  return active.load();
}

void LineModeStart(const char* reason) {
  active.store(true);
  PrintToStderr(Severity::kWarning, "LINKSPY: %s: line mode, no screen\n", reason);
}

// The text without a carriage return in front, without blanks behind; a text of blanks (the
// screen clearing, the blanking of the prompt rows) shows nothing.
void LineModeDirect(const char* text, size_t length) {
  while (length > 0 && (*text == '\r' || *text == '\n')) {
    ++text;
    --length;
  }
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\n')) --length;
  if (length == 0) return;
  CloseLine();
  WriteTerminalText(text, length);
  open = Open::kByDirect;
  if (editing) {
    CloseLine();
    ShowEditAgain();
  }
}

void LineModeStream(const char* text, size_t length) {
  if (length == 0) return;
  if (open == Open::kByDirect) CloseLine();
  WriteTerminalText(text, length);
  open = text[length - 1] == '\n' ? Open::kNone : Open::kByStream;
  ShowEditAgain();
}

// The prompt is what stands before the cursor on its row in the model.
void LineModeBeginEdit(const char* prompt, size_t length) {
  editing = true;
  editLength = std::min(length, sizeof editText);
  std::memcpy(editText, prompt, editLength);
}

void LineModeEcho(char typed) {
  if (editLength < sizeof editText) editText[editLength++] = typed;
  WriteTerminalText(&typed, 1);
  open = Open::kByDirect;
}

void LineModeBackspace() {
  if (editLength > 0) --editLength;
  WriteAll(1, "\b \b", 3);
}

void LineModeEndEdit() {
  editing = false;
  CloseLine();
}

void LineModeStop() {
  CloseLine();
}

}  // namespace platform
