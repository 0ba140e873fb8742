// The banner, the copyright line and the help screen.
#pragma once

namespace console {

extern const char* const kCopyrightLine;
extern const char* const kInternalUseLine;

// Writes the banner to standard output at the cursor.
void PrintBanner();

// Clears the screen and writes the help screen to standard output.
void PrintHelpScreen();

}  // namespace console
