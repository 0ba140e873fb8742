// The operator prompt of debug mode: reads one line and carries it out.
#pragma once

namespace console {

constexpr int kPromptLineSize = 256;

// Draws the prompt area, reads one line and carries out the dot command or forwards the
// firmware command. Returns at once, doing nothing, when input has ended.
void RunPrompt();

}  // namespace console
