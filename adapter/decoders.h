// Decoder selection and activation: the DecoderTable and switching the chosen decoders on.
#pragma once

#include <cstdint>

namespace adapter {

constexpr int kDecoderRows = 4;
constexpr int kDecoderColumns = 5;
constexpr int kDecoderNameSize = 10;

extern const char DecoderTable[kDecoderRows][kDecoderColumns][kDecoderNameSize];

// The DecoderTable row for a firmware kind and version.
int SelectDecoderRow(uint8_t firmwareKind, uint8_t firmwareVersion);

// Start-up chooses the decoder row of this firmware generation whatever the firmware-version
// query returned: sets adapterInfo's firmware kind and version to it.
void AssumeDecoderGeneration();

// Sends the decoder names chosen by the start options (in column order) to the firmware.
void ActivateDecoders();

}  // namespace adapter
