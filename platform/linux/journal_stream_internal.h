// Formatting journal lines into a buffer, for journal_stream.cpp and its tests only.
#pragma once

#include <cstddef>

#include "platform/console.h"
#include "platform/linux/cp437.h"
#include "platform/linux/journal_stream.h"

namespace platform {

// The prefix "<N>" of each severity.
constexpr size_t kJournalPrefixLength = 3;

// The least room FormatJournalText needs: one byte's longest form with a prefix before it.
constexpr size_t kJournalMinRoom = kJournalPrefixLength + kMaxUtf8Length;

// Formats text (length bytes) into out (capacity >= kJournalMinRoom) as journal lines of
// severity, going on from line: a line gets its prefix with its first character, so a line
// written in pieces has one prefix (the first piece's); a line with no character left is not
// written. Returns the bytes of text taken (all of them, unless out is full) and sets
// *produced to the bytes written into out.
size_t FormatJournalText(JournalLine* line, Severity severity, const char* text, size_t length,
                         char* out, size_t capacity, size_t* produced);

}  // namespace platform
