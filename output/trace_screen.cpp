// The trace screen: cursor placement, clearing, the scrolling output region into which trace
// lines are written without moving the cursor, and the hold of that region with its history.
#include "output/trace_screen.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "control/records/control_block.h"
#include "output/print.h"
#include "output/trace_screen_internal.h"
#include "platform/console.h"

namespace output {

char displayLine[kDisplayLineSize];

namespace {
using control::controlBlock;

// A trace line's widest: the last column is left alone, so that a line never wraps the cursor.
constexpr int kTraceLineColumns = platform::kScreenColumns - 1;
// How long the marker's place says that held lines are left only in the log.
constexpr int kLostNoteMs = 3000;
constexpr int kMarkerSize = platform::kScreenColumns + 1;

// The cursor saved around a trace row (under the console lock).
int savedCursorColumn = 0;
int savedCursorRow = 0;

// A row of blanks: a cleared row, the fill of a scroll.
struct BlankRow {
  char cells[platform::kScreenColumns];
};
// The blank row, made at compile time.
constexpr BlankRow MakeBlankRow() {
  BlankRow row{};
  for (char& cell : row.cells) cell = ' ';
  return row;
}
constexpr BlankRow kBlankRow = MakeBlankRow();
constexpr const char* kBlankCells = kBlankRow.cells;

// The region as a hold found it, and where its view stands; under the console lock.
struct Hold {
  int bottom;        // the region's last row
  int row;           // currentRow: held lines would have gone below it
  int64_t firstRow;  // the history number of the first held line
  bool viewPainted;  // the region shows history rows from viewTop on, not the held screen
  int64_t viewTop;
  char screen[platform::kScreenRows][platform::kScreenColumns];
};

TraceHistory history;
Hold hold;

// Remembers where the cursor stands.
void SaveCursor() {
  platform::ConsoleGetCursor(&savedCursorColumn, &savedCursorRow);
}

// Puts the cursor back where SaveCursor found it.
void RestoreCursor() {
  SetCursor(savedCursorColumn, savedCursorRow);
}

// True while output is held.
bool Held() {
  return controlBlock.outputStopRequested.load() != 0;
}

// Rows of the held region.
int HoldHeight() {
  return hold.bottom + 1;
}

// Moves rows 1..bottom up by one; row bottom is filled with blanks.
void ScrollOutputRegion(int bottom) {
  platform::ConsoleMoveRect(0, 1, platform::kScreenColumns - 1, bottom, 0, 0, ' ');
}

// Writes line on the next row of the output region (scrolling it when full) and keeps the
// row as it then stands in the history.
void WriteTraceRow(const char* line) {
  int bottom = controlBlock.bottomRow.load();
  if (controlBlock.currentRow.load() < bottom) {
    ++controlBlock.currentRow;
  } else {
    controlBlock.currentRow = bottom;
    ScrollOutputRegion(bottom);
  }
  SaveCursor();
  SetCursor(0, controlBlock.currentRow.load());
  WriteDirect("\r%s", line);
  RestoreCursor();
  platform::ConsoleReadRow(controlBlock.currentRow.load(), HistoryAppend(&history));
}

// The row held line index (from 0) would have been written over: a row of the held screen
// below the held row, blanks once the region would have scrolled.
const char* HeldBackground(int64_t index) {
  int64_t row = hold.row + 1 + index;
  return row <= hold.bottom ? hold.screen[row] : kBlankCells;
}

// Region row row as it would stand had the hold not been, scrolled times after held lines.
const char* UnheldRow(int row, int64_t scrolled, int64_t held) {
  int64_t place = row + scrolled;
  int64_t line = place - hold.row;
  if (line <= 0 || line > held) return hold.screen[place];
  const char* cells = HistoryRow(history, hold.firstRow + line - 1);
  return cells != nullptr ? cells : kBlankCells;
}

// Puts region row row of the view on the screen: its history row, blanks where none is kept.
void PaintViewRow(int row) {
  const char* cells = HistoryRow(history, hold.viewTop + row);
  platform::ConsoleWriteRow(row, cells != nullptr ? cells : kBlankCells);
}

// Shows the view from history row top on; a small move scrolls the region and paints only the
// rows that came into it.
void MoveViewTo(int64_t top) {
  int height = HoldHeight();
  int64_t shift = top - hold.viewTop;
  if (hold.viewPainted && shift == 0) return;
  bool scrolls = hold.viewPainted && shift > -height && shift < height;
  hold.viewTop = top;
  hold.viewPainted = true;
  if (!scrolls) {
    for (int row = 0; row < height; ++row) PaintViewRow(row);
    return;
  }
  int rows = static_cast<int>(shift > 0 ? shift : -shift);
  int last = platform::kScreenColumns - 1;
  if (shift > 0) {
    platform::ConsoleMoveRect(0, rows, last, hold.bottom, 0, 0, ' ');
    for (int row = height - rows; row < height; ++row) PaintViewRow(row);
  } else {
    platform::ConsoleMoveRect(0, 0, last, hold.bottom - rows, 0, rows, ' ');
    for (int row = 0; row < rows; ++row) PaintViewRow(row);
  }
}

// The view's top row as the history now stands: the held screen stands for the rows before
// the hold; once rows it shows are pushed out, the view stands on the oldest row kept.
int64_t ViewTopNow() {
  int64_t oldest = HistoryOldest(history);
  if (hold.viewPainted) return ViewTopKept(history, hold.viewTop);
  int64_t heldTop = hold.firstRow - HoldHeight();
  return oldest > std::max<int64_t>(heldTop, 0) ? oldest : heldTop;
}

// The marker of a hold: the lines held, and how far above the newest row the view stands.
void ShowHoldMarker() {
  int64_t held = HeldLineCount();
  int64_t shownBottom = hold.viewPainted ? hold.viewTop + hold.bottom : hold.firstRow - 1;
  int64_t up = std::max<int64_t>(history.rowCount - 1 - shownBottom, 0);
  char text[kMarkerSize];
  if (up == 0) {
    std::snprintf(text, sizeof text, " Held: %" PRId64 " new, view at newest ", held);
  } else {
    std::snprintf(text, sizeof text, " Held: %" PRId64 " new, view %" PRId64 " rows up ", held, up);
  }
  platform::ConsoleShowMarker(text, 0);
}

// A line that came while held: into the history over the row it would have been written on;
// a view whose rows are pushed out moves on with the history.
void KeepHeldLine() {
  const char* background = HeldBackground(HeldLineCount());
  char* cells = HistoryAppend(&history);
  std::memcpy(cells, background, platform::kScreenColumns);
  std::memcpy(cells, displayLine, strnlen(displayLine, platform::kScreenColumns));
  // Until a view is painted, viewTop is the held screen's top.
  int64_t top = ViewTopNow();
  if (top != hold.viewTop && platform::ConsoleShows() != platform::ConsoleView::kLines) {
    MoveViewTo(top);
  }
  ShowHoldMarker();
}

// Ends the hold: the trace goes on from the row it would have reached. repaint: the region is
// shown as it would stand (not needed where it is cleared next).
void EndHold(bool repaint) {
  int64_t held = HeldLineCount();
  int64_t rowsBelow = hold.bottom - hold.row;
  int64_t scrolled = std::max<int64_t>(held - rowsBelow, 0);
  controlBlock.currentRow = hold.row + static_cast<int>(std::min(held, rowsBelow));
  controlBlock.outputStopRequested = 0;
  char text[kMarkerSize] = "";
  if (platform::ConsoleShows() == platform::ConsoleView::kLines) {
    platform::ConsoleShowMarker("", 0);
    std::snprintf(text, sizeof text, "LINKSPY: %" PRId64 " trace lines were held; the log has them",
                  held);
    WriteTraceRow(text);
    return;
  }
  if (repaint) {
    for (int row = 0; row <= hold.bottom; ++row) {
      platform::ConsoleWriteRow(row, UnheldRow(row, scrolled, held));
    }
  }
  int64_t lost = held - kHistoryRows;
  if (lost > 0) {
    std::snprintf(text, sizeof text, " %" PRId64 " held lines are only in the log ", lost);
  }
  platform::ConsoleShowMarker(text, lost > 0 ? kLostNoteMs : 0);
}
}  // namespace

void SetCursor(int column, int row) {
  platform::ConsoleSetCursor(column, row);
}

void ClearScreen() {
  char blanks[platform::kScreenColumns + 1];
  for (int i = 0; i < platform::kScreenColumns; ++i) blanks[i] = ' ';
  blanks[platform::kScreenColumns] = '\0';
  // One unit, so a trace line cannot land in the middle of the clearing.
  platform::ConsoleLock();
  if (Held()) EndHold(false);
  SetCursor(0, 0);
  for (int row = 0; row < platform::kScreenRows; ++row) WriteDirect("%s", blanks);
  SetCursor(0, 0);
  platform::ConsoleUnlock();
}

void ShowOwnLine(const char* line) {
  int length = static_cast<int>(std::strcspn(line, "\r\n"));
  std::snprintf(displayLine, sizeof displayLine, "%-*.*s", kTraceLineColumns, length, line);
  ShowTraceLine();
}

void OpenShutdownRow() {
  platform::ConsoleLock();
  ScrollOutputRegion(kFullBottomRow);
  SetCursor(0, kFullBottomRow);
  platform::ConsoleUnlock();
}

void ShowTraceLine() {
  if (controlBlock.exitRequested.load() != 0) return;
  // Row choice, scroll and write are one unit against the main thread's drawing.
  platform::ConsoleLock();
  if (Held()) {
    KeepHeldLine();
  } else {
    WriteTraceRow(displayLine);
  }
  platform::ConsoleUnlock();
}

void HoldOutput() {
  platform::ConsoleLock();
  if (!Held()) {
    hold.bottom = controlBlock.bottomRow.load();
    hold.row = std::min(controlBlock.currentRow.load(), hold.bottom);
    hold.firstRow = history.rowCount;
    hold.viewPainted = false;
    hold.viewTop = hold.firstRow - HoldHeight();
    for (int row = 0; row <= hold.bottom; ++row) platform::ConsoleReadRow(row, hold.screen[row]);
    controlBlock.outputStopRequested = 1;
    ShowHoldMarker();
  }
  platform::ConsoleUnlock();
}

void ReleaseOutput() {
  platform::ConsoleLock();
  if (Held()) EndHold(true);
  platform::ConsoleUnlock();
}

void MoveHeldView(ViewMove move) {
  platform::ConsoleLock();
  if (Held() && platform::ConsoleShows() != platform::ConsoleView::kLines) {
    MoveViewTo(ViewTopAfter(history, ViewTopNow(), HoldHeight(), move));
    ShowHoldMarker();
  }
  platform::ConsoleUnlock();
}

int64_t HeldLineCount() {
  platform::ConsoleLock();
  int64_t held = Held() ? history.rowCount - hold.firstRow : 0;
  platform::ConsoleUnlock();
  return held;
}

}  // namespace output
