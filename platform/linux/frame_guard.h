// The whole-frame receive guard on the socket of libcapi20's remote module. The library reads
// a frame's 2-byte length with a single recv and gives up on a body that stays incomplete for
// 5 s, so a length that arrives in two pieces, or a body that is slow to come, leaves it out of
// step with the stream: the framing is lost for good. It also reads each frame into a
// 4096-byte buffer on its stack, which a longer frame overruns. So the library is let read only
// a frame already whole in the socket, and a frame of impossible length is dropped unread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace platform {

// A frame of the remote module: a 2-byte big-endian length that counts itself, then the
// message, which needs at least its 8-byte CAPI header; the library's buffer holds 4096 bytes.
constexpr int kLengthFieldSize = 2;
constexpr int kShortestFrame = kLengthFieldSize + 8;
constexpr int kLongestFrame = 4096;

// The library's take, as CAPI_GET_MESSAGE gives its result and message; arrived is the number
// of the message's bytes that came in its frame (the library's buffer may hold an earlier
// message's bytes behind them).
using LibraryTake = uint32_t (*)(uint32_t applId, const uint8_t** message, size_t arrived);

// Puts the guard on the application's connection fd when it is a stream socket (the remote
// module); -1 or the kernel's CAPI device stays unguarded.
void GuardConnection(int fd);

// Takes the guard off: the application's socket is closed or about to be.
void UnguardConnection();

// The guarded socket, -1 when there is none.
int GuardedSocket();

// Waits until the guarded socket fd holds a whole frame, a frame to refuse, or the link is
// lost (0), until timeoutMs ran out or, for a bounded wait (timeoutMs not negative), the
// program is to end (kQueueEmpty), or until the guard is taken off fd (kIllegalApplication).
// socketLock is the lock under which the release closes the socket: each look holds it.
uint32_t WaitForWholeFrame(int fd, std::mutex& socketLock, int timeoutMs);

// True when the socket's front as last peeked holds a whole frame (or a frame to refuse) not
// taken yet, or the peek was full so that more lies behind it: a take can go on at once.
// Makes no system call.
bool FrameQueued();

// Takes the next message from the guarded socket fd through take, which reads only a frame
// whole in the socket: kQueueEmpty while none is, kOsResourceError after dropping a frame of
// impossible length, kProviderLinkLost once the connection is gone for good (the library
// itself would only say, again and again, that its queue is empty). The caller holds the
// lock under which the release closes the socket.
uint32_t TakeWholeFrame(int fd, uint32_t applId, const uint8_t** message, LibraryTake take);

}  // namespace platform
