// The four start-up queries one by one, for adapter_info.cpp and its tests only.
#pragma once

namespace adapter {

// Each runs its ADAPTER_REQ exchange and decodes the reply into adapterInfo ("Unknown" when
// there is no usable answer).
void QueryFirmwareVersion();
void QueryAdapterType();
void QueryLineInterface();
void QueryProtocol();

}  // namespace adapter
