// The painter's decision on a stop asked for from outside (SIGTSTP): made, or cancelled by a
// continue (SIGCONT) that came after it, from counts the two handlers keep; no system calls.
#pragma once

#include <atomic>

namespace platform {

// Stops asked for and continues received, counted by their handlers; the count of continues
// when the last stop was asked for tells whether a continue came after it (then the stop is
// cancelled, as the kernel cancels a stop still pending). The handlers run on the painter
// thread alone, so the counts keep the order in which the signals came.
struct StopCounts {
  std::atomic<unsigned> stopRequests{0};
  std::atomic<unsigned> continues{0};
  std::atomic<unsigned> continuesAtStopRequest{0};
  // Painter thread only: the stop requests it has taken.
  unsigned stopsTaken = 0;
};

// What the painter does once woken.
enum class PainterStep {
  kPaint,  // no stop to make: none asked for since the last one taken, or it was cancelled
  kStop,   // give the terminal back and stop the process
};

// Async-signal-safe: a stop is asked for.
void NoteStopRequest(StopCounts* counts);

// Async-signal-safe: the process was continued; a stop asked for before is cancelled.
void NoteContinue(StopCounts* counts);

// Takes the stop requests that came since the last call (any number count as one) and says
// what the painter does now. After a cancelled stop it paints: the wake-ups that came with the
// stop and the continue were used up, and a change they brought would wait for the next one.
PainterStep TakePainterStep(StopCounts* counts);

// True when a continue came after the last stop request: looked at once more straight before
// the process stops, since a continue that came first would be lost to the stop after it.
bool StopCancelled(const StopCounts& counts);

}  // namespace platform
