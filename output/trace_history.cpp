// The history ring of trace rows and the bounds of the view onto it.
#include "output/trace_history.h"

#include <algorithm>

namespace output {

char* HistoryAppend(TraceHistory* history) {
  return history->rows[history->rowCount++ % kHistoryRows];
}

int64_t HistoryOldest(const TraceHistory& history) {
  return std::max<int64_t>(history.rowCount - kHistoryRows, 0);
}

const char* HistoryRow(const TraceHistory& history, int64_t number) {
  if (number < HistoryOldest(history) || number >= history.rowCount) return nullptr;
  return history.rows[number % kHistoryRows];
}

int64_t ViewTopAfter(const TraceHistory& history, int64_t top, int height, ViewMove move) {
  int64_t oldest = HistoryOldest(history);
  int64_t newestTop = std::max(oldest, history.rowCount - height);
  switch (move) {
    case ViewMove::kPageUp:
      top -= height;
      break;
    case ViewMove::kPageDown:
      top += height;
      break;
    case ViewMove::kRowUp:
      --top;
      break;
    case ViewMove::kRowDown:
      ++top;
      break;
    case ViewMove::kOldest:
      top = oldest;
      break;
    case ViewMove::kNewest:
      top = newestTop;
      break;
  }
  return std::clamp(top, oldest, newestTop);
}

int64_t ViewTopKept(const TraceHistory& history, int64_t top) {
  return std::max(top, HistoryOldest(history));
}

}  // namespace output
