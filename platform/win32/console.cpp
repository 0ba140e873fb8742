// The Win32 console: cursor, direct writes, scrolling, cell reads, keys, line input, the
// window title and message boxes, all serialised by one recursive console lock.
#include "platform/console.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"
#include "platform/win32/termination_event.h"

namespace platform {

namespace {

CRITICAL_SECTION consoleSection;
// Set up before main runs, so the lock is usable from the very first output.
[[maybe_unused]] const bool consoleSectionReady =
    (InitializeCriticalSection(&consoleSection), true);

HANDLE outputHandle = INVALID_HANDLE_VALUE;
HANDLE inputHandle = INVALID_HANDLE_VALUE;
bool outputIsConsole = false;
bool inputIsConsole = false;
// The line ConsoleClose writes once more at the end (under the console lock); empty for none.
char lineAfterClose[kScreenColumns + 2];
// Set once redirected input has ended (main thread only): a pipe at its end counts as
// readable, so the waits then sleep their time instead of returning at once.
bool inputEnded = false;

// Pause between two looks at input that is not there yet.
constexpr DWORD kPollMs = 10;
// The keys that end the program.
constexpr char kKeyInterrupt = 0x03;
constexpr char kKeyEndProgram = 0x18;
// How long the next line of a paste may take to stand in the input queue after the one read.
constexpr int kPasteFollowMs = 10;

// True when column and row lie on the 80 x 25 screen.
bool OnScreen(int column, int row) {
  return column >= 0 && column < kScreenColumns && row >= 0 && row < kScreenRows;
}

// Clamps value into low..high.
SHORT Clamp(int value, int low, int high) {
  return static_cast<SHORT>(value < low ? low : (value > high ? high : value));
}

// True for an input record that _getch turns into a character: a key going down that
// carries one. Everything else (key releases, shift keys, focus and size events) is noise.
bool IsCharacterKey(const INPUT_RECORD& record) {
  return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
         record.Event.KeyEvent.uChar.AsciiChar != 0;
}

// Looks at the console input queue: true when a character key is at its head. Other
// records in front of it are taken off, so that they cannot make the wait return early.
bool CharacterKeyAtHead() {
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputA(inputHandle, &record, 1, &count) || count == 0) return false;
    if (IsCharacterKey(record)) return true;
    if (!ReadConsoleInputA(inputHandle, &record, 1, &count)) return false;
  }
}

// KeyWaiting on the console. The input handle is signalled while the queue holds any
// record; the wait sleeps in the kernel until then or until the time is up. _kbhit is not
// used: under Wine's terminal console it never sees keys that no reader has asked for yet.
bool ConsoleKeyWaiting(int timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (CharacterKeyAtHead()) return true;
    DWORD spent = GetTickCount() - start;
    if (spent >= static_cast<DWORD>(timeoutMs)) return false;
    if (WaitForSingleObject(inputHandle, static_cast<DWORD>(timeoutMs) - spent) != WAIT_OBJECT_0)
      return CharacterKeyAtHead();
    // Signalled with an empty queue (the console still turning terminal bytes into records):
    // a short pause keeps a handle that stays signalled from becoming a spin.
    DWORD queued = 0;
    if (GetNumberOfConsoleInputEvents(inputHandle, &queued) && queued == 0) Sleep(kPollMs);
  }
}

// KeyWaiting when standard input is a pipe: looks every few milliseconds. The end of the
// pipe counts as waiting input, so that the next read reports it.
bool PipeKeyWaiting(int timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(inputHandle, nullptr, 0, nullptr, &available, nullptr) || available > 0)
      return true;
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) return false;
    Sleep(kPollMs);
  }
}

}  // namespace

HANDLE StartupKeysHandle() {
  return inputIsConsole ? inputHandle : nullptr;
}

StartupKeys LookAtStartupKeys() {
  if (!inputIsConsole || !CharacterKeyAtHead()) return StartupKeys::kNone;
  INPUT_RECORD records[128];
  DWORD count = 0;
  if (!PeekConsoleInputA(inputHandle, records, 128, &count)) return StartupKeys::kTyped;
  for (DWORD i = 0; i < count; ++i) {
    if (!IsCharacterKey(records[i])) continue;
    char key = records[i].Event.KeyEvent.uChar.AsciiChar;
    if (key == kKeyInterrupt || key == kKeyEndProgram) {
      RequestTermination();
      return StartupKeys::kEnd;
    }
  }
  return StartupKeys::kTyped;
}

void ConsoleOpen() {
  outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  inputHandle = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  outputIsConsole = GetConsoleMode(outputHandle, &mode) != 0;
  inputIsConsole = GetConsoleMode(inputHandle, &mode) != 0;
}

void ConsoleClose() {
  std::fflush(stdout);
  ConsoleLock();
  ConsoleWrite(lineAfterClose, std::strlen(lineAfterClose));
  ConsoleUnlock();
}

bool RepeatAfterConsoleClose(const char* line) {
  if (!outputIsConsole) return false;
  ConsoleLock();
  std::snprintf(lineAfterClose, sizeof lineAfterClose, "%s", line);
  ConsoleUnlock();
  return true;
}

void ConsoleSetTitle(const char* title) {
  SetConsoleTitleA(title);
}

void ConsoleLock() {
  EnterCriticalSection(&consoleSection);
}

void ConsoleUnlock() {
  LeaveCriticalSection(&consoleSection);
}

void ConsoleSetCursor(int column, int row) {
  if (!outputIsConsole || !OnScreen(column, row)) return;
  COORD place{static_cast<SHORT>(column), static_cast<SHORT>(row)};
  SetConsoleCursorPosition(outputHandle, place);
}

void ConsoleGetCursor(int* column, int* row) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!outputIsConsole || !GetConsoleScreenBufferInfo(outputHandle, &info)) {
    *column = *row = 0;
    return;
  }
  *column = info.dwCursorPosition.X;
  *row = info.dwCursorPosition.Y;
}

void ConsoleMoveRect(int left, int top, int right, int bottom, int destColumn, int destRow,
                     char fill) {
  if (!outputIsConsole) return;
  CONSOLE_SCREEN_BUFFER_INFO info;
  WORD attributes = GetConsoleScreenBufferInfo(outputHandle, &info)
                        ? info.wAttributes
                        : static_cast<WORD>(FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE);
  SMALL_RECT source{Clamp(left, 0, kScreenColumns - 1), Clamp(top, 0, kScreenRows - 1),
                    Clamp(right, 0, kScreenColumns - 1), Clamp(bottom, 0, kScreenRows - 1)};
  // The screen is the clip: a buffer taller than 25 rows keeps its other rows.
  SMALL_RECT screen{0, 0, kScreenColumns - 1, kScreenRows - 1};
  COORD dest{static_cast<SHORT>(destColumn), static_cast<SHORT>(destRow)};
  CHAR_INFO fillCell;
  fillCell.Char.AsciiChar = fill;
  fillCell.Attributes = attributes;
  ScrollConsoleScreenBufferA(outputHandle, &source, &screen, dest, &fillCell);
}

void ConsoleWrite(const char* text, size_t length) {
  if (!outputIsConsole) return;
  ConsoleLock();
  while (length > 0) {
    DWORD written = 0;
    if (!WriteConsoleA(outputHandle, text, static_cast<DWORD>(length), &written, nullptr) ||
        written == 0)
      break;
    text += written;
    length -= written;
  }
  ConsoleUnlock();
}

// Windows has no journal: the severity changes nothing here.
void StreamWrite(const char* text, size_t length, Severity) {
  ConsoleLock();
  if (outputIsConsole) {
    // On the console the stream's bytes are characters of the console's code page. Wine's C
    // library would read them in the ANSI code page instead (0xFD a y with acute, not the
    // superscript two), so console text takes the console's own write, as it does beneath
    // the stream on Windows.
    std::fflush(stdout);
    ConsoleWrite(text, length);
  } else {
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
  }
  ConsoleUnlock();
}

char ConsoleCellAt(int column, int row) {
  if (!outputIsConsole || !OnScreen(column, row)) return ' ';
  char cell = ' ';
  DWORD count = 0;
  COORD place{static_cast<SHORT>(column), static_cast<SHORT>(row)};
  if (!ReadConsoleOutputCharacterA(outputHandle, &cell, 1, place, &count) || count != 1) return ' ';
  return cell;
}

bool KeyWaiting(int timeoutMs) {
  if (timeoutMs < 0) timeoutMs = 0;
  if (inputIsConsole) return ConsoleKeyWaiting(timeoutMs);
  if (inputEnded) {
    Sleep(static_cast<DWORD>(timeoutMs));
    return false;
  }
  if (GetFileType(inputHandle) == FILE_TYPE_PIPE) return PipeKeyWaiting(timeoutMs);
  return true;  // a file or device: a read never waits for long
}

int ReadKey() {
  if (inputIsConsole) return _getch() & 0xFF;
  int c = std::fgetc(stdin);
  if (c != EOF) return c;
  inputEnded = true;
  return -1;
}

int ReadLine(char* line, int capacity) {
  if (capacity <= 0) return -1;
  if (std::fgets(line, capacity, stdin) == nullptr) {
    // At the console a line that begins with Ctrl-Z reads as the end; the console goes on,
    // so the next prompt reads again. Redirected input has really ended.
    if (inputIsConsole) {
      std::clearerr(stdin);
    } else {
      inputEnded = true;
    }
    return -1;
  }
  size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
  } else {
    // Cut at the capacity: the rest of the line is read and dropped.
    int c;
    do {
      c = std::fgetc(stdin);
    } while (c != '\n' && c != EOF);
  }
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  return static_cast<int>(length);
}

// The console's line input takes one line of a paste; the others stay as key records behind
// it. Redirected input never has one.
bool LineFollows() {
  return inputIsConsole && ConsoleKeyWaiting(kPasteFollowMs);
}

void ErrorStreamWrite(const char* text, size_t length, Severity) {
  std::fwrite(text, 1, length, stderr);
  std::fflush(stderr);
}

void ShowMessageBox(const char* text, Severity) {
  // Without a desktop (a service, or Wine in a terminal without a display) the box cannot be
  // shown and MessageBoxA fails at once; the text then goes to standard error.
  if (MessageBoxA(nullptr, text, "LINKSPY", MB_OK | MB_ICONWARNING) == IDOK) return;
  std::fprintf(stderr, "LINKSPY: %s\n", text);
  std::fflush(stderr);
}

}  // namespace platform
