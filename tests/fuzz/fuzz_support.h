// What the fuzz targets share: a quiet process, received messages placed so that a read
// outside them is caught, and a stand-in provider that serves them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Once per process: works in a fresh temporary folder (the log lands there) with standard
// output on /dev/null, and sets the program's records to their start values.
void QuietProcess();

// The fuzz input as a received message, as one of two kinds of provider hands it over. One that
// measures what arrives (the remote path's frames) reports the input's bytes as all that
// arrived, whatever the message's length word claims: the copy holds exactly them. One that
// hands over whole messages (measured false) gives a buffer holding the message its length
// word announces (capped where the program caps it, at least the two length bytes); bytes the
// input lacks read as zero. Either way a read past the copy hits the end of the heap block.
const uint8_t* PlaceMessage(const uint8_t* data, size_t size, bool measured);

// Frees the message of the last PlaceMessage.
void DropMessage();

// Points the provider record at stand-ins whose wait succeeds and whose take serves the
// message last placed, with the arrived length its kind of provider reports.
void ServeFromFakeProvider();

}  // namespace fuzz
