// All traffic with the adapter firmware: the synchronous adapter request exchange of
// start-up and the two ways of sending a DEBUG_REQ.
#pragma once

#include <cstdint>

#include "capi/records/vendor_messages.h"

namespace capi {

// The 512-byte area into which the data of each adapter reply is copied.
extern uint8_t infoBuffer[kInfoBufferSize];

// How long a start-up query waits for its reply.
constexpr uint32_t kAdapterReplyWaitMs = 2000;

// Builds and puts one ADAPTER_REQ; prints "ADAPTER_REQ: ReturnCode=%x\n" when refused.
// Returns the full put result.
uint32_t SendAdapterRequest(uint32_t applId, uint8_t controller, uint8_t requestType,
                            uint16_t requestDataLength, uint16_t replyAreaSize, uint8_t* replyArea);

// Waits (bounded) for, takes and checks the next message; on success its data is in
// infoBuffer and the message stays readable through capiProvider.receivedMessage.
// Returns 0, -1 for a message of another kind, or the failing provider result.
int32_t AwaitAdapterReply(uint8_t command, uint8_t subcommand);

// Builds and puts one DEBUG_REQ; returns the full put result, or kIllegalMessage without a
// put when the payload does not fit the message's one-byte length.
uint32_t SendDebugRequest(uint8_t controller, uint8_t requestKind, const uint8_t* payload,
                          uint16_t payloadLength, uint32_t applId);

// Sends text as a firmware command to the current controller; returns the put's low word.
uint16_t SendDebugCommand(const char* text);

// Asks the firmware for its download screen; prints "download req rc=%x" when refused.
void RequestDownloadScreen();

}  // namespace capi
