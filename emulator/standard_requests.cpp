// Confirmations of standard CAPI 2.0 requests, laid out as the CAPI 2.0 messages define them.
#include "emulator/standard_requests.h"

#include "emulator/wire.h"

namespace emu {

namespace {

// How a confirmation is laid out after its address dword.
enum class Layout {
  kInfo,          // Info word
  kDataB3,        // Data handle word, Info word
  kFacility,      // Info word, facility selector word, confirmation parameter struct
  kManufacturer,  // manufacturer ID, class, function (dwords) echoed, empty data struct
};

struct Request {
  uint8_t command;
  const char* name;
  uint16_t info;  // when the address names an emulated controller and nothing more
  Layout layout;
};

// Info values (CAPI 2.0): 0x2002 illegal controller/PLCI/NCCI (there is never a call, so no
// PLCI or NCCI exists), 0x2003 out of PLCI (no call can be set up), 0x300B facility not
// supported.
constexpr Request kRequests[] = {
    {0x01, "ALERT_REQ", kInfoIllegalController, Layout::kInfo},
    {0x02, "CONNECT_REQ", kInfoOutOfPlci, Layout::kInfo},
    {0x04, "DISCONNECT_REQ", kInfoIllegalController, Layout::kInfo},
    {0x05, "LISTEN_REQ", 0, Layout::kInfo},
    {0x08, "INFO_REQ", kInfoOutOfPlci, Layout::kInfo},
    {0x41, "SELECT_B_PROTOCOL_REQ", kInfoIllegalController, Layout::kInfo},
    {0x80, "FACILITY_REQ", kInfoFacilityNotSupported, Layout::kFacility},
    {0x82, "CONNECT_B3_REQ", kInfoIllegalController, Layout::kInfo},
    {0x84, "DISCONNECT_B3_REQ", kInfoIllegalController, Layout::kInfo},
    {0x86, "DATA_B3_REQ", kInfoIllegalController, Layout::kDataB3},
    {0x87, "RESET_B3_REQ", kInfoIllegalController, Layout::kInfo},
    {0xFF, "MANUFACTURER_REQ", 0, Layout::kManufacturer},
};

constexpr uint16_t kSelectorSupplementary = 3;
constexpr uint16_t kGetSupportedServices = 0;
constexpr uint16_t kInfoServiceNotSupported = 0x300E;  // supplementary service not supported

// Appends a little-endian word.
void AddU16(std::string& m, uint16_t value) {
  m.resize(m.size() + 2);
  PutU16(m, m.size() - 2, value);
}

// Appends a little-endian double word.
void AddU32(std::string& m, uint32_t value) {
  m.resize(m.size() + 4);
  PutU32(m, m.size() - 4, value);
}

// Info word, selector and the confirmation parameter of a FACILITY_REQ to a controller: the
// supplementary services answer GetSupportedServices (and turn other functions down in their
// own Info); any other facility is not supported.
void FacilityBody(const std::string& request, uint16_t notSupported, uint16_t& info,
                  std::string& body) {
  uint16_t selector = GetU16(request, 12);
  std::string parameter;
  if (info == 0 && selector == kSelectorSupplementary) {
    if (GetU8(request, 14) < 2) {
      info = kInfoIllegalParameter;  // no function word
    } else {
      uint16_t function = GetU16(request, 15);
      AddU16(parameter, function);
      if (function == kGetSupportedServices) {
        parameter.push_back(6);
        AddU16(parameter, 0);
        AddU32(parameter, kSupportedServices);
      } else {
        parameter.push_back(2);
        AddU16(parameter, kInfoServiceNotSupported);
      }
    }
  } else if (info == 0) {
    info = notSupported;
  }
  AddU16(body, info);
  AddU16(body, selector);
  body.push_back(static_cast<char>(parameter.size()));
  body += parameter;
}

}  // namespace

// Looks the command up, chooses the Info from the address and builds the confirmation.
StandardAnswer ConfirmStandardRequest(const std::string& request, bool controllerPresent) {
  StandardAnswer answer;
  uint8_t command = GetU8(request, 4);
  const Request* known = nullptr;
  for (const Request& r : kRequests)
    if (r.command == command) known = &r;
  if (!known) return answer;
  answer.name = known->name;
  uint32_t address = GetU32(request, 8);
  uint16_t info = !controllerPresent || (address & 0xFFFFFF00u) ? kInfoIllegalController : 0;
  std::string body;
  switch (known->layout) {
    case Layout::kInfo:
      if (info == 0) info = known->info;
      AddU16(body, info);
      break;
    case Layout::kDataB3:
      if (info == 0) info = known->info;
      AddU16(body, GetU16(request, 18));
      AddU16(body, info);
      break;
    case Layout::kFacility:
      FacilityBody(request, known->info, info, body);
      break;
    case Layout::kManufacturer:
      for (size_t offset = 12; offset < 24; offset += 4) AddU32(body, GetU32(request, offset));
      body.push_back(0);
      break;
  }
  if (known->layout != Layout::kManufacturer) answer.info = info;
  answer.conf = NewMessage(kHeaderLength + 4 + body.size(), GetU16(request, 2), command,
                           kSubStandardConf, GetU16(request, 6));
  PutU32(answer.conf, 8, address);
  answer.conf.replace(kHeaderLength + 4, body.size(), body);
  return answer;
}

}  // namespace emu
