// Decoder selection and activation: the firmware generation start-up assumes and switching
// the chosen decoders on.
#pragma once

namespace adapter {

// Start-up chooses the decoder row of this firmware generation whatever the firmware-version
// query returned: sets adapterInfo's firmware kind and version to it.
void AssumeDecoderGeneration();

// Sends the decoder names chosen by the start options (in column order) to the firmware.
void ActivateDecoders();

}  // namespace adapter
