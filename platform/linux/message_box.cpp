// Message boxes: a framed box with an OK button over the middle of the painted screen, its
// text and a request for Enter in line mode, or a line on standard error when nobody can
// answer it at a terminal.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/linux/journal_stream.h"
#include "platform/linux/line_mode.h"
#include "platform/linux/message_box_internal.h"
#include "platform/linux/screen_state.h"
#include "platform/linux/standard_streams.h"
#include "platform/system.h"

namespace platform {

namespace {

constexpr char kTitle[] = " LINKSPY ";
constexpr char kButton[] = "[ OK ]";
// Code page 437 double-line frame.
constexpr char kTopLeft = static_cast<char>(0xC9);
constexpr char kTopRight = static_cast<char>(0xBB);
constexpr char kBottomLeft = static_cast<char>(0xC8);
constexpr char kBottomRight = static_cast<char>(0xBC);
constexpr char kHorizontal = static_cast<char>(0xCD);
constexpr char kVertical = static_cast<char>(0xBA);
// Frame, a blank on each side; above and below the text a blank row, the button row.
constexpr int kMaxTextWidth = kScreenColumns - 4;
constexpr int kMaxTextLines = kScreenRows - 5;

constexpr char kAskForEnter[] = "Press Enter to continue";
constexpr int kKeyEnter = 0x0D;
constexpr int kKeyEscape = 0x1B;
constexpr int kKeyInterrupt = 0x03;

// Splits text at its line breaks into at most kMaxTextLines lines of starts and lengths,
// each cut to kMaxTextWidth; returns the number of lines.
int SplitLines(const char* text, const char** starts, int* lengths) {
  int count = 0;
  while (count < kMaxTextLines) {
    const char* end = std::strchr(text, '\n');
    int length = end ? static_cast<int>(end - text) : static_cast<int>(std::strlen(text));
    int shown = length;
    if (shown > 0 && text[shown - 1] == '\r') --shown;
    starts[count] = text;
    lengths[count++] = std::min(shown, kMaxTextWidth);
    if (!end) break;
    text = end + 1;
  }
  return count;
}

// Copies length bytes into the overlay row at column.
void PutText(ScreenOverlay* box, int column, int row, const char* text, int length) {
  std::memcpy(&box->grid.cells[row][column], text, static_cast<size_t>(length));
}

// Reads keys until one closes the box (Enter, blank, Esc) or input ends. Ctrl-C closes it
// too and asks the program to end, as it does in a line being typed.
void AwaitClosingKey() {
  for (;;) {
    int key = ReadKey();
    if (key == kKeyInterrupt) RequestTermination();
    if (key < 0 || key == kKeyEnter || key == '\n' || key == ' ' || key == kKeyEscape ||
        key == kKeyInterrupt)
      return;
  }
}

// In line mode: the text, then a line asking for Enter; the key closes it as it closes a box.
void ShowBoxAsLines(const char* text, Severity severity) {
  StreamWrite("\n", 1, severity);
  StreamWrite(text, std::strlen(text), severity);
  StreamWrite("\n", 1, severity);
  StreamWrite(kAskForEnter, sizeof kAskForEnter - 1, severity);
  AwaitClosingKey();
  StreamWrite("\n", 1, severity);
}

}  // namespace

void LayoutMessageBox(const char* text, ScreenOverlay* box) {
  const char* starts[kMaxTextLines];
  int lengths[kMaxTextLines];
  int lines = SplitLines(text, starts, lengths);
  int textWidth = static_cast<int>(sizeof kTitle - 1) + 2;
  for (int i = 0; i < lines; ++i) textWidth = std::max(textWidth, lengths[i]);
  int width = textWidth + 4;
  int height = lines + 5;
  box->left = (kScreenColumns - width) / 2;
  box->top = (kScreenRows - height) / 2;
  box->right = box->left + width - 1;
  box->bottom = box->top + height - 1;
  for (int row = box->top; row <= box->bottom; ++row) {
    char* cells = &box->grid.cells[row][box->left];
    bool edge = row == box->top || row == box->bottom;
    std::memset(cells, edge ? kHorizontal : ' ', static_cast<size_t>(width));
    cells[0] = row == box->top ? kTopLeft : row == box->bottom ? kBottomLeft : kVertical;
    cells[width - 1] = row == box->top ? kTopRight : row == box->bottom ? kBottomRight : kVertical;
  }
  int titleLength = static_cast<int>(sizeof kTitle - 1);
  PutText(box, box->left + (width - titleLength) / 2, box->top, kTitle, titleLength);
  for (int i = 0; i < lines; ++i)
    PutText(box, box->left + 2, box->top + 2 + i, starts[i], lengths[i]);
  int buttonLength = static_cast<int>(sizeof kButton - 1);
  int buttonColumn = box->left + (width - buttonLength) / 2;
  PutText(box, buttonColumn, box->bottom - 1, kButton, buttonLength);
  box->cursorColumn = buttonColumn + 2;
  box->cursorRow = box->bottom - 1;
}

// The box covers the screen only in the painter's view: the model under it stays as it is
// (trace lines may go on changing it) and shows again when the box closes.
void ShowMessageBox(const char* text, Severity severity) {
  if (LineModeActive() && KeysFromTerminal()) {
    ShowBoxAsLines(text, severity);
    return;
  }
  if (!ScreenIsPainted() || !KeysFromTerminal()) {
    PrintToStderr(severity, "LINKSPY: %s\n", text);
    return;
  }
  ConsoleLock();
  LayoutMessageBox(text, &consoleOverlay);
  consoleOverlay.shown = true;
  ScreenChanged();
  ConsoleUnlock();
  AwaitClosingKey();
  ConsoleLock();
  consoleOverlay.shown = false;
  ScreenChanged();
  ConsoleUnlock();
}

}  // namespace platform
