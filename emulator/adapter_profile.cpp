// Adapter profiles: settings parsing and the reply data layouts of the three adapter queries.
#include "emulator/adapter_profile.h"

#include "emulator/text.h"

namespace emu {

// Sets one field of one profile; returns the reason on failure.
static std::string SetField(AdapterProfile& p, const std::string& key, const std::string& value) {
  if (key == "version_text") {
    if (value.size() > 255) return "version_text longer than 255 characters";
    p.versionText = value;
    return "";
  }
  struct Field {
    const char* name;
    long limit;
    void (*store)(AdapterProfile&, long);
  };
  static const Field fields[] = {
      {"kind", 255, [](AdapterProfile& a, long v) { a.firmwareKind = uint8_t(v); }},
      {"version", 255, [](AdapterProfile& a, long v) { a.firmwareVersion = uint8_t(v); }},
      {"board_flags", 255, [](AdapterProfile& a, long v) { a.boardFlags = uint8_t(v); }},
      {"info", 0xFFFF, [](AdapterProfile& a, long v) { a.infoWord = uint16_t(v); }},
      {"bus", 255, [](AdapterProfile& a, long v) { a.busIndex = uint8_t(v); }},
      {"memory", 255, [](AdapterProfile& a, long v) { a.memoryMb = uint8_t(v); }},
      {"minor", 255, [](AdapterProfile& a, long v) { a.minorVersion = uint8_t(v); }},
      {"trunk_flags", 255, [](AdapterProfile& a, long v) { a.trunkFlags = uint8_t(v); }},
      {"line_flags", 0xFFFF, [](AdapterProfile& a, long v) { a.lineFlags = uint16_t(v); }},
      {"protocol", 255, [](AdapterProfile& a, long v) { a.protocolIndex = uint8_t(v); }},
      {"tei", 255, [](AdapterProfile& a, long v) { a.teiByte = uint8_t(v); }},
  };
  for (const Field& f : fields) {
    if (key != f.name) continue;
    long v = 0;
    if (!ParseNumber(value, f.limit, v)) return "bad value for " + key + ": " + value;
    f.store(p, v);
    return "";
  }
  return "unknown key " + key;
}

// Splits "C.KEY=VALUE" and stores it in one or every profile.
std::string ApplySetting(AdapterSet& set, const std::string& setting) {
  size_t eq = setting.find('=');
  if (eq == std::string::npos) return "expected KEY=VALUE: " + setting;
  std::string key = Trim(setting.substr(0, eq));
  std::string value = Trim(setting.substr(eq + 1));
  if (key == "controllers") {
    long n = 0;
    if (!ParseNumber(value, kMaxControllers, n) || n == 0) return "bad controller count " + value;
    set.count = static_cast<int>(n);
    return "";
  }
  size_t dot = key.find('.');
  if (dot == std::string::npos) {
    for (int c = 1; c <= kMaxControllers; ++c) {
      std::string reason = SetField(set.profiles[c], key, value);
      if (!reason.empty()) return reason;
    }
    return "";
  }
  long c = 0;
  if (!ParseNumber(key.substr(0, dot), kMaxControllers, c) || c == 0)
    return "bad controller number in " + key;
  return SetField(set.profiles[c], key.substr(dot + 1), value);
}

// Applies every setting line of the file.
std::string LoadProfile(AdapterSet& set, const std::string& path) {
  return ForEachLine(path, [&](const std::string& line) -> std::string {
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#') return "";
    return ApplySetting(set, text);
  });
}

// Lays the reply data out at the offsets the application decodes.
bool ReplyData(const AdapterProfile& p, uint8_t type, std::string& data) {
  switch (type) {
    case 2:  // LINE_CONFIG: line flags, protocol index, TEI byte
      data.assign(4, '\0');
      data[0] = static_cast<char>(p.lineFlags & 0xFF);
      data[1] = static_cast<char>(p.lineFlags >> 8);
      data[2] = static_cast<char>(p.protocolIndex);
      data[3] = static_cast<char>(p.teiByte);
      return true;
    case 4:  // ADAPTER_TYPE: bus index, minor version, memory, trunk flags at 7
      data.assign(8, '\0');
      data[0] = static_cast<char>(p.busIndex);
      data[1] = static_cast<char>(p.minorVersion);
      data[2] = static_cast<char>(p.memoryMb);
      data[7] = static_cast<char>(p.trunkFlags);
      return true;
    case 6:  // FIRMWARE_VERSION: kind, version, board flags at 4, text length at 12, text at 13
      data.assign(13, '\0');
      data[0] = static_cast<char>(p.firmwareKind);
      data[1] = static_cast<char>(p.firmwareVersion);
      data[4] = static_cast<char>(p.boardFlags);
      data[12] = static_cast<char>(p.versionText.size());
      data += p.versionText;
      return true;
    default:
      return false;
  }
}

}  // namespace emu
