// Adapter identification: the four start-up queries, the name tables, the reply decodings and
// the start-up report.
#include "adapter/adapter_info.h"

#include <cstdio>
#include <cstring>

#include "adapter/adapter_info_internal.h"
#include "capi/adapter_exchange.h"
#include "capi/records/capi_provider.h"
#include "capi/records/vendor_messages.h"
#include "control/records/control_block.h"
#include "output/adapter_text.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "platform/system.h"

namespace adapter {

AdapterInfo adapterInfo;

namespace {

constexpr const char* kUnknown = "Unknown";

// Bus and interface names, indexed by byte 0 of the ADAPTER_TYPE reply.
constexpr int kBusNameCount = 5;
constexpr const char* kBusNames[kBusNameCount] = {"ISA-UP0", "ISA-S0", "MCA-UP0", "MCA-S0",
                                                  "EISA-S2m"};

// D-channel protocol names, indexed by byte 2 of the LINE_CONFIG reply.
constexpr int kProtocolNameCount = 15;
constexpr const char* kProtocolNames[kProtocolNameCount] = {
    "1TR6, Deutsche Telekom",
    "DSS-1, Euro-ISDN/NET3, ETSI",
    "VN2, France Telecom",
    "VN3, France Telecom",
    "5ESS, USA AT&T",
    "EWSD, USA Siemens",
    "DSM-100, USA Northern Telecom",
    "CORNET-N, Siemens",
    "DSS-1, Norway Phase 1",
    "CORNET-T, Siemens",
    "USA National ISDN 1",
    "CCITT Q.931 Blue Book",
    "ECMA Q.SIG",
    "USA National ISDN 2",
    "TS013/TS014, Australia",
};

// Model name texts.
constexpr const char* kFamilyPrefix = "qz7-";
constexpr const char* kVariantMulti = "multi";
constexpr const char* kVariantTrunk = "trunk";
constexpr const char* kVariantSolo = "solo";
constexpr const char* kSuffixTalk = "/TALK";
constexpr const char* kSuffixBits = "/BITS";

constexpr int16_t kClassSolo = 0;
constexpr int16_t kClassMulti = 1;
constexpr int16_t kClassTrunk = 2;

// Board flags of the firmware-version reply, and trunk flags of the adapter-type reply.
constexpr uint8_t kBoardMulti = 0x02;
constexpr uint8_t kBoardTrunk = 0x04;
constexpr uint8_t kTrunkTalk = 0x01;
constexpr uint8_t kTrunkBits = 0x02;

// Info word of a firmware-version reply that leaves the board class alone.
constexpr uint16_t kInfoKeepsBoardClass = 0x2001;
// Info words of CAPI's resource and coding errors (0x2xxx) and of the requested services
// (0x3xxx): the reply carries no answer. 0x2002: the provider has no such controller.
constexpr uint16_t kInfoFirstError = 0x2000;
constexpr uint16_t kInfoLastError = 0x3FFF;
constexpr uint16_t kInfoIllegalController = 0x2002;

// Line flags of the LINE_CONFIG reply.
constexpr uint16_t kLinePointToPoint = 0x0001;
constexpr uint16_t kLineFixed = 0x0002;
constexpr uint16_t kLineNtSide = 0x0004;
constexpr uint16_t kLineOne128k = 0x0008;
constexpr uint16_t kLineWithoutDChannel = 0x0010;
constexpr uint8_t kTeiFixed = 0x80;
constexpr uint8_t kTeiValue = 0x7F;

// Set once the report said that the provider has no start-up controller: every query meets it.
bool noControllerSaid = false;

// The info word of the ADAPTER_CONF last taken.
uint16_t ReplyInfo() {
  const capi::CapiProvider& provider = capi::capiProvider;
  return capi::ReceivedWord(provider.receivedMessage, provider.receivedLength,
                            capi::kAdapterConfInfoOffset);
}

// True when the info word leaves the reply's data an answer to requestType.
bool InfoAllowsAnswer(uint16_t info, uint8_t requestType) {
  if (info == kInfoKeepsBoardClass && requestType == capi::FIRMWARE_VERSION) return true;
  return info < kInfoFirstError || info > kInfoLastError;
}

// Says, once a report, that the provider has no such controller (in the journal an error).
void SayNoSuchController() {
  if (noControllerSaid) return;
  noControllerSaid = true;
  char line[64];
  std::snprintf(line, sizeof line, "LINKSPY: The CAPI provider has no controller %d\n",
                control::controlBlock.startupController);
  output::LogWithEchoAs(line, platform::Severity::kError);
}

// Runs one request/reply exchange with the start-up controller. True when the reply's data, at
// least needed bytes of it, is in infoBuffer and its info word says it answers; a request the
// provider refused is not waited for, since no reply can come. Once the program is asked to
// end no request goes out at all. The buffer starts empty, so nothing of an earlier reply can
// pass for this one's data.
bool Exchange(uint8_t requestType, size_t needed) {
  if (platform::TerminationRequested()) return false;
  std::memset(capi::infoBuffer, 0, sizeof capi::infoBuffer);
  uint32_t put = capi::SendAdapterRequest(
      capi::capiProvider.applId, control::controlBlock.startupController, requestType, 0,
      static_cast<uint16_t>(capi::kInfoBufferSize), capi::infoBuffer);
  if ((put & 0xFFFF) != 0) return false;
  int32_t reply = capi::AwaitAdapterReply(capi::kCommandAdapter, capi::kSubConfirmation);
  if ((static_cast<uint32_t>(reply) & 0xFFFF) != 0) return false;
  uint16_t info = ReplyInfo();
  if (info == kInfoIllegalController) SayNoSuchController();
  return InfoAllowsAnswer(info, requestType) && capi::infoDataLength >= needed;
}

// Copies a text into one of the 80-character fields.
void SetText(char (&field)[kInfoTextSize], const char* text) {
  std::snprintf(field, sizeof field, "%s", text);
}

// Runs the exchange for requestType, whose decoding reads the first needed bytes: its reply
// data, or null after the query's field was set to "Unknown".
const uint8_t* ReplyData(uint8_t requestType, char (&field)[kInfoTextSize], size_t needed) {
  if (Exchange(requestType, needed)) return capi::infoBuffer;
  SetText(field, kUnknown);
  return nullptr;
}

// The length of the version text in firmware-version reply data of dataLength bytes: as many
// characters as its length byte says, at most the field's 79, fewer when a zero byte comes
// first; -1 when the data ends before the text does.
int VersionTextLength(const uint8_t* data, size_t dataLength) {
  namespace reply = capi::firmware_version_reply;
  size_t stated = data[reply::kTextLength];
  if (stated > kInfoTextSize - 1) stated = kInfoTextSize - 1;
  for (size_t i = 0; i < stated; ++i) {
    if (reply::kText + i >= dataLength) return -1;
    if (data[reply::kText + i] == 0) return static_cast<int>(i);
  }
  return static_cast<int>(stated);
}

}  // namespace

void QueryFirmwareVersion() {
  AdapterInfo& info = adapterInfo;
  namespace reply = capi::firmware_version_reply;
  const uint8_t* data = ReplyData(capi::FIRMWARE_VERSION, info.firmwareVersionText, reply::kText);
  int textLength = data != nullptr ? VersionTextLength(data, capi::infoDataLength) : -1;
  if (textLength < 0) {
    SetText(info.firmwareVersionText, kUnknown);
    info.firmwareKind = 0;
    info.firmwareVersion = 0;
    return;
  }
  if (ReplyInfo() != kInfoKeepsBoardClass) {
    uint8_t boardFlags = data[reply::kBoardFlags];
    if (boardFlags & kBoardMulti) {
      info.boardClass = kClassMulti;
    } else if (boardFlags & kBoardTrunk) {
      info.boardClass = kClassTrunk;
    } else {
      info.boardClass = kClassSolo;
    }
  }
  info.firmwareKind = data[reply::kKind];
  info.firmwareVersion = data[reply::kVersion];
  // It goes to the screen, standard output and the log as one line, cleaned as a trace text is.
  std::memcpy(info.firmwareVersionText, data + reply::kText, static_cast<size_t>(textLength));
  output::CleanAdapterText(info.firmwareVersionText, static_cast<size_t>(textLength));
}

void QueryAdapterType() {
  AdapterInfo& info = adapterInfo;
  namespace reply = capi::adapter_type_reply;
  // Bus, version and memory come first; only a trunk board's name reads the trunk flags.
  size_t needed = info.boardClass == kClassTrunk ? reply::kTrunkFlags + 1 : reply::kMemoryMb + 1;
  const uint8_t* data = ReplyData(capi::ADAPTER_TYPE, info.adapterTypeText, needed);
  if (data == nullptr) return;
  const char* variant = kVariantSolo;
  const char* suffix = "";
  if (info.boardClass == kClassMulti) {
    variant = kVariantMulti;
  } else if (info.boardClass == kClassTrunk) {
    variant = kVariantTrunk;
    uint8_t trunkFlags = data[reply::kTrunkFlags];
    if (trunkFlags & kTrunkTalk) {
      suffix = kSuffixTalk;
    } else if (trunkFlags & kTrunkBits) {
      suffix = kSuffixBits;
    }
  }
  // An index beyond the table has no name of its own.
  uint8_t busIndex = data[reply::kBus];
  const char* bus = busIndex < kBusNameCount ? kBusNames[busIndex] : kUnknown;
  std::snprintf(info.adapterTypeText, sizeof info.adapterTypeText, "%s%s%s %s %dMB, Version:1.%d",
                kFamilyPrefix, variant, suffix, bus, data[reply::kMemoryMb], data[reply::kVersion]);
}

void QueryLineInterface() {
  AdapterInfo& info = adapterInfo;
  namespace reply = capi::line_config_reply;
  const uint8_t* data = ReplyData(capi::LINE_CONFIG, info.lineInterfaceText, reply::kTei + 1);
  if (data == nullptr) return;
  uint16_t flags =
      static_cast<uint16_t>(data[reply::kLineFlags] | (data[reply::kLineFlags + 1] << 8));
  uint8_t tei = data[reply::kTei];
  const char* a = "";
  const char* b = "";
  const char* c = "";
  if (!(flags & kLineFixed)) {
    a = (flags & kLinePointToPoint) ? "point to point" : "point to multipoint";
  } else if (flags & kLineWithoutDChannel) {
    a = "FV without D-Channel";
  } else {
    a = "FV with D-Channel, ";
    b = (flags & kLineNtSide) ? "NT-side," : "TE-side, ";
    c = (flags & kLineOne128k) ? "1 x 128kbit/s" : " 2 x 64kbit/s";
  }
  char teiText[8];
  if (tei & kTeiFixed) {
    std::snprintf(teiText, sizeof teiText, "%d", tei & kTeiValue);
  } else {
    std::snprintf(teiText, sizeof teiText, "%s", (flags & kLinePointToPoint) ? "0" : "AUTO");
  }
  std::snprintf(info.lineInterfaceText, sizeof info.lineInterfaceText, "%s%s%s, TEI=%s", a, b, c,
                teiText);
}

void QueryProtocol() {
  AdapterInfo& info = adapterInfo;
  namespace reply = capi::line_config_reply;
  const uint8_t* data = ReplyData(capi::LINE_CONFIG, info.protocolText, reply::kProtocol + 1);
  if (data == nullptr) return;
  uint8_t index = data[reply::kProtocol];
  if (index < kProtocolNameCount) {
    SetText(info.protocolText, kProtocolNames[index]);
  } else {
    std::snprintf(info.protocolText, sizeof info.protocolText, "Unknown protocol no %d", index);
  }
}

void IdentifyAdapter(const char* computerName) {
  noControllerSaid = false;
  output::PrintTo(output::LogWithEcho, "Fileserver Name   : %s\n", computerName);
  output::PrintTo(output::LogWithEcho, "Fileserver Time   : %s\n", output::Timestamp());
  QueryFirmwareVersion();
  QueryAdapterType();
  QueryLineInterface();
  QueryProtocol();
  // Asked to end meanwhile: the queries were cut short, so the texts would say nothing true.
  if (platform::TerminationRequested()) return;
  const AdapterInfo& info = adapterInfo;
  output::PrintTo(output::LogWithEcho, "Controller Number : %d\n",
                  control::controlBlock.controller);
  output::PrintTo(output::LogWithEcho, "Adaptertype       : %s\n", info.adapterTypeText);
  output::PrintTo(output::LogWithEcho, "Version of QZ.BIN : %s\n", info.firmwareVersionText);
  output::PrintTo(output::LogWithEcho, "Line Interface    : %s\n", info.lineInterfaceText);
  output::PrintTo(output::LogWithEcho, "D-Channel Protocol: %s\n", info.protocolText);
  output::PrintTo(output::LogWithEcho, "\n");
}

}  // namespace adapter
