// The WAIT_FOR_MESSAGE thread: takes every message the provider delivers after start-up, in
// passes, and hands it to the handler it was started with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace capi {

// Set by the thread when the provider reported its link lost; the program then ends with -1.
extern std::atomic<int32_t> providerLinkLost;

// What the thread does with each message it takes, of which arrived bytes came.
using MessageHandler = void (*)(const uint8_t* message, size_t arrived);

// What the thread does when a pass has handed on every message it took, before it waits
// again: nothing taken is held across a wait.
using PassEndHandler = void (*)();

// Creates the thread, which takes messages in passes (each takes all that have arrived),
// hands every message to handleMessage and ends each pass with endPass; or reports why not.
void StartReceiveThread(MessageHandler handleMessage, PassEndHandler endPass);

// Tells the thread to stop and lets go of it without waiting.
void StopReceiveThread();

}  // namespace capi
