// All traffic with the adapter firmware: the synchronous adapter request exchange of
// start-up and the two ways of sending a DEBUG_REQ.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capi/records/vendor_messages.h"

namespace capi {

// The 512-byte area into which the data of each adapter reply is copied, and how many bytes
// of it the last reply taken brought.
extern uint8_t infoBuffer[kInfoBufferSize];
extern size_t infoDataLength;

// How long a start-up query waits for its reply.
constexpr uint32_t kAdapterReplyWaitMs = 2000;

// Builds and puts one ADAPTER_REQ, numbered after the one before (from 1, never 0); prints
// "ADAPTER_REQ: ReturnCode=%x\n" when refused. Returns the full put result.
uint32_t SendAdapterRequest(uint32_t applId, uint8_t controller, uint8_t requestType,
                            uint16_t requestDataLength, uint16_t replyAreaSize, uint8_t* replyArea);

// Waits (bounded) for, takes and checks the reply to the last ADAPTER_REQ; on success its data
// is in infoBuffer and the message stays readable through capiProvider.receivedMessage. A reply
// echoing the number of an earlier request is the late answer of a query that gave up: it is
// dropped and the wait goes on within the same bound. One echoing the last request's number, or
// 0 (a firmware that does not number), is the answer. Returns 0, -1 for a message of another
// kind or a number no request had, or the failing provider result.
int32_t AwaitAdapterReply(uint8_t command, uint8_t subcommand);

// True for an ADAPTER_CONF that echoes the number of an ADAPTER_REQ put before: once the
// queries are over, the late answer of one that gave up on it.
bool IsEarlierAdapterReply(const uint8_t* message, size_t arrived);

// Sends text as a firmware command to the current controller; returns the put's low word.
uint16_t SendDebugCommand(const char* text);

// Asks the firmware for its download screen; prints "download req rc=%x" when refused.
void RequestDownloadScreen();

}  // namespace capi
