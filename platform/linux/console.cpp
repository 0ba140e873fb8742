// The console operations on Linux: the screen model, its two output channels, the console
// lock, the title, and taking over and giving back the terminal.
#include "platform/console.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/linux/console_input.h"
#include "platform/linux/journal_stream.h"
#include "platform/linux/line_mode.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/screen_state.h"
#include "platform/linux/standard_streams.h"
#include "platform/linux/stderr_capture.h"
#include "platform/linux/terminal_painter.h"

namespace platform {

Screen consoleScreen = BlankScreen();
ScreenOverlay consoleOverlay{};
ScreenMarker consoleMarker{};

namespace {

enum Phase : int { kNotOpen, kOpen, kClosed };

// Statically initialised, so it works before and after every constructor and destructor.
pthread_mutex_t consoleMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
std::atomic<int> phase{kNotOpen};
std::atomic<bool> painted{false};
// The line ConsoleClose writes below the last screen (under the console lock); empty for none.
char lineAfterClose[kScreenColumns + 2];
// Standard output's journal line, under the console lock.
JournalLine outputLine{};

// Every signal whose default ends the process (SIGINT, SIGTERM and SIGHUP end it through
// the shutdown; SIGPIPE is ignored).
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS,    SIGFPE,  SIGILL,  SIGABRT, SIGQUIT,
                                 SIGTRAP, SIGSYS,    SIGXCPU, SIGXFSZ, SIGALRM, SIGUSR1,
                                 SIGUSR2, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT};

// Gives the terminal back after a crash, then lets the signal do what it does by default.
void RestoreOnFatalSignal(int signalNumber) {
  PainterEmergencyRestore();
  InputRestoreTerminal();
  raise(signalNumber);
}

// A stop from outside (the keys are raw, so not Ctrl-Z): the painter gives the terminal back
// and stops the process from its own thread; without it the key mode goes here.
void StopForJobControl(int) {
  if (PainterSuspend()) return;
  int savedErrno = errno;
  InputSuspendTerminal();
  raise(SIGSTOP);  // this thread stops before it goes on
  errno = savedErrno;
}

// Continued (after any stop, also one the program never saw): the key mode the shell may
// have changed is set again and the painter repaints everything.
void ResumeAfterStop(int) {
  int savedErrno = errno;
  InputResumeTerminal();
  PainterResume();
  errno = savedErrno;
}

// Installs handler for signalNumber; flags as sigaction takes them.
void Catch(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

// True when a terminal is in use for keys or output: only then are its signals caught, so
// that other handlers (a sanitizer's) stay in place without one.
bool UsesTerminal() {
  return OutputIsTerminal() || KeysFromTerminal();
}

// A crash or a stop must not leave the terminal raw and on the painter's screen. In before
// the painter starts, so that ncurses keeps out of the stop signal.
void CatchTerminalSignals() {
  if (!UsesTerminal()) return;
  for (int signalNumber : kFatalSignals) Catch(signalNumber, RestoreOnFatalSignal, SA_RESETHAND);
  Catch(SIGTSTP, StopForJobControl, SA_RESTART);
  Catch(SIGCONT, ResumeAfterStop, SA_RESTART);
}

// Back to the default behaviour once the terminal is given back.
void ReleaseTerminalSignals() {
  if (!UsesTerminal()) return;
  for (int signalNumber : kFatalSignals) signal(signalNumber, SIG_DFL);
  signal(SIGTSTP, SIG_DFL);
  signal(SIGCONT, SIG_DFL);
}

// Writes text at the cursor of the model; a stream write marks the rows it gives text, which
// the painter brings into view when its window leaves them out.
void WriteToModel(const char* text, size_t length, bool stream) {
  ScreenWrite(&consoleScreen, text, length, stream ? &consoleScreen.streamRows : nullptr);
  ScreenChanged();
}

}  // namespace

bool ScreenIsPainted() {
  return painted.load();
}

void ScreenChanged() {
  if (painted.load()) PainterWake();
}

// The painter takes the terminal first: ncurses sets its own mode, and the raw key mode is
// laid over it. The program closes the console itself (see main); the exit handler is for
// an exit called from anywhere else (a library, say).
void ConsoleOpen() {
  int expected = kNotOpen;
  if (!phase.compare_exchange_strong(expected, kOpen)) return;
  std::atexit(ConsoleClose);
  InputSaveTerminal();
  CatchTerminalSignals();
  if (OutputIsTerminal()) {
    const char* unfit = TerminalUnfitReason();
    if (unfit == nullptr && PainterStart()) {
      ConsoleLock();
      painted.store(true);
      ScreenChanged();
      ConsoleUnlock();
      CaptureStderr();
    } else {
      LineModeStart(unfit != nullptr ? unfit : "the terminal could not be set up");
    }
  }
  InputRawTerminal();
}

// The console lock is not held while the painter and the capture reader are stopped: both
// take it themselves.
void ConsoleClose() {
  int expected = kOpen;
  if (!phase.compare_exchange_strong(expected, kClosed)) return;
  bool wasPainted = painted.load();
  if (wasPainted) {
    ReleaseStderr();
    PainterStop();
    ConsoleLock();
    painted.store(false);
    ConsoleUnlock();
  }
  InputRestoreTerminal();
  ReleaseTerminalSignals();
  if (LineModeActive()) {
    ConsoleLock();
    LineModeStop();
    ConsoleUnlock();
  }
  ConsoleLock();
  if (wasPainted) PaintPlainScreen(consoleScreen);
  // The terminal's own line mode is back, so the line end goes out as the shell's do.
  WriteTerminalText(lineAfterClose, std::strlen(lineAfterClose));
  ConsoleUnlock();
}

bool RepeatAfterConsoleClose(const char* line) {
  if (!OutputIsTerminal()) return false;
  ConsoleLock();
  std::snprintf(lineAfterClose, sizeof lineAfterClose, "%s", line);
  ConsoleUnlock();
  return true;
}

// Before the painter runs the title sequence goes straight out; while it runs, the painter
// sends it between two paints. A terminal fit only for lines gets no escape sequence.
void ConsoleSetTitle(const char* title) {
  if (!OutputIsTerminal() || TerminalUnfitReason() != nullptr) return;
  ConsoleLock();
  if (painted.load()) {
    PainterSetTitle(title);
  } else {
    WriteTitle(title);
  }
  ConsoleUnlock();
}

void ConsoleLock() {
  pthread_mutex_lock(&consoleMutex);
}

bool ConsoleLockWithin(int timeoutMs) {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += timeoutMs % 1000 * 1000000L;
  deadline.tv_sec += timeoutMs / 1000 + deadline.tv_nsec / 1000000000L;
  deadline.tv_nsec %= 1000000000L;
  return pthread_mutex_timedlock(&consoleMutex, &deadline) == 0;
}

void ConsoleUnlock() {
  pthread_mutex_unlock(&consoleMutex);
}

void ConsoleSetCursor(int column, int row) {
  ConsoleLock();
  if (ScreenSetCursor(&consoleScreen, column, row)) ScreenChanged();
  ConsoleUnlock();
}

void ConsoleGetCursor(int* column, int* row) {
  ConsoleLock();
  *column = consoleScreen.cursorColumn;
  *row = consoleScreen.cursorRow;
  ConsoleUnlock();
}

void ConsoleMoveRect(int left, int top, int right, int bottom, int destColumn, int destRow,
                     char fill) {
  ConsoleLock();
  GridMoveRect(&consoleScreen.grid, left, top, right, bottom, destColumn, destRow, fill);
  ScreenChanged();
  ConsoleUnlock();
}

void ConsoleWrite(const char* text, size_t length) {
  ConsoleLock();
  WriteToModel(text, length, false);
  if (LineModeActive()) LineModeDirect(text, length);
  ConsoleUnlock();
}

// On a terminal the text always lands in the model; until the painter shows the model it is
// also written straight to the terminal, so nothing printed before or after the screen is
// lost. Redirected, the bytes go out unchanged, or as lines of severity to the journal.
void StreamWrite(const char* text, size_t length, Severity severity) {
  ConsoleLock();
  if (!OutputIsTerminal()) {
    if (OutputIsJournal()) {
      WriteJournalText(1, &outputLine, severity, text, length);
    } else {
      WriteAll(1, text, length);
    }
  } else {
    WriteToModel(text, length, true);
    if (LineModeActive()) {
      LineModeStream(text, length);
    } else if (!painted.load()) {
      WriteTerminalText(text, length);
    }
  }
  ConsoleUnlock();
}

ConsoleView ConsoleShows() {
  if (LineModeActive()) return ConsoleView::kLines;
  return painted.load() ? ConsoleView::kScreen : ConsoleView::kNothing;
}

void ConsoleReadRow(int row, char* cells) {
  if (!CellOnGrid(0, row)) {
    std::memset(cells, ' ', kScreenColumns);
    return;
  }
  ConsoleLock();
  std::memcpy(cells, consoleScreen.grid.cells[row], kScreenColumns);
  ConsoleUnlock();
}

void ConsoleWriteRow(int row, const char* cells) {
  if (!CellOnGrid(0, row)) return;
  ConsoleLock();
  std::memcpy(consoleScreen.grid.cells[row], cells, kScreenColumns);
  ScreenChanged();
  ConsoleUnlock();
}

// The painter draws it; it takes the note away when its time is up, a key read at once.
void ConsoleShowMarker(const char* text, int lifetimeMs) {
  ConsoleLock();
  std::snprintf(consoleMarker.text, sizeof consoleMarker.text, "%s", text);
  consoleMarker.untilMs = lifetimeMs > 0 ? MonotonicMs() + lifetimeMs : 0;
  ScreenChanged();
  ConsoleUnlock();
}

}  // namespace platform
