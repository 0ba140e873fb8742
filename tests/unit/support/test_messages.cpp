// Builders of received messages for the tests, little-endian at the fixed offsets, and the
// reader of the firmware commands put.
#include "support/test_messages.h"

#include <algorithm>

namespace testing_support {

namespace {
// Writes the message's own length into its first two bytes.
void StampLength(Bytes& message) {
  message[0] = static_cast<uint8_t>(message.size());
  message[1] = static_cast<uint8_t>(message.size() >> 8);
}
}  // namespace

Bytes AdapterConf(const Bytes& data, uint16_t infoWord, uint32_t dataAddress) {
  Bytes m(18 + data.size(), 0);
  StampLength(m);
  m[4] = 0x18;
  m[5] = 0x01;
  m[10] = static_cast<uint8_t>(data.size());
  m[11] = static_cast<uint8_t>(data.size() >> 8);
  for (int i = 0; i < 4; ++i) m[12 + i] = static_cast<uint8_t>(dataAddress >> (8 * i));
  m[16] = static_cast<uint8_t>(infoWord);
  m[17] = static_cast<uint8_t>(infoWord >> 8);
  std::copy(data.begin(), data.end(), m.begin() + 18);
  return m;
}

Bytes Numbered(Bytes message, uint16_t number) {
  message[6] = static_cast<uint8_t>(number);
  message[7] = static_cast<uint8_t>(number >> 8);
  return message;
}

uint16_t NumberOf(const Bytes& message) {
  return static_cast<uint16_t>(message.at(6) | (message.at(7) << 8));
}

Bytes DebugMessage(uint8_t command, uint8_t subcommand, uint8_t controller, uint8_t textPresent,
                   uint8_t textLength, const std::string& text) {
  Bytes m(13 + text.size(), 0);
  StampLength(m);
  m[4] = command;
  m[5] = subcommand;
  m[8] = controller;
  m[9] = textPresent;
  m[10] = textLength;
  std::copy(text.begin(), text.end(), m.begin() + 13);
  return m;
}

Bytes DebugInd(const std::string& text, uint8_t controller) {
  return DebugMessage(0x19, 0x02, controller, 1, static_cast<uint8_t>(text.size()), text);
}

Bytes SilentDebugInd() {
  return Bytes{13, 0, 1, 0, 0x19, 0x02, 0, 0, 1, 0, 0, 0, 0};
}

std::vector<std::string> FirmwareCommands(const std::vector<Bytes>& messages) {
  std::vector<std::string> texts;
  for (const Bytes& m : messages) {
    if (m.size() > 12 && m[4] == 0x19 && m[11] == 0x02) {
      texts.emplace_back(reinterpret_cast<const char*>(m.data() + 12));
    }
  }
  return texts;
}

}  // namespace testing_support
