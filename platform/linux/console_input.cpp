// Keys and lines: raw single keys and line input with echo from a terminal, bytes and lines
// from redirected standard input; every wait also ends when termination is requested.
#include "platform/linux/console_input.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/console.h"
#include "platform/linux/key_decoder.h"
#include "platform/linux/line_mode.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/process_signals.h"
#include "platform/linux/screen_state.h"
#include "platform/linux/standard_streams.h"
#include "platform/linux/terminal_painter.h"
#include "platform/system.h"

namespace platform {

namespace {

constexpr int kKeyBackspace = 0x08;
constexpr int kKeyEndOfFileD = 0x04;
constexpr int kKeyEndOfFileZ = 0x1A;
constexpr int kKeyInterrupt = 0x03;
constexpr int kKeyEndProgram = 0x18;
constexpr int kKeyEscape = 0x1B;
// The bytes of one key (a UTF-8 character, an escape sequence) arrive together, and so do
// the lines of a paste.
constexpr int kKeyTailWaitMs = 10;

termios originalMode;
// The program's key mode as set, to be set again after a stop.
termios rawMode;
std::atomic<bool> modeSaved{false};
std::atomic<bool> rawActive{false};
// Set once standard input has ended: from then on only a termination request ends a wait,
// so a closed pipe (always readable) cannot wake the keyboard loop in a tight cycle.
std::atomic<bool> inputEnded{false};

// Keys that a wait of start-up read while it watched for the keys that end the program, kept
// in order for the keyboard loop (main thread only).
unsigned char heldKeys[64];
size_t heldCount = 0;
size_t heldTaken = 0;

// Main thread only: a key or line was handed to the program since it last asked for one, and
// what it brings about (the echo, a page of the held view, a command's answer) is being drawn.
bool keyEffectsUnshown = false;

enum Wait { kTerminated = -1, kTimedOut = 0, kReady = 1 };

// Waits up to timeoutMs (-1: no limit) for input or a termination request.
Wait WaitForInput(int timeoutMs) {
  if (heldTaken < heldCount) return kReady;
  pollfd watched[2] = {{TerminationWakeFd(), POLLIN, 0}, {0, POLLIN, 0}};
  int ready = poll(watched, inputEnded.load() ? 1 : 2, timeoutMs);
  if (ready < 0) return kTimedOut;  // interrupted by a signal: the caller looks again
  if (watched[0].revents != 0 && WakeIsTermination()) return kTerminated;
  return watched[1].revents != 0 ? kReady : kTimedOut;
}

// A key makes the window go back to the rows that matter: whatever was written before it has
// been seen or is no news any more; a note in the marker's place goes with it.
void NoteKey() {
  ConsoleLock();
  consoleScreen.streamRows = 0;
  consoleScreen.keyRead = true;
  if (consoleMarker.untilMs != 0) consoleMarker = ScreenMarker{};
  ScreenChanged();
  ConsoleUnlock();
}

// The program asks for the next key, so the last one's effects are drawn: the painter shows
// them at once rather than at the end of its paint interval.
void ShowKeyEffects() {
  if (!keyEffectsUnshown) return;
  keyEffectsUnshown = false;
  PainterPaintNow();
}

// One byte of standard input: -1 at its end or on a termination request. At the end a read
// returns at once, so it is tried without a wait (which would no longer look at the input).
int ReadByte() {
  if (heldTaken < heldCount) {
    NoteKey();
    return heldKeys[heldTaken++];
  }
  for (;;) {
    bool ended = inputEnded.load();
    if (!ended) {
      Wait wait = WaitForInput(-1);
      if (wait == kTerminated) return -1;
      if (wait == kTimedOut) continue;
    }
    unsigned char byte;
    ssize_t n = read(0, &byte, 1);
    if (n == 1) {
      inputEnded.store(false);
      NoteKey();
      return byte;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN) && !ended) continue;
    inputEnded.store(true);
    return -1;
  }
}

// The next byte of a key already under way, or -1 when none follows at once.
int ReadKeyTail() {
  return WaitForInput(kKeyTailWaitMs) == kReady ? ReadByte() : -1;
}

// Where the decoding of the terminal's bytes stands, and the keys decoded and not yet read
// (main thread only, as every key read).
KeyDecoder keyDecoder{};
int decodedKeys[kMaxKeysPerByte];
int decodedCount = 0;
int decodedNext = 0;

// Decodes terminal bytes until a key is ready to be read. The key's first byte is waited for
// at most timeoutMs (-1: no limit), each further byte of it kKeyTailWaitMs. False when no key
// came: the time is up, input has ended or termination is requested.
bool DecodeUntilKey(int timeoutMs) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  while (decodedNext == decodedCount) {
    decodedNext = decodedCount = 0;
    int byte;
    if (KeyUnderWay(keyDecoder)) {
      byte = ReadKeyTail();
      if (byte < 0) {
        decodedCount = EndKeyBytes(&keyDecoder, decodedKeys);
        continue;
      }
    } else {
      int64_t left = deadline - MonotonicMs();
      if (timeoutMs >= 0 && WaitForInput(left > 0 ? static_cast<int>(left) : 0) != kReady)
        return false;
      byte = ReadByte();
      if (byte < 0) return false;
    }
    decodedCount = DecodeKeyByte(&keyDecoder, static_cast<unsigned char>(byte), decodedKeys);
  }
  return true;
}

// Writes text at the model's cursor.
void Echo(const char* text, size_t length) {
  ConsoleLock();
  ScreenWrite(&consoleScreen, text, length);
  ScreenChanged();
  ConsoleUnlock();
}

// Echoes one typed character (in line mode to the terminal as well).
void EchoTyped(char typed) {
  ConsoleLock();
  Echo(&typed, 1);
  if (LineModeActive()) LineModeEcho(typed);
  ConsoleUnlock();
}

// True when the echo of one more character would leave the cursor's row: the typed line stays
// on its row, as the rows below and above it belong to others.
bool RowIsFull() {
  ConsoleLock();
  bool full = consoleScreen.cursorColumn >= kScreenColumns - 1;
  ConsoleUnlock();
  return full;
}

// Takes back the character before the cursor (the typed line never leaves its row).
void EchoBackspace() {
  ConsoleLock();
  Screen& screen = consoleScreen;
  if (screen.cursorColumn > 0) --screen.cursorColumn;
  screen.grid.cells[screen.cursorRow][screen.cursorColumn] = ' ';
  ScreenChanged();
  if (LineModeActive()) LineModeBackspace();
  ConsoleUnlock();
}

// In line mode the prompt before the cursor starts the line being typed.
void BeginEdit() {
  if (!LineModeActive()) return;
  ConsoleLock();
  const Screen& screen = consoleScreen;
  LineModeBeginEdit(screen.grid.cells[screen.cursorRow], static_cast<size_t>(screen.cursorColumn));
  ConsoleUnlock();
}

// The line is done: the model's cursor goes to the next row, line mode ends the line.
void EndEdit() {
  ConsoleLock();
  Echo("\n", 1);
  if (LineModeActive()) LineModeEndEdit();
  ConsoleUnlock();
}

// Line input at the terminal with echo into the model; printable keys beyond the capacity or
// the end of the row are refused, the keys that edit or end the line still work.
int EditLine(char* line, int capacity) {
  int length = 0;
  BeginEdit();
  for (;;) {
    int key = ReadKey();
    if (key < 0) {
      EndEdit();
      return -1;
    }
    if (key == '\r' || key == '\n') break;
    if (key == kKeyEndOfFileD || key == kKeyEndOfFileZ) {
      if (length == 0) break;
      continue;
    }
    if (key == kKeyInterrupt) {
      RequestTermination();
      EndEdit();
      return -1;
    }
    if (key == kKeyBackspace) {
      if (length > 0) {
        --length;
        EchoBackspace();
      }
      continue;
    }
    if (key < 0x20 || key > 0xFF || length >= capacity - 1 || RowIsFull()) continue;
    line[length++] = static_cast<char>(key);
    EchoTyped(static_cast<char>(key));
  }
  EndEdit();
  line[length] = '\0';
  return length;
}

// A line of redirected input: the bytes up to a line feed, a carriage return before it
// dropped, the rest of an over-long line read and dropped. A last line without a line feed
// still counts. The line and its end are echoed into the model only, so the screen model
// stands as after typing it at the console.
int ReadPlainLine(char* line, int capacity) {
  int length = 0;
  bool anyByte = false;
  bool carriageReturn = false;
  for (;;) {
    int byte = ReadByte();
    if (byte < 0) {
      if (!anyByte || TerminationRequested()) return -1;
      break;
    }
    anyByte = true;
    if (byte == '\n') break;
    if (carriageReturn && length < capacity - 1) line[length++] = '\r';
    carriageReturn = byte == '\r';
    if (!carriageReturn && length < capacity - 1) line[length++] = static_cast<char>(byte);
  }
  line[length] = '\0';
  Echo(line, static_cast<size_t>(length));
  Echo("\n", 1);
  return length;
}

}  // namespace

void InputSaveTerminal() {
  if (KeysFromTerminal() && !modeSaved.load() && tcgetattr(0, &originalMode) == 0) {
    modeSaved.store(true);
  }
}

// Single keys without echo; Ctrl-C, Ctrl-Z, Ctrl-S and Ctrl-Q arrive as keys. The output
// flags stay as they are: the painter's library has set them.
void InputRawTerminal() {
  termios mode;
  if (!modeSaved.load() || tcgetattr(0, &mode) != 0) return;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(0, TCSANOW, &mode) != 0) return;
  tcgetattr(0, &rawMode);
  rawActive.store(true);
}

// Async-signal-safe: used from the crash handler too.
void InputRestoreTerminal() {
  if (rawActive.exchange(false)) tcsetattr(0, TCSANOW, &originalMode);
}

// Async-signal-safe: the shell's mode while the program is stopped.
void InputSuspendTerminal() {
  if (rawActive.load()) tcsetattr(0, TCSANOW, &originalMode);
}

// Async-signal-safe: the key mode again after a stop (whatever the shell left).
void InputResumeTerminal() {
  if (rawActive.load()) tcsetattr(0, TCSANOW, &rawMode);
}

bool KeyWaiting(int timeoutMs) {
  ShowKeyEffects();
  if (!KeysFromTerminal()) return WaitForInput(timeoutMs) == kReady;
  return DecodeUntilKey(timeoutMs);
}

// At the terminal, the keys as decoded: Backspace (DEL) reads as 0x08, typed characters as
// code page bytes, an escape sequence as a cursor or page key's named code, else as Esc.
int ReadKey() {
  ShowKeyEffects();
  int key = -1;
  if (!KeysFromTerminal()) {
    key = ReadByte();
  } else if (DecodeUntilKey(-1)) {
    key = decodedKeys[decodedNext++];
  }
  keyEffectsUnshown = key >= 0;
  return key;
}

// Esc keys are passed over: a paste's closing bracket (an escape sequence) starts no line.
bool LineFollows() {
  if (!KeysFromTerminal()) return false;
  while (DecodeUntilKey(kKeyTailWaitMs)) {
    if (decodedKeys[decodedNext] != kKeyEscape) return true;
    ++decodedNext;
  }
  return false;
}

int StartupKeysFd() {
  return KeysFromTerminal() && !inputEnded.load() ? 0 : -1;
}

bool TakeStartupKeys() {
  if (heldTaken == heldCount) heldTaken = heldCount = 0;
  unsigned char typed[sizeof heldKeys];
  ssize_t n = read(0, typed, sizeof typed);
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) inputEnded.store(true);
  for (ssize_t i = 0; i < n; ++i) {
    if (typed[i] == kKeyInterrupt || typed[i] == kKeyEndProgram) {
      RequestTermination();
      return true;
    }
    // Keys beyond the store are dropped: nobody types that much ahead of a start.
    if (heldCount < sizeof heldKeys) heldKeys[heldCount++] = typed[i];
  }
  return false;
}

// A line at the terminal is read key by key (ReadKey); a redirected one is one read here.
int ReadLine(char* line, int capacity) {
  if (capacity < 1) return -1;
  if (KeysFromTerminal()) return EditLine(line, capacity);
  ShowKeyEffects();
  int length = ReadPlainLine(line, capacity);
  keyEffectsUnshown = length >= 0;
  return length;
}

}  // namespace platform
