// Lines for the systemd journal: when standard output or standard error is the journal's
// stream, each line begins with the syslog priority prefix that journald reads, carriage
// returns are left out and code page 437 bytes become UTF-8, so that every line is stored as
// text at its priority.
#pragma once

#include <cstddef>

#include "platform/console.h"

namespace platform {

// Where one descriptor's journal line stands between two writes.
struct JournalLine {
  bool open;  // text of the current line is out, its line end not yet
};

// True when fd is the journal: journalStream (the JOURNAL_STREAM variable, "DEV:INODE", or
// nullptr) names the device and inode that fstat finds for fd.
bool IsJournalStream(int fd, const char* journalStream);

// Writes text to fd, the journal, as lines of severity, going on from line: a line written in
// pieces gets one prefix, a line with no character left is not written.
void WriteJournalText(int fd, JournalLine* line, Severity severity, const char* text,
                      size_t length);

// printf-style text to standard error: unchanged, or as journal lines of severity where
// standard error is the journal.
void PrintToStderr(Severity severity, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace platform
