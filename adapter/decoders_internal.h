// Decoder selection's row choice, for decoders.cpp and its tests only.
#pragma once

#include <cstdint>

namespace adapter {

// The DecoderTable row for a firmware kind and version. A run asks only for the generation
// AssumeDecoderGeneration sets (row 3); the rule for the others is kept with the table.
int SelectDecoderRow(uint8_t firmwareKind, uint8_t firmwareVersion);

}  // namespace adapter
