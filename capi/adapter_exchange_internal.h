// The DEBUG_REQ put underneath the firmware commands, for adapter_exchange.cpp and its tests
// only.
#pragma once

#include <cstdint>

namespace capi {

// Builds and puts one DEBUG_REQ; returns the full put result, or kIllegalMessage without a
// put when the payload does not fit the message's one-byte length.
uint32_t SendDebugRequest(uint8_t controller, uint8_t requestKind, const uint8_t* payload,
                          uint16_t payloadLength, uint32_t applId);

}  // namespace capi
