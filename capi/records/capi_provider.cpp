// The provider record's one instance and the entry points' export names.
#include "capi/records/capi_provider.h"

namespace capi {

CapiProvider capiProvider;

const char* const kEntryPointNames[kEntryPointCount] = {
    "CAPI_REGISTER",          "CAPI_RELEASE",        "CAPI_GET_MANUFACTURER", "CAPI_GET_VERSION",
    "CAPI_GET_SERIAL_NUMBER", "CAPI_GET_PROFILE",    "CAPI_INSTALLED",        "CAPI_PUT_MESSAGE",
    "CAPI_GET_MESSAGE",       "CAPI_WAIT_FOR_SIGNAL"};

}  // namespace capi
