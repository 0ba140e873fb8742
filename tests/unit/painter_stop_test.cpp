// The painter's stop decision, signal by signal in the orders that job control can bring them:
// which stops are made, which a continue cancels, and that the painter paints again after one.
#include "platform/linux/painter_stop.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using platform::PainterStep;
using platform::StopCounts;

TEST(PainterStop, NothingAskedForPaintsAndAContinueAloneStopsNothing) {
  StopCounts counts;
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
  // Continued after a stop the program never saw (SIGSTOP): nothing to stop.
  NoteContinue(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

TEST(PainterStop, AStopIsTakenOnceAndMadeUnlessContinuedMeanwhile) {
  StopCounts counts;
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  EXPECT_FALSE(StopCancelled(counts));  // the last look before the process stops
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
  // The continue after the stop that was made: the painter paints, no new stop.
  NoteContinue(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

TEST(PainterStop, AContinueBeforeThePainterActsCancelsTheStop) {
  StopCounts counts;
  NoteStopRequest(&counts);
  NoteContinue(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);  // what came meanwhile is shown
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

TEST(PainterStop, AContinueWhileTheTerminalIsGivenBackCancelsTheStopItself) {
  StopCounts counts;
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  NoteContinue(&counts);  // between the step and the last look
  EXPECT_TRUE(StopCancelled(counts));
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

TEST(PainterStop, OnlyTheOrderOfTheLastStopAndTheContinuesCounts) {
  StopCounts counts;
  // Stop, continue, stop: the second stop came last and is made.
  NoteStopRequest(&counts);
  NoteContinue(&counts);
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  EXPECT_FALSE(StopCancelled(counts));
  // Two hundred pairs as a script sends them: each stop cancelled by the continue after it.
  NoteContinue(&counts);
  for (int i = 0; i < 200; ++i) {
    NoteStopRequest(&counts);
    NoteContinue(&counts);
  }
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
  // Stops asked for again and again before the painter acts are one stop.
  NoteStopRequest(&counts);
  NoteStopRequest(&counts);
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

TEST(PainterStop, AStopAskedForWhileOneIsBeingMadeIsNotMadeAgainAfterTheContinue) {
  StopCounts counts;
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  NoteStopRequest(&counts);  // a second Ctrl-Z in the shell while the terminal is given back
  EXPECT_FALSE(StopCancelled(counts));
  NoteContinue(&counts);  // fg
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
  // A stop after it is a new one.
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
}

TEST(PainterStop, CountsThatWrapAroundStillTellTheOrder) {
  StopCounts counts;
  counts.stopRequests = UINT_MAX;
  counts.stopsTaken = UINT_MAX;
  counts.continues = UINT_MAX;
  counts.continuesAtStopRequest = UINT_MAX;
  NoteStopRequest(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kStop);
  NoteContinue(&counts);
  EXPECT_TRUE(StopCancelled(counts));
  NoteStopRequest(&counts);
  NoteContinue(&counts);
  EXPECT_EQ(TakePainterStep(&counts), PainterStep::kPaint);
}

}  // namespace
