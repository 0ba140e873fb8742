// Writing text at the screen's cursor, with the line and wrap rules of a console.
#include <cstring>

#include "platform/linux/screen.h"

namespace platform {

namespace {

static_assert(kScreenRows <= 32, "a row mask holds one bit per row");

// Marks the cursor's row in rows (if given) when text holds anything but blanks.
void MarkRow(const Screen& screen, unsigned* rows, const char* text, size_t length) {
  if (rows == nullptr) return;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != ' ') {
      *rows |= 1u << screen.cursorRow;
      return;
    }
  }
}

// Moves the cursor to column 0 of the next row, scrolling (the marks in rows too) at the bottom.
void NextRow(Screen* screen, unsigned* rows) {
  screen->cursorColumn = 0;
  if (screen->cursorRow < kScreenRows - 1) {
    ++screen->cursorRow;
  } else {
    GridScrollUp(&screen->grid, ' ');
    if (rows != nullptr) *rows >>= 1;
  }
}

// Fills the cell at the cursor and moves on, wrapping after the last column.
void PutCell(Screen* screen, unsigned* rows, char byte) {
  MarkRow(*screen, rows, &byte, 1);
  screen->grid.cells[screen->cursorRow][screen->cursorColumn] = byte;
  if (++screen->cursorColumn == kScreenColumns) NextRow(screen, rows);
}

// Length of the run of plain bytes at text that stays on the cursor's row.
size_t PlainRun(const Screen& screen, const char* text, size_t length) {
  size_t room = static_cast<size_t>(kScreenColumns - screen.cursorColumn);
  size_t run = 0;
  while (run < length && run < room) {
    char byte = text[run];
    if (byte == '\r' || byte == '\n' || byte == '\b' || byte == '\t' || byte == '\a') break;
    ++run;
  }
  return run;
}

}  // namespace

// Plain runs are copied a row piece at a time: trace lines arrive at full speed.
void ScreenWrite(Screen* screen, const char* text, size_t length, unsigned* rowsGivenText) {
  while (length > 0) {
    size_t run = PlainRun(*screen, text, length);
    if (run > 1) {
      MarkRow(*screen, rowsGivenText, text, run - 1);
      std::memcpy(&screen->grid.cells[screen->cursorRow][screen->cursorColumn], text, run - 1);
      screen->cursorColumn += static_cast<int>(run - 1);
      PutCell(screen, rowsGivenText, text[run - 1]);
      text += run;
      length -= run;
      continue;
    }
    char byte = *text++;
    --length;
    switch (byte) {
      case '\r':
        screen->cursorColumn = 0;
        break;
      case '\n':
        NextRow(screen, rowsGivenText);
        break;
      case '\b':
        if (screen->cursorColumn > 0) --screen->cursorColumn;
        break;
      case '\t':
        do {
          PutCell(screen, rowsGivenText, ' ');
        } while (screen->cursorColumn % 8 != 0);
        break;
      case '\a':
        break;
      default:
        PutCell(screen, rowsGivenText, byte);
    }
  }
}

}  // namespace platform
