// Received messages as the tests hand them to the program (ADAPTER_CONF and DEBUG_IND), and
// the firmware commands read back from the messages it put.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// An ADAPTER_CONF with its reply data inline after the 18 header bytes.
Bytes AdapterConf(const Bytes& data, uint16_t infoWord = 0, uint32_t dataAddress = 0);

// message with its message number (offset 6) set: a confirmation echoing its request's.
Bytes Numbered(Bytes message, uint16_t number);

// The message number of a message put.
uint16_t NumberOf(const Bytes& message);

// A message laid out as a DEBUG_IND (any command and subcommand), its text at offset 13.
Bytes DebugMessage(uint8_t command, uint8_t subcommand, uint8_t controller, uint8_t textPresent,
                   uint8_t textLength, const std::string& text);

// A DEBUG_IND carrying text from controller.
Bytes DebugInd(const std::string& text, uint8_t controller = 1);

// A DEBUG_IND without text: the trace handler drops it without any output.
Bytes SilentDebugInd();

// The texts of the firmware commands among messages put (DEBUG_REQ payload 0x02, text, NUL).
std::vector<std::string> FirmwareCommands(const std::vector<Bytes>& messages);

}  // namespace testing_support
