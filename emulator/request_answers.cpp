// The answers: to the wire's own requests (registration, manufacturer, version, serial number,
// profile), to the vendor messages ADAPTER_REQ and DEBUG_REQ, and to the requests CAPI 2.0
// defines.
#include "emulator/request_answers.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "emulator/adapter_profile.h"
#include "emulator/firmware.h"
#include "emulator/standard_requests.h"
#include "emulator/wire.h"

namespace emu {

namespace {

// Fixed-size, zero-padded text field.
std::string Field(const char* text, size_t size) {
  std::string f(text);
  f.resize(size, '\0');
  return f;
}

// Answers the wire's own manufacturer, version, serial number and profile requests.
void AnswerWireRequest(Connection& c, uint8_t command, const std::string& message) {
  std::string data;
  const char* what = "profile";
  if (command == kCmdManufacturer) {
    what = "manufacturer";
    data = Field("qz7 systems GmbH", 64);
  } else if (command == kCmdVersion) {
    what = "version";
    data.assign(16, '\0');
    PutU32(data, 0, 2);  // CAPI 2.0, firmware 2.41
    PutU32(data, 4, 0);
    PutU32(data, 8, 2);
    PutU32(data, 12, 41);
  } else if (command == kCmdSerial) {
    what = "serial";
    data = Field("0004711", 8);
  } else {
    data.assign(64, '\0');
    PutU16(data, 0, static_cast<uint16_t>(serverOptions->adapters.count));
    PutU16(data, 2, 2);  // B channels
    PutU32(data, 4, kProfileGlobalOptions);
    PutU32(data, 8, 0x0003);   // B1: 64 kbit/s HDLC, transparent
    PutU32(data, 12, 0x0003);  // B2: X.75, transparent
    PutU32(data, 16, 0x0001);  // B3: transparent
  }
  LogMessage(std::string("query ") + what + " ctrl=" + std::to_string(GetU16(message, 8)), message);
  SendMessage(c, WireReply(command, data));
}

// Registration: accept (or refuse, or leave unanswered) and start the script.
void Register(Connection& c, const std::string& message) {
  LogMessage("register buffer=" + std::to_string(GetU16(message, 12)) +
                 " maxLogicalConnection=" + std::to_string(GetU16(message, 14)) +
                 " maxBDataBlocks=" + std::to_string(GetU16(message, 16)) +
                 " maxBDataLen=" + std::to_string(GetU16(message, 18)),
             message);
  if (serverOptions->ignoreRegister) return;
  if (serverOptions->refuseRegister) {
    SendMessage(c, RegisterConf(GetU16(message, 2), kInfoTooManyApplications));
    return;
  }
  SendMessage(c, RegisterConf(GetU16(message, 2), 0));
  c.registered = true;
  c.rate = serverOptions->rate;
  c.pc = 0;
}

// ADAPTER_REQ: the controller's reply data, or the script's withheld, late or wrong answer.
void AdapterRequest(Connection& c, const std::string& message, TimePoint now) {
  uint8_t controller = GetU8(message, 8);
  uint8_t type = GetU8(message, 9);
  LogMessage("adapter_req ctrl=" + std::to_string(controller) + " type=" + std::to_string(type),
             message);
  uint16_t applId = GetU16(message, 2);
  uint16_t number = GetU16(message, 6);
  std::string data;
  std::string reply;
  if (!Present(c, controller))
    reply = AdapterConf(applId, number, controller, type, kInfoIllegalController, "");
  else if (ReplyData(serverOptions->adapters.profiles[controller], type, data))
    reply = AdapterConf(applId, number, controller, type,
                        serverOptions->adapters.profiles[controller].infoWord, data);
  else
    reply = AdapterConf(applId, number, controller, type, kInfoIllegalParameter, "");
  const Policy& p = c.policy[type];
  switch (p.kind) {
    case Policy::kNormal:
      SendMessage(c, reply);
      break;
    case Policy::kWithhold:
      break;
    case Policy::kLate:
      c.delayed.push_back({now + std::chrono::milliseconds(p.ms), Frame(reply)});
      break;
    case Policy::kWrong:
      if (p.command < 0) {
        SendTrace(c, controller,
                  "CMT adapter request type " + std::to_string(type) + " answered as a trace");
      } else {
        reply[4] = static_cast<char>(p.command);
        reply[5] = static_cast<char>(p.subcommand);
        SendMessage(c, reply);
      }
      break;
  }
}

// DEBUG_REQ: a firmware command or the download-screen request for one controller.
void DebugRequest(Connection& c, const std::string& message, TimePoint now) {
  uint8_t controller = GetU8(message, 8);
  size_t n = GetU8(message, 10);
  std::string payload = message.size() > 11 ? message.substr(11, n) : "";
  bool download = n == 1 && payload == "\x01";
  bool command = !payload.empty() && payload[0] == 0x02;
  std::string text = command ? payload.substr(1, payload.find('\0', 1) - 1) : "";
  if (download)
    LogMessage("download", message);
  else if (command)
    LogMessage("cmd " + text, message);
  else
    LogMessage("debug_req ctrl=" + std::to_string(controller) +
                   " kind=" + std::to_string(GetU8(message, 9)) + " payload=" + ToHex(payload),
               message);
  if (!Present(c, controller) || !(download || command)) return;
  c.lastController = controller;
  bool wasQuiet = !AnyDecoder(c);
  if (download) {
    SendDownloadScreen(c, controller);
  } else {
    Controller& k = c.controllers[controller];
    for (const std::string& body :
         RunCommand(text, k.decoders, serverOptions->adapters.profiles[controller], *k.line))
      SendTrace(c, controller, body);
  }
  if (wasQuiet && AnyDecoder(c)) c.nextTrace = now + std::chrono::milliseconds(200);
}

// A request of a command CAPI 2.0 defines gets its confirmation; false for any other command
// (the vendor messages included), which is left to the caller.
bool StandardRequest(Connection& c, const std::string& message) {
  uint8_t controller = GetU8(message, 8) & 0x7F;
  StandardAnswer answer = ConfirmStandardRequest(message, Present(c, controller));
  if (!answer.name) return false;
  char line[96];
  if (answer.info < 0)
    snprintf(line, sizeof line, "request %s addr=0x%08x", answer.name, GetU32(message, 8));
  else
    snprintf(line, sizeof line, "request %s addr=0x%08x info=0x%04x", answer.name,
             GetU32(message, 8), answer.info);
  LogMessage(line, message);
  SendMessage(c, answer.conf);
  return true;
}

}  // namespace

void HandleMessage(Connection& c, const std::string& message, TimePoint now) {
  uint8_t command = GetU8(message, 4);
  uint8_t sub = GetU8(message, 5);
  if (command == kCmdRegister && sub == kSubWire)
    Register(c, message);
  else if ((command == kCmdManufacturer || command == kCmdVersion || command == kCmdSerial ||
            command == kCmdProfile) &&
           sub == kSubWire)
    AnswerWireRequest(c, command, message);
  else if (command == kCmdAdapter && sub == kSubRequest && c.registered)
    AdapterRequest(c, message, now);
  else if (command == kCmdDebug && sub == kSubRequest && c.registered)
    DebugRequest(c, message, now);
  else if (sub != kSubStandardRequest || !c.registered || !StandardRequest(c, message)) {
    char line[64];
    snprintf(line, sizeof line, "other cmd=0x%02x sub=0x%02x", command, sub);
    LogMessage(line, message);
  }
}

}  // namespace emu
