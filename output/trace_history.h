// The trace screen's history: the last rows the output region showed, each as its 80 cells, in
// a ring of a size fixed at build time, and the view that looks back through it while output
// is held.
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace output {

// Rows kept: enough to look back through many screens of a busy line, small enough to cost
// nothing (160 kB).
constexpr int kHistoryRows = 2048;

// Rows are numbered by arrival from 0; row n lies in slot n % kHistoryRows while it is kept.
struct TraceHistory {
  char rows[kHistoryRows][platform::kScreenColumns];
  int64_t rowCount;
};

// How the view moves: a region at a time, a row at a time, to the oldest or the newest row.
enum class ViewMove { kPageUp, kPageDown, kRowUp, kRowDown, kOldest, kNewest };

// The slot of the next row (its 80 cells for the caller to fill); the oldest row goes when the
// ring is full.
char* HistoryAppend(TraceHistory* history);

// The number of the oldest row kept (rowCount when none is).
int64_t HistoryOldest(const TraceHistory& history);

// The cells of row number, or nullptr when that row is not kept.
const char* HistoryRow(const TraceHistory& history, int64_t number);

// The top row of a view of height rows after move, from a view whose top row is top: it stays
// between the oldest row kept and the top that shows the newest row on the view's last row.
int64_t ViewTopAfter(const TraceHistory& history, int64_t top, int height, ViewMove move);

// The top row kept for a view whose top row is top: the oldest row kept once top is pushed out.
int64_t ViewTopKept(const TraceHistory& history, int64_t top);

}  // namespace output
