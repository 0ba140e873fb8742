// The CAPI 2.0 result codes (Info values) that the program returns or looks for, each named
// once with its CAPI 2.0 meaning, and the one code of the program's own.
#pragma once

#include <cstdint>

namespace capi {

// Registration class (0x10xx).
// OS resource error: the provider could not make the registration.
constexpr uint32_t kRegisterOsResourceError = 0x1008;
// CAPI not installed.
constexpr uint32_t kNotInstalled = 0x1009;

// Message exchange class (0x11xx).
// Illegal application number.
constexpr uint32_t kIllegalApplication = 0x1101;
// Illegal command or subcommand, or a message length below 12 bytes.
constexpr uint32_t kIllegalMessage = 0x1102;
// The message queue is empty.
constexpr uint32_t kQueueEmpty = 0x1104;
// OS resource error.
constexpr uint32_t kOsResourceError = 0x1108;

// What the platform's wait and take return once the provider's connection is gone for good
// (closed, broken, or its framing lost): no later call can deliver a message. A code of the
// platform layer's own, outside those the CAPI 2.0 standard assigns.
constexpr uint32_t kProviderLinkLost = 0x11FF;

}  // namespace capi
