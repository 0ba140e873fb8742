// The terminal painter: ncurses shows the screen model (and a message box over it) in the
// terminal's top-left 80 x 25 cells, repainting on a thread of its own at a bounded rate.
#include <curses.h>
#include <fcntl.h>
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
#include <cstring>

#include "platform/console.h"
#include "platform/linux/console_state.h"
#include "platform/linux/cp437.h"
#include "platform/system.h"

namespace platform {

namespace {

// Shortest time between two paints: the model changes at full speed, the terminal keeps up
// with its final state within a few paints.
constexpr int kPaintIntervalMs = 20;
constexpr int kTitleSize = 256;

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
  int fd = wakeWriteFd.load();
  if (fd >= 0) {
    int savedErrno = errno;
    ssize_t ignored = write(fd, "x", 1);
    (void)ignored;
    errno = savedErrno;
  }
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

// Appends a terminfo string to the crash sequence when the terminal has it.
void AddEmergencyCapability(const char* name) {
  char* capability = tigetstr(name);
  if (capability == nullptr || capability == reinterpret_cast<char*>(-1)) return;
  size_t length = std::strlen(capability);
  if (emergencyLength + length > sizeof emergencyText) return;
  std::memcpy(emergencyText + emergencyLength, capability, length);
  emergencyLength += length;
}

// Takes the model and overlay (and a waiting title) under the console lock. A lock held
// across an exit would never be released, so waiting for it gives way to the stop.
bool TakeSnapshot(Screen* screen, ScreenOverlay* overlay, char* title, bool* hasTitle) {
  while (!ConsoleLockWithin(50)) {
    if (stopRequested.load()) return false;
  }
  dirty.store(false);
  *screen = consoleScreen;
  *overlay = consoleOverlay;
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

// Follows a new terminal size; ncurses then repaints the whole terminal.
void FollowResize() {
  winsize size{};
  if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    resizeterm(size.ws_row, size.ws_col);
  }
  clearok(curscr, TRUE);
}

// Sends the title sequence straight after a paint, when ncurses has flushed its output.
void SendTitle(const char* title) {
  WriteAll(1, "\033]0;", 4);
  WriteTerminalText(title, std::strlen(title));
  WriteAll(1, "\007", 1);
}

// One paint of what fits of the 80 x 25 cells; ncurses sends only what changed.
void PaintOnce() {
  static Screen screen;
  static ScreenOverlay overlay;
  static char title[kTitleSize];
  bool hasTitle = false;
  if (!TakeSnapshot(&screen, &overlay, title, &hasTitle)) return;
  if (resized.exchange(false)) FollowResize();
  int shownRows = std::min(LINES, kScreenRows);
  int shownColumns = std::min(COLS, kScreenColumns);
  wchar_t line[kScreenColumns + 1];
  for (int row = 0; row < shownRows; ++row) {
    for (int column = 0; column < shownColumns; ++column) {
      line[column] = static_cast<wchar_t>(kCp437ToUnicode[ShownCell(screen, overlay, column, row)]);
    }
    line[shownColumns] = L'\0';
    mvaddnwstr(row, 0, line, shownColumns);
  }
  int cursorColumn = overlay.shown ? overlay.cursorColumn : screen.cursorColumn;
  int cursorRow = overlay.shown ? overlay.cursorRow : screen.cursorRow;
  move(std::min(cursorRow, shownRows - 1), std::min(cursorColumn, shownColumns - 1));
  refresh();
  if (hasTitle) SendTitle(title);
}

// Sleeps until woken, paints, and keeps at least the paint interval between two paints.
void* RunPainter(void*) {
  for (;;) {
    pollfd wake{wakeFds[0], POLLIN, 0};
    if (poll(&wake, 1, -1) < 0 && errno != EINTR) break;
    char drain[64];
    while (read(wakeFds[0], drain, sizeof drain) > 0) {
    }
    if (stopRequested.load()) break;
    PaintOnce();
    SleepMs(kPaintIntervalMs);
  }
  return nullptr;
}

// Creates the painter's wake pipe once, non-blocking on both ends.
bool OpenWakePipe() {
  if (wakeFds[0] >= 0) return true;
  if (pipe2(wakeFds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  wakeWriteFd.store(wakeFds[1]);
  return true;
}

}  // namespace

// The resize handler goes in before ncurses starts, so ncurses keeps out of that signal.
bool PainterStart() {
  if (!OpenWakePipe()) return false;
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
  curs_set(1);
  AddEmergencyCapability("sgr0");
  AddEmergencyCapability("cnorm");
  AddEmergencyCapability("rmcup");
  clear();
  stopRequested.store(false);
  running.store(true);
  if (pthread_create(&painterThread, nullptr, RunPainter, nullptr) != 0) {
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
  endwin();
}

void PainterWake() {
  if (running.load() && !dirty.exchange(true)) WakePainter();
}

void PainterSetTitle(const char* title) {
  std::snprintf(pendingTitle, sizeof pendingTitle, "%s", title);
  titlePending = true;
  WakePainter();
}

// Async-signal-safe: only writes and the saved terminal mode.
void PainterEmergencyRestore() {
  if (!running.load()) return;
  WriteAll(1, emergencyText, emergencyLength);
  WriteAll(1, "\r\n", 2);
  if (shellModeSaved) tcsetattr(1, TCSANOW, &shellMode);
}

// After the painter: writes the model's rows as plain text on the normal screen (each cut to
// the terminal's width), so the last screen stays readable, and leaves the terminal cursor
// where the model's was.
void PaintPlainScreen(const Screen& screen) {
  winsize size{};
  int width = kScreenColumns;
  if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    width = std::min<int>(size.ws_col, kScreenColumns);
  }
  WriteAll(1, "\r\n", 2);
  for (int row = 0; row < kScreenRows; ++row) {
    int length = width;
    while (length > 0 && screen.grid.cells[row][length - 1] == ' ') --length;
    WriteTerminalText(screen.grid.cells[row], static_cast<size_t>(length));
    if (row < kScreenRows - 1) WriteAll(1, "\r\n", 2);
  }
  char motion[32];
  int up = kScreenRows - 1 - screen.cursorRow;
  int length = up > 0 ? std::snprintf(motion, sizeof motion, "\033[%dA\r", up)
                      : std::snprintf(motion, sizeof motion, "\r");
  WriteAll(1, motion, static_cast<size_t>(length));
  if (screen.cursorColumn > 0) {
    length =
        std::snprintf(motion, sizeof motion, "\033[%dC", std::min(screen.cursorColumn, width - 1));
    WriteAll(1, motion, static_cast<size_t>(length));
  }
}

}  // namespace platform
