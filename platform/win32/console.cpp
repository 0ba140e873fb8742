// The Win32 console: cursor, direct writes, scrolling, cell reads, keys, line input, the
// window title and message boxes, all serialised by one recursive console lock.
#include "platform/console.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"
#include "platform/win32/key_records.h"
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
constexpr int kKeyInterrupt = 0x03;
constexpr int kKeyEndProgram = 0x18;
// How long the next line of a paste may take to stand in the input queue after the one read.
constexpr int kPasteFollowMs = 10;

// The marker over the top row's right end and in the title (under the console lock): its text,
// the text drawn on the top row now (drawnLength 0: none), the cells beneath the drawn one, the
// title it is added to, and when a note goes by itself (0: it stays until replaced).
constexpr int kMarkerSize = kScreenColumns + 1;
char markerText[kMarkerSize];
int markerLength = 0;
char drawnText[kMarkerSize];
int drawnLength = 0;
char cellsBelowMarker[kMarkerSize];
char windowTitle[256];
ULONGLONG noteUntilMs = 0;

// True when column and row lie on the 80 x 25 screen.
bool OnScreen(int column, int row) {
  return column >= 0 && column < kScreenColumns && row >= 0 && row < kScreenRows;
}

// Clamps value into low..high.
SHORT Clamp(int value, int low, int high) {
  return static_cast<SHORT>(value < low ? low : (value > high ? high : value));
}

// Looks at the console input queue: true when a key is at its head. Other records in front
// of it are taken off, so that they cannot make the wait return early.
bool KeyAtHead() {
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputA(inputHandle, &record, 1, &count) || count == 0) return false;
    if (KeyOfRecord(record) != kNoKey) return true;
    if (!ReadConsoleInputA(inputHandle, &record, 1, &count)) return false;
  }
}

// The next key from the console's input records (waiting for one); -1 when the input fails.
int ReadConsoleKey() {
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(inputHandle, &record, 1, &count)) return -1;
    int key = count == 1 ? KeyOfRecord(record) : kNoKey;
    if (key != kNoKey) return key;
  }
}

// KeyWaiting on the console. The input handle is signalled while the queue holds any
// record; the wait sleeps in the kernel until then or until the time is up. _kbhit is not
// used: under Wine's terminal console it never sees keys that no reader has asked for yet.
bool ConsoleKeyWaiting(int timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (KeyAtHead()) return true;
    DWORD spent = GetTickCount() - start;
    if (spent >= static_cast<DWORD>(timeoutMs)) return false;
    if (WaitForSingleObject(inputHandle, static_cast<DWORD>(timeoutMs) - spent) != WAIT_OBJECT_0)
      return KeyAtHead();
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

// The first of the length cells at the top row's right end.
COORD MarkerPlace(int length) {
  return COORD{static_cast<SHORT>(kScreenColumns - length), 0};
}

// Takes into cellsBelowMarker what the length cells of the marker's place that no longer show
// the drawn marker hold: they were written since it was drawn, so they stand beneath it now.
// False when the cells cannot be read.
bool TakeCellsWrittenOver(int length) {
  char shown[kMarkerSize];
  DWORD count = 0;
  if (!ReadConsoleOutputCharacterA(outputHandle, shown, length, MarkerPlace(length), &count)) {
    return false;
  }
  for (int i = 0; i < static_cast<int>(count); ++i) {
    if (i >= drawnLength || shown[i] != drawnText[i]) cellsBelowMarker[i] = shown[i];
  }
  return true;
}

// Gives the drawn marker's cells back what stands beneath it.
void UndrawMarker() {
  if (drawnLength == 0) return;
  TakeCellsWrittenOver(drawnLength);
  DWORD count = 0;
  WriteConsoleOutputCharacterA(outputHandle, cellsBelowMarker, drawnLength,
                               MarkerPlace(drawnLength), &count);
  drawnLength = 0;
}

// Draws the marker on the top row.
void DrawMarkerCells() {
  if (!outputIsConsole || markerLength == 0) return;
  if (drawnLength != markerLength) UndrawMarker();
  if (!TakeCellsWrittenOver(markerLength)) return;
  DWORD count = 0;
  WriteConsoleOutputCharacterA(outputHandle, markerText, markerLength, MarkerPlace(markerLength),
                               &count);
  std::memcpy(drawnText, markerText, kMarkerSize);
  drawnLength = markerLength;
}

// Takes the marker off the top row and out of the title.
void ClearMarker() {
  if (markerLength == 0) return;
  if (outputIsConsole) UndrawMarker();
  markerLength = 0;
  markerText[0] = '\0';
  noteUntilMs = 0;
  SetConsoleTitleA(windowTitle);
}

// A note goes once its time is up.
void ExpireNote() {
  ConsoleLock();
  if (noteUntilMs != 0 && GetTickCount64() >= noteUntilMs) ClearMarker();
  ConsoleUnlock();
}

// A key takes a note away at once.
void TakeNoteAway() {
  ConsoleLock();
  if (noteUntilMs != 0) ClearMarker();
  ConsoleUnlock();
}

}  // namespace

HANDLE StartupKeysHandle() {
  return inputIsConsole ? inputHandle : nullptr;
}

StartupKeys LookAtStartupKeys() {
  if (!inputIsConsole || !KeyAtHead()) return StartupKeys::kNone;
  INPUT_RECORD records[128];
  DWORD count = 0;
  if (!PeekConsoleInputA(inputHandle, records, 128, &count)) return StartupKeys::kTyped;
  for (DWORD i = 0; i < count; ++i) {
    int key = KeyOfRecord(records[i]);
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
  ConsoleLock();
  std::snprintf(windowTitle, sizeof windowTitle, "%s", title);
  SetConsoleTitleA(title);
  ConsoleUnlock();
}

ConsoleView ConsoleShows() {
  return outputIsConsole ? ConsoleView::kScreen : ConsoleView::kNothing;
}

void ConsoleReadRow(int row, char* cells) {
  DWORD count = 0;
  if (!outputIsConsole || !OnScreen(0, row) ||
      !ReadConsoleOutputCharacterA(outputHandle, cells, kScreenColumns,
                                   COORD{0, static_cast<SHORT>(row)}, &count)) {
    count = 0;
  }
  for (int column = static_cast<int>(count); column < kScreenColumns; ++column) {
    cells[column] = ' ';
  }
}

void ConsoleWriteRow(int row, const char* cells) {
  if (!outputIsConsole || !OnScreen(0, row)) return;
  DWORD count = 0;
  WriteConsoleOutputCharacterA(outputHandle, cells, kScreenColumns,
                               COORD{0, static_cast<SHORT>(row)}, &count);
}

// The title shows the marker behind the program's own title.
void ConsoleShowMarker(const char* text, int lifetimeMs) {
  ConsoleLock();
  if (text[0] == '\0') ClearMarker();
  std::snprintf(markerText, sizeof markerText, "%s", text);
  markerLength = static_cast<int>(std::strlen(markerText));
  if (markerLength > 0) {
    noteUntilMs = lifetimeMs > 0 ? GetTickCount64() + static_cast<ULONGLONG>(lifetimeMs) : 0;
    DrawMarkerCells();
    char title[sizeof windowTitle + kMarkerSize + 3];
    std::snprintf(title, sizeof title, "%s -%s", windowTitle, markerText);
    SetConsoleTitleA(title);
  }
  ConsoleUnlock();
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
  // The marker is not moved with the cells: it stays over the top row.
  ConsoleLock();
  if (top == 0) UndrawMarker();
  ScrollConsoleScreenBufferA(outputHandle, &source, &screen, dest, &fillCell);
  if (destRow == 0 || top == 0) DrawMarkerCells();
  ConsoleUnlock();
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

bool KeyWaiting(int timeoutMs) {
  if (timeoutMs < 0) timeoutMs = 0;
  ExpireNote();
  if (inputIsConsole) return ConsoleKeyWaiting(timeoutMs);
  if (inputEnded) {
    Sleep(static_cast<DWORD>(timeoutMs));
    return false;
  }
  if (GetFileType(inputHandle) == FILE_TYPE_PIPE) return PipeKeyWaiting(timeoutMs);
  return true;  // a file or device: a read never waits for long
}

int ReadKey() {
  if (inputIsConsole) {
    TakeNoteAway();
    return ReadConsoleKey();
  }
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
