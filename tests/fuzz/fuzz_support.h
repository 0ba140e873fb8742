// What the fuzz targets share: a quiet process, received messages placed so that a read
// outside them is caught, and a stand-in provider that serves them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Once per process: works in a fresh temporary folder (the log lands there) with standard
// output on /dev/null, and sets the program's records to their start values.
void QuietProcess();

// The fuzz input as a received message. The provider hands over a buffer holding the message
// its total-length field announces (capped where the program caps it); the copy is exactly
// that long (at least its two length bytes, and the input's bytes if fewer), so a read past
// the message hits the end of the heap block. Bytes the input lacks read as zero.
const uint8_t* PlaceMessage(const uint8_t* data, size_t size);

// Frees the message of the last PlaceMessage.
void DropMessage();

// Points the provider record at stand-ins whose wait succeeds and whose take serves message.
void ServeFromFakeProvider(const uint8_t* message);

}  // namespace fuzz
