// The firmware's command interpreter: decoder names, task commands and the download screen,
// each answered with trace text bodies (task name first; the sender adds the head).
#pragma once

#include <string>
#include <vector>

#include "emulator/adapter_profile.h"
#include "emulator/line_sim.h"

namespace emu {

// Runs one firmware command for a controller whose decoders are in decoders (updated). Decoder
// names switch a decoder on, whatever their case and blanks. The answer starts with "CMT got
// debugReq <command>", then a readable confirmation or answer.
std::vector<std::string> RunCommand(const std::string& command, unsigned& decoders,
                                    const AdapterProfile& profile, const LineSimulator& line);

// The download screen of a controller: a block of texts describing firmware and line.
std::vector<std::string> DownloadScreen(int controller, unsigned decoders,
                                        const AdapterProfile& profile, const LineSimulator& line);

}  // namespace emu
