// A standard CAPI 2.0 diagnostic client on the platform's libcapi20: it asks what such clients
// ask (the number of controllers, then each controller's manufacturer, version, serial number,
// profile and supported supplementary services) and prints the answers, one a line. It waits
// at most a few seconds for each confirmation, so a provider that never confirms makes it fail
// (status 1) rather than hang.
#include <capi20.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr auto kWait = std::chrono::seconds(5);

// Little-endian word of a CAPI message or reply buffer.
unsigned Word(const unsigned char* p) {
  return p[0] | p[1] << 8;
}

// Little-endian double word of a CAPI message or reply buffer.
uint32_t Dword(const unsigned char* p) {
  return Word(p) | static_cast<uint32_t>(Word(p + 2)) << 16;
}

// Sends FACILITY_REQ GetSupportedServices to the controller and prints its FACILITY_CONF;
// false when the request could not be sent or no confirmation came in time.
bool SupportedServices(unsigned appl, unsigned controller, unsigned number) {
  // The remote module copies a few bytes past a short message's end, as a client's usual
  // message buffer allows: the request lies in a buffer larger than its 18 bytes.
  unsigned char request[64] = {18, 0, 0, 0, 0x80, 0x80, 0, 0, 0, 0, 0, 0,  // header, address
                               3,  0,                                      // supplementary services
                               3,  0, 0, 0};  // GetSupportedServices, no parameter
  request[2] = static_cast<unsigned char>(appl);
  request[3] = static_cast<unsigned char>(appl >> 8);
  request[6] = static_cast<unsigned char>(number);
  request[7] = static_cast<unsigned char>(number >> 8);
  request[8] = static_cast<unsigned char>(controller);
  unsigned rc = capi20_put_message(appl, request);
  if (rc) {
    printf("FACILITY_REQ not sent: 0x%04x\n", rc);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + kWait;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = left.zero();
    timeval timeout{static_cast<time_t>(left.count() / 1000000),
                    static_cast<suseconds_t>(left.count() % 1000000)};
    rc = capi20_waitformessage(appl, &timeout);
    unsigned char* m = nullptr;
    if (rc == 0) rc = capi20_get_message(appl, &m);
    if (rc) {
      printf("no FACILITY_CONF: 0x%04x\n", rc);
      return false;
    }
    if (m[4] != 0x80 || m[5] != 0x81) continue;  // not the confirmation awaited
    unsigned length = Word(m);
    printf("controller %u: FACILITY_CONF info=0x%04x selector=%u", Dword(m + 8), Word(m + 12),
           Word(m + 14));
    // Supplementary services: function, then its struct of Info and the services mask.
    if (length >= 26 && m[16] >= 9 && m[19] >= 6)
      printf(" function=%u services-info=0x%04x services=0x%08x", Word(m + 17), Word(m + 20),
             Dword(m + 22));
    printf("\n");
    return true;
  }
}

// Prints what the provider tells of one controller.
bool Controller(unsigned appl, unsigned controller) {
  unsigned char buffer[64];
  memset(buffer, 0, sizeof buffer);
  if (!capi20_get_manufacturer(controller, buffer)) return false;
  printf("controller %u: manufacturer \"%.64s\"\n", controller, buffer);
  memset(buffer, 0, sizeof buffer);
  if (!capi20_get_version(controller, buffer)) return false;
  printf("controller %u: version %u.%u %u.%u\n", controller, Dword(buffer), Dword(buffer + 4),
         Dword(buffer + 8), Dword(buffer + 12));
  memset(buffer, 0, sizeof buffer);
  if (!capi20_get_serial_number(controller, buffer)) return false;
  printf("controller %u: serial \"%.8s\"\n", controller, buffer);
  memset(buffer, 0, sizeof buffer);
  if (capi20_get_profile(controller, buffer)) return false;
  printf("controller %u: profile b-channels=%u options=0x%08x b1=0x%08x b2=0x%08x b3=0x%08x\n",
         controller, Word(buffer + 2), Dword(buffer + 4), Dword(buffer + 8), Dword(buffer + 12),
         Dword(buffer + 16));
  return SupportedServices(appl, controller, controller);
}

}  // namespace

// Asks everything of every controller; status 1 on the first failure.
int main() {
  unsigned rc = capi20_isinstalled();
  if (rc) {
    printf("not installed: 0x%04x\n", rc);
    return 1;
  }
  unsigned char profile[64];
  memset(profile, 0, sizeof profile);
  rc = capi20_get_profile(0, profile);
  if (rc) {
    printf("no profile: 0x%04x\n", rc);
    return 1;
  }
  unsigned controllers = Word(profile);
  printf("controllers %u\n", controllers);
  unsigned appl = 0;
  rc = capi20_register(1, 7, 2048, &appl);
  if (rc) {
    printf("not registered: 0x%04x\n", rc);
    return 1;
  }
  bool ok = true;
  for (unsigned controller = 1; ok && controller <= controllers; ++controller)
    ok = Controller(appl, controller);
  capi20_release(appl);
  return ok ? 0 : 1;
}
