// Why libcapi20 could not be used, as far as its configuration and a test connection tell.
#pragma once

namespace platform {

// Writes one line to standard error: which configuration file libcapi20 reads, whether it
// names a remote server, and for a remote how a TCP connection to it fares. unansweredMs:
// how long the library's call waited for the provider's answer before it was given up (0:
// the provider answered).
void DescribeProviderSetup(int unansweredMs);

}  // namespace platform
