// The operator prompt of debug mode: reads one line and carries it out.
#pragma once

namespace console {

constexpr int kPromptLineSize = 256;

// Draws the prompt area, reads one line and carries out the dot command or forwards the
// firmware command; the further lines of a paste, each in turn, the same way. When no line
// comes because input has ended (or the program is asked to end), nothing is carried out:
// the prompt area stays drawn and it returns.
void RunPrompt();

}  // namespace console
