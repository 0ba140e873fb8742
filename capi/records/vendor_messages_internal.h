// The bounded byte reader under the message readers, for vendor_messages.cpp and its tests
// only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capi {

// Byte at offset of a received message, 0 when offset lies outside its readable length.
uint8_t ReceivedByte(const uint8_t* message, size_t arrived, size_t offset);

}  // namespace capi
