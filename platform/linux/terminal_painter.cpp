// The terminal painter: ncurses shows the screen model (and a message box over it) in the
// terminal's top-left 80 x 25 cells, or a window onto it in a smaller terminal, repainting on
// a thread of its own at a bounded rate and handing ncurses only what changed.
#include "platform/linux/terminal_painter.h"

#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/linux/console_input.h"
#include "platform/linux/cp437.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/paint_changes.h"
#include "platform/linux/painter_stop.h"
#include "platform/linux/screen_state.h"
#include "platform/linux/screen_window.h"
#include "platform/linux/standard_streams.h"
#include "platform/linux/wake_pipe.h"

namespace platform {

namespace {

// Shortest time between two paints under a stream of changes: the model changes at full speed,
// the terminal shows its state of at most this long ago. A change after a quiet moment and
// what a key brought about are painted at once.
constexpr int kPaintIntervalMs = 100;
constexpr int kTitleSize = 256;
// How long a row that was written outside the window stays in view when no key comes first:
// long enough to read a line such as the welcome line.
constexpr int kShowWrittenRowMs = 3000;

SCREEN* terminalScreen = nullptr;
pthread_t painterThread;
// Self-pipe that wakes the painter: a change, a resize, a title, or the stop. Kept open for
// the whole run, so a late wake-up never writes to a reused descriptor.
int wakeFds[2] = {-1, -1};
std::atomic<int> wakeWriteFd{-1};
std::atomic<bool> running{false};
std::atomic<bool> stopRequested{false};
std::atomic<bool> dirty{false};
std::atomic<bool> resized{false};
// A key's effects are drawn: the next paint comes at once, not at the interval's end.
std::atomic<bool> paintNow{false};
// Stops asked for from outside and continues received.
StopCounts stopCounts;
// Painter thread only: the row written outside the window that is held in view until
// heldRowUntilMs (kNoRow: none), and when the marker's note goes (0: none).
int heldRow = kNoRow;
int64_t heldRowUntilMs = 0;
int64_t noteUntilMs = 0;
// Painter thread only: when the last paint was made, and what it handed to ncurses, the
// window's rows of cells (shownHeight 0: nothing known, everything is handed again).
int64_t lastPaintMs = 0;
PaintRows shownRows;
int shownHeight = 0;
int shownWidth = 0;

// Under the console lock.
char pendingTitle[kTitleSize];
bool titlePending = false;

// What a crash writes to get the terminal back: the saved mode and the reset sequences.
termios shellMode;
bool shellModeSaved = false;
char emergencyText[128];
size_t emergencyLength = 0;

// Makes the painter's poll return; async-signal-safe.
void WakePainter() {
  WakeThrough(wakeWriteFd.load());
}

// A resize repaints everything at the new size.
void NoteResize(int) {
  resized.store(true);
  WakePainter();
}

// Wide characters need a UTF-8 character type; without one the usual UTF-8 terminal is
// assumed.
void ChooseUtf8Locale() {
  std::setlocale(LC_CTYPE, "");
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

// The terminal's terminfo string called name; empty when it has none.
const char* TerminalString(const char* name) {
  char* capability = tigetstr(name);
  if (capability == nullptr || capability == reinterpret_cast<char*>(-1)) return "";
  return capability;
}

// Appends a terminfo string to the crash sequence when the terminal has it.
void AddEmergencyCapability(const char* name) {
  const char* capability = TerminalString(name);
  size_t length = std::strlen(capability);
  if (emergencyLength + length > sizeof emergencyText) return;
  std::memcpy(emergencyText + emergencyLength, capability, length);
  emergencyLength += length;
}

// Takes the model, overlay and marker (and a waiting title) under the console lock; a note
// whose time is up goes first. A lock held across an exit would never be released, so waiting
// for it gives way to the stop.
bool TakeSnapshot(Screen* screen, ScreenOverlay* overlay, ScreenMarker* marker, char* title,
                  bool* hasTitle) {
  while (!ConsoleLockWithin(50)) {
    if (stopRequested.load()) return false;
  }
  dirty.store(false);
  *screen = consoleScreen;
  consoleScreen.streamRows = 0;
  consoleScreen.keyRead = false;
  *overlay = consoleOverlay;
  if (consoleMarker.untilMs != 0 && MonotonicMs() >= consoleMarker.untilMs) {
    consoleMarker = ScreenMarker{};
  }
  *marker = consoleMarker;
  noteUntilMs = consoleMarker.untilMs;
  *hasTitle = titlePending;
  if (titlePending) std::memcpy(title, pendingTitle, kTitleSize);
  titlePending = false;
  ConsoleUnlock();
  return true;
}

// The character shown at (column, row): the message box's where it lies, else the model's.
unsigned char ShownCell(const Screen& screen, const ScreenOverlay& overlay, int column, int row) {
  bool boxed = overlay.shown && column >= overlay.left && column <= overlay.right &&
               row >= overlay.top && row <= overlay.bottom;
  return static_cast<unsigned char>(boxed ? overlay.grid.cells[row][column]
                                          : screen.grid.cells[row][column]);
}

// Follows a new terminal size; ncurses then repaints the whole terminal, and is handed every
// cell again.
void FollowResize() {
  winsize size{};
  if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    resizeterm(size.ws_row, size.ws_col);
  }
  clearok(curscr, TRUE);
  shownHeight = 0;
}

// The window for this paint: a row that a write put outside the window shown so far is held in
// view until a key is read or its time is up; a later such row takes its place.
ScreenWindow WindowFor(const Screen& screen, int cursorColumn, int cursorRow) {
  int64_t now = MonotonicMs();
  if (screen.keyRead || now >= heldRowUntilMs) heldRow = kNoRow;
  ScreenWindow window = ChooseWindow(LINES, COLS, cursorColumn, cursorRow, heldRow);
  int written = RowOutside(screen.streamRows, window);
  if (written == kNoRow) return window;
  heldRow = written;
  heldRowUntilMs = now + kShowWrittenRowMs;
  return ChooseWindow(LINES, COLS, cursorColumn, cursorRow, heldRow);
}

// How long the painter may sleep when nothing wakes it: until a held row's or the note's time
// is up, else for good (-1).
int SleepLimitMs() {
  int64_t until = heldRow != kNoRow ? heldRowUntilMs : 0;
  if (noteUntilMs != 0 && (until == 0 || noteUntilMs < until)) until = noteUntilMs;
  if (until == 0) return -1;
  return static_cast<int>(std::max<int64_t>(until - MonotonicMs(), 0));
}

// Lays text (code page 437) in reverse video over the top row of rows, ending at column right.
void LayReversed(PaintRows* rows, const char* text, int right) {
  int length = std::min(static_cast<int>(std::strlen(text)), right + 1);
  PaintCell* cells = rows->cells[0] + right + 1 - length;
  for (int i = 0; i < length; ++i) {
    cells[i] = kCp437ToUnicode[static_cast<unsigned char>(text[i])] | kReversedCell;
  }
}

// The cells the window shows: the model with the message box over it, the window's marker in
// the top row's last cell and the screen's marker left of it; both markers only where the top
// row lies above the prompt area.
void ComposeRows(const Screen& screen, const ScreenOverlay& overlay, const ScreenMarker& marker,
                 const ScreenWindow& window, PaintRows* rows) {
  for (int row = 0; row < window.height; ++row) {
    for (int column = 0; column < window.width; ++column) {
      rows->cells[row][column] =
          kCp437ToUnicode[ShownCell(screen, overlay, window.left + column, window.top + row)];
    }
  }
  wchar_t windowMarker = WindowMarker(window);
  if (windowMarker != 0) {
    rows->cells[0][window.width - 1] = static_cast<PaintCell>(windowMarker) | kReversedCell;
  }
  if (marker.text[0] != '\0' && window.height >= kMinRowsForMarker) {
    LayReversed(rows, marker.text, window.width - (windowMarker != 0 ? 2 : 1));
  }
}

// Hands ncurses the cells span of row, a run of cells of one kind at a time.
void HandCells(const PaintRows& rows, int row, CellSpan span) {
  wchar_t text[kScreenColumns + 1];
  int column = span.first;
  while (column <= span.last) {
    PaintCell kind = rows.cells[row][column] & kReversedCell;
    int length = 0;
    for (; column + length <= span.last; ++length) {
      PaintCell cell = rows.cells[row][column + length];
      if ((cell & kReversedCell) != kind) break;
      text[length] = static_cast<wchar_t>(cell & ~kReversedCell);
    }
    text[length] = L'\0';
    if (kind != 0) attron(A_REVERSE);
    mvaddnwstr(row, column, text, length);
    if (kind != 0) attroff(A_REVERSE);
    column += length;
  }
}

// Moves ncurses' rows as scroll says; with idlok its next refresh sends the terminal a scroll
// of those rows rather than their cells.
void HandScroll(const RowScroll& scroll) {
  setscrreg(scroll.top, scroll.bottom);
  scrollok(stdscr, TRUE);
  scrl(scroll.count);
  scrollok(stdscr, FALSE);
  setscrreg(0, LINES - 1);
}

// Hands ncurses what differs between next and what it was handed last: the rows that moved
// together as a scroll, then the cells still different; everything after a change of size.
void HandChanges(const PaintRows& next, int height, int width) {
  bool known = height == shownHeight && width == shownWidth;
  if (known) {
    RowScroll scroll = FindScroll(shownRows, next, height, width);
    if (scroll.count != 0) {
      HandScroll(scroll);
      ApplyScroll(&shownRows, scroll);
    }
  }
  for (int row = 0; row < height; ++row) {
    CellSpan span = known ? ChangedCells(shownRows, next, row, width) : CellSpan{0, width - 1};
    if (span.first > span.last) continue;
    HandCells(next, row, span);
    std::copy(next.cells[row] + span.first, next.cells[row] + span.last + 1,
              shownRows.cells[row] + span.first);
  }
  shownHeight = height;
  shownWidth = width;
}

// One paint of the window onto the 80 x 25 cells that the terminal's size allows; ncurses is
// handed what changed since the last one and sends the terminal what that changes on it.
void PaintOnce() {
  static Screen screen;
  static ScreenOverlay overlay;
  static ScreenMarker marker;
  static PaintRows next;
  static char title[kTitleSize];
  bool hasTitle = false;
  if (!TakeSnapshot(&screen, &overlay, &marker, title, &hasTitle)) return;
  if (resized.exchange(false)) FollowResize();
  int cursorColumn = overlay.shown ? overlay.cursorColumn : screen.cursorColumn;
  int cursorRow = overlay.shown ? overlay.cursorRow : screen.cursorRow;
  ScreenWindow window = WindowFor(screen, cursorColumn, cursorRow);
  ComposeRows(screen, overlay, marker, window, &next);
  HandChanges(next, window.height, window.width);
  move(cursorRow - window.top, cursorColumn - window.left);
  refresh();
  lastPaintMs = MonotonicMs();
  // Straight after the paint, when ncurses has flushed its output.
  if (hasTitle) WriteTitle(title);
}

// Length of the first width cells without their trailing blanks.
size_t TextLength(const char* cells, int width) {
  size_t length = static_cast<size_t>(width);
  while (length > 0 && cells[length - 1] == ' ') --length;
  return length;
}

// A stop from outside: the terminal goes back to the shell (normal screen, its mode) and the
// process stops; once continued, the painter's screen and the key mode come back. A continue
// that came meanwhile cancels the stop.
void StopAndResume() {
  endwin();
  InputSuspendTerminal();
  if (!StopCancelled(stopCounts)) raise(SIGSTOP);  // this thread stops before it goes on
  resized.store(true);
  PaintOnce();
  InputResumeTerminal();
}

// SIGTSTP and SIGCONT.
sigset_t JobControlSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTSTP);
  sigaddset(&signals, SIGCONT);
  return signals;
}

// Takes or gives back the job-control signals in the calling thread (how: SIG_UNBLOCK or
// SIG_BLOCK).
void ReceiveJobControlSignals(int how) {
  sigset_t signals = JobControlSignals();
  pthread_sigmask(how, &signals, nullptr);
}

// Milliseconds until the paint interval that began with the last paint is over; 0 when it is.
int IntervalLeftMs() {
  return static_cast<int>(std::max<int64_t>(lastPaintMs + kPaintIntervalMs - MonotonicMs(), 0));
}

// Sleeps until woken or a held row's time is up, then paints: at once after a quiet interval
// or a key's effects, else when the interval since the last paint is over. A wake inside the
// interval is kept (paintDue) and paints at its end, so the last state is always shown.
void* RunPainter(void*) {
  ReceiveJobControlSignals(SIG_UNBLOCK);
  bool paintDue = false;
  for (;;) {
    pollfd wake{wakeFds[0], POLLIN, 0};
    if (poll(&wake, 1, paintDue ? IntervalLeftMs() : SleepLimitMs()) < 0 && errno != EINTR) break;
    char drain[64];
    while (read(wakeFds[0], drain, sizeof drain) > 0) {
    }
    if (stopRequested.load()) break;
    if (TakePainterStep(&stopCounts) == PainterStep::kStop) {
      StopAndResume();
      paintDue = false;
      continue;
    }
    paintDue = true;
    if (!paintNow.exchange(false) && IntervalLeftMs() > 0) continue;
    PaintOnce();
    paintDue = false;
  }
  return nullptr;
}

// Creates the painter's wake pipe once.
bool OpenPainterPipe() {
  if (wakeFds[0] >= 0) return true;
  if (!OpenWakePipe(wakeFds)) return false;
  wakeWriteFd.store(wakeFds[1]);
  return true;
}

}  // namespace

// Looked at once: the terminal type must be known to terminfo and able to place the cursor.
const char* TerminalUnfitReason() {
  static char reason[160];
  static const bool unfit = [] {
    const char* type = std::getenv("TERM");
    if (type == nullptr || type[0] == '\0') {
      std::snprintf(reason, sizeof reason, "TERM is not set");
      return true;
    }
    TERMINAL* current = cur_term;
    int error = 0;
    if (setupterm(type, 1, &error) != OK) {
      std::snprintf(reason, sizeof reason, "terminal type \"%.64s\" is unknown", type);
      return true;
    }
    bool addressing = TerminalString("cup")[0] != '\0';
    del_curterm(cur_term);
    set_curterm(current);
    if (addressing) return false;
    std::snprintf(reason, sizeof reason, "terminal type \"%.64s\" cannot place the cursor", type);
    return true;
  }();
  return unfit ? reason : nullptr;
}

// The resize handler goes in before ncurses starts, so ncurses keeps out of that signal.
bool PainterStart() {
  if (!OpenPainterPipe()) return false;
  ChooseUtf8Locale();
  shellModeSaved = tcgetattr(1, &shellMode) == 0;
  struct sigaction action {};
  action.sa_handler = NoteResize;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &action, nullptr);
  terminalScreen = newterm(nullptr, stdout, stdin);
  if (terminalScreen == nullptr) return false;
  set_term(terminalScreen);
  typeahead(-1);
  noecho();
  nonl();
  leaveok(stdscr, FALSE);
  scrollok(stdscr, FALSE);
  idlok(stdscr, TRUE);
  curs_set(1);
  AddEmergencyCapability("sgr0");
  AddEmergencyCapability("cnorm");
  AddEmergencyCapability("rmcup");
  clear();
  shownHeight = 0;
  stopRequested.store(false);
  running.store(true);
  // While the painter runs, the job-control handlers run on its thread alone: on two threads a
  // continue could be counted before the stop request it came after, and would not cancel it.
  // Blocked here, they stay blocked in every thread started from now on but the painter (the
  // console is opened before any other thread starts).
  ReceiveJobControlSignals(SIG_BLOCK);
  if (pthread_create(&painterThread, nullptr, RunPainter, nullptr) != 0) {
    ReceiveJobControlSignals(SIG_UNBLOCK);
    running.store(false);
    endwin();
    return false;
  }
  return true;
}

// Stops the painter thread and gives the terminal back to its shell mode.
void PainterStop() {
  if (!running.load()) return;
  ConsoleLock();
  running.store(false);
  ConsoleUnlock();
  stopRequested.store(true);
  WakePainter();
  pthread_join(painterThread, nullptr);
  ReceiveJobControlSignals(SIG_UNBLOCK);
  endwin();
}

void PainterWake() {
  if (running.load() && !dirty.exchange(true)) WakePainter();
}

void PainterPaintNow() {
  if (!running.load()) return;
  paintNow.store(true);
  WakePainter();
}

void PainterSetTitle(const char* title) {
  std::snprintf(pendingTitle, sizeof pendingTitle, "%s", title);
  titlePending = true;
  WakePainter();
}

// Async-signal-safe: hands the stop to the painter thread, which alone drives ncurses.
bool PainterSuspend() {
  if (!running.load()) return false;
  NoteStopRequest(&stopCounts);
  WakePainter();
  return true;
}

// Async-signal-safe: everything is repainted at the next paint, and a stop the painter has not
// made yet is cancelled.
void PainterResume() {
  NoteContinue(&stopCounts);
  if (!running.load()) return;
  resized.store(true);
  WakePainter();
}

// Async-signal-safe: only writes and the saved terminal mode.
void PainterEmergencyRestore() {
  if (!running.load()) return;
  WriteAll(1, emergencyText, emergencyLength);
  WriteAll(1, "\r\n", 2);
  if (shellModeSaved) tcsetattr(1, TCSANOW, &shellMode);
}

// After the painter: writes the model's rows down to the last one that holds text as plain
// text on the normal screen (each cut to the terminal's width and cleared to its end), so the
// last screen stays readable, and leaves the cursor at the start of a cleared row below them:
// the shell's prompt starts on an empty row.
void PaintPlainScreen(const Screen& screen) {
  winsize size{};
  int terminalWidth = kScreenColumns;
  if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) terminalWidth = size.ws_col;
  int width = std::min(terminalWidth, kScreenColumns);
  const char* clearLine = TerminalString("el");
  const char* clearBelow = TerminalString("ed");
  int rows = kScreenRows;
  while (rows > 0 && TextLength(screen.grid.cells[rows - 1], kScreenColumns) == 0) --rows;
  WriteAll(1, "\r\n", 2);
  for (int row = 0; row < rows; ++row) {
    size_t length = TextLength(screen.grid.cells[row], width);
    WriteTerminalText(screen.grid.cells[row], length);
    // A row that fills the terminal has nothing to its right; clearing there would take its
    // last character in terminals that keep the cursor on it until the wrap.
    if (length < static_cast<size_t>(terminalWidth)) WriteAll(1, clearLine, std::strlen(clearLine));
    WriteAll(1, "\r\n", 2);
  }
  WriteAll(1, clearBelow, std::strlen(clearBelow));
}

}  // namespace platform
