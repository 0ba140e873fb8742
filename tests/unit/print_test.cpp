// Formatted text handed whole to a receiver: the text as formatted, cut to the line buffer;
// the three severities alike on a standard output that is not the journal.
#include "output/print.h"

#include <gtest/gtest.h>

#include <string>

#include "support/stdout_capture.h"

namespace {

std::string received;
int receivedCount = 0;

// A receiver that keeps what it is handed.
void Keep(const char* text) {
  received = text;
  ++receivedCount;
}

TEST(PrintTo, HandsTheFormattedTextOnceAndCutsALongOne) {
  receivedCount = 0;
  output::PrintTo(Keep, "%s v%s\n", "LINKSPY", "0.96");
  EXPECT_EQ(received, "LINKSPY v0.96\n");
  std::string longName(1100, 'x');
  output::PrintTo(Keep, "Cannot load %s (%u)", longName.c_str(), 0u);
  EXPECT_EQ(received, ("Cannot load " + longName).substr(0, 1023));
  EXPECT_EQ(receivedCount, 2);
}

TEST(Print, SeveritiesPrintAlikeWhereStandardOutputIsNotTheJournal) {
  testing_support::StdoutCapture capture;
  output::Print("\rinfo %d\n", 1);
  output::PrintWarning("\rwarning %d\n", 2);
  output::PrintError("error \xFD%s", "\r\n");
  EXPECT_EQ(capture.Take(), "\rinfo 1\n\rwarning 2\nerror \xFD\r\n");
}

}  // namespace
