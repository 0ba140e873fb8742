// The console as the program uses it: an 80 x 25 screen with a cursor, written two ways
// (direct writes at the cursor and the standard-output stream), keys, line input, message
// boxes and the window title.
//
// Every operation is safe from both threads. ConsoleLock/ConsoleUnlock (recursive) let a
// caller make several operations one unit that the other thread cannot interleave with.
#pragma once

#include <cstddef>

namespace platform {

constexpr int kScreenColumns = 80;
constexpr int kScreenRows = 25;

// Keys without a character, which ReadKey returns beside the codes 0..255; line input never
// takes them into a line.
constexpr int kKeyUnnamed = 0x100;  // a key (or escape sequence) that has no code here
constexpr int kKeyUp = 0x101;
constexpr int kKeyDown = 0x102;
constexpr int kKeyPageUp = 0x103;
constexpr int kKeyPageDown = 0x104;
constexpr int kKeyHome = 0x105;
constexpr int kKeyEnd = 0x106;

// What the console shows of the screen: all of it (kScreen), only the lines written to it (a
// terminal that cannot place its cursor), or nothing (output redirected, no console).
enum class ConsoleView { kNothing, kLines, kScreen };

// How much a text on standard output or standard error matters. It changes nothing on a
// terminal, a file or a pipe; where the stream is the systemd journal, each line carries it as
// its priority.
enum class Severity { kInformation, kWarning, kError };

// Takes over the console for the screen (start-up, after the options). Before this, stream
// text still reaches standard output.
void ConsoleOpen();

// Gives the terminal back; the last screen stays readable. Safe to call more than once.
void ConsoleClose();

// Where standard output is the console (a terminal, a console window), keeps line (a text
// with its line end; a later call replaces it) for ConsoleClose to write once more below the
// last screen, so that the shell shows why the program ended; true then. False, and nothing
// kept, where standard output goes elsewhere: the stream alone carries text there.
bool RepeatAfterConsoleClose(const char* line);

// Sets the console window title.
void ConsoleSetTitle(const char* title);

// What the console shows, from ConsoleOpen on.
ConsoleView ConsoleShows();

// Holds / releases the console for a multi-step unit of drawing.
void ConsoleLock();
void ConsoleUnlock();

// Puts the cursor at (column, row); values outside the screen are ignored.
void ConsoleSetCursor(int column, int row);

// Reads the cursor position.
void ConsoleGetCursor(int* column, int* row);

// Moves the rectangle left..right x top..bottom so that its top-left corner lands on
// (destColumn, destRow); cells it leaves are set to fill. Cells outside the screen are clipped.
void ConsoleMoveRect(int left, int top, int right, int bottom, int destColumn, int destRow,
                     char fill);

// Direct console write of length bytes at the cursor ("\r", "\n" and wrap as a console does).
// Goes nowhere when standard output is not the console.
void ConsoleWrite(const char* text, size_t length);

// Writes through the standard-output stream: on the console it lands at the cursor; when
// standard output is redirected the bytes go there unchanged (the journal gets them as lines
// of severity).
void StreamWrite(const char* text, size_t length, Severity severity);

// Writes text to standard error, apart from the monitor's output: a note about a choice made
// for the user (the journal, where standard error is it, gets it as lines of severity).
void ErrorStreamWrite(const char* text, size_t length, Severity severity);

// Copies the kScreenColumns cells of row into cells / puts cells on row whole; the cursor
// stays where it is, and a console that shows only lines shows nothing of it. Rows off the
// screen read as blanks and are not written.
void ConsoleReadRow(int row, char* cells);
void ConsoleWriteRow(int row, const char* cells);

// Shows text (a short line) over the screen's top row at its right end, and in the window
// title where the console has one; the screen's cells stay as they are. An empty text takes it
// away. With lifetimeMs above 0 it goes by itself after that time or at the next key read.
void ConsoleShowMarker(const char* text, int lifetimeMs);

// Waits at most timeoutMs for a key; true when one is waiting. Never spins: once input has
// ended no key is ever waiting and the wait takes its whole time (a termination request
// cuts it short).
bool KeyWaiting(int timeoutMs);

// Reads one key without echo: its code 0..255 or a named key code (kKeyUp ..), or -1 when
// input has ended (or termination has been requested). An ended input stays ended.
int ReadKey();

// Reads one line with echo into line (capacity bytes including the terminator), without its
// line end; longer input is cut. Returns the length, or -1 when input has ended (or
// termination has been requested).
int ReadLine(char* line, int capacity);

// Right after a line has been read at the console: true when keys are already there that
// were not typed after it (the next lines of a paste), waiting no longer than the bytes of
// one key take; they stay for the next read. Always false for redirected input, whose next
// line waits for its own blank key.
bool LineFollows();

// Shows a warning message box titled "LINKSPY" with an OK button; blocks until closed. Where
// nobody could close it (no terminal or no desktop), its text goes to standard error instead,
// as a text of severity.
void ShowMessageBox(const char* text, Severity severity);

}  // namespace platform
