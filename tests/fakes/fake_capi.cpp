// A stand-in for libcapi20 whose results the environment chooses, so that linkspy can be
// made to meet each kind of provider failure:
//   FAKECAPI_INSTALLED, FAKECAPI_REGISTER, FAKECAPI_RELEASE, FAKECAPI_PUT  results (hex)
//   FAKECAPI_WAIT     result of every wait; unset: a bounded wait times out (0x1104) at
//                     once and an unbounded one blocks for good
//   FAKECAPI_GET      result of every take (default 0x1104, the queue is empty)
//   FAKECAPI_PUT_LOG  file that receives every message put, one hex line each
//   FAKECAPI_SILENT_DEVICE  set: capi20_fileno names a descriptor on which nothing ever
//                     arrives, as the kernel device of an adapter that stays silent
// Built a second time with FAKECAPI_WITHOUT_PUT to be a library that lacks an entry point.
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The result the environment variable names, or fallback.
unsigned Chosen(const char* variable, unsigned fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? std::strtoul(value, nullptr, 16) : fallback;
}
}  // namespace

extern "C" {

unsigned capi20_isinstalled() {
  return Chosen("FAKECAPI_INSTALLED", 0);
}

unsigned capi20_register(unsigned, unsigned, unsigned, unsigned* applId) {
  *applId = 1;
  return Chosen("FAKECAPI_REGISTER", 0);
}

unsigned capi20_release(unsigned) {
  return Chosen("FAKECAPI_RELEASE", 0);
}

#ifndef FAKECAPI_WITHOUT_PUT
// Appends the message as one line of hex bytes to FAKECAPI_PUT_LOG.
static void LogPut(const unsigned char* message) {
  const char* path = std::getenv("FAKECAPI_PUT_LOG");
  if (path == nullptr) return;
  FILE* log = std::fopen(path, "a");
  if (log == nullptr) return;
  unsigned length = message[0] | (message[1] << 8);
  for (unsigned i = 0; i < length; ++i) std::fprintf(log, "%02x", message[i]);
  std::fputc('\n', log);
  std::fclose(log);
}

unsigned capi20_put_message(unsigned, unsigned char* message) {
  LogPut(message);
  return Chosen("FAKECAPI_PUT", 0);
}
#endif

int capi20_fileno(unsigned) {
  static int silent[2] = {-1, -1};
  if (std::getenv("FAKECAPI_SILENT_DEVICE") == nullptr) return -1;
  if (silent[0] < 0 && pipe(silent) != 0) return -1;
  return silent[0];
}

unsigned capi20_get_message(unsigned, unsigned char** message) {
  *message = nullptr;
  return Chosen("FAKECAPI_GET", 0x1104);
}

unsigned capi20_waitformessage(unsigned, struct timeval* timeout) {
  if (std::getenv("FAKECAPI_WAIT") != nullptr) return Chosen("FAKECAPI_WAIT", 0);
  if (timeout != nullptr) return 0x1104;
  for (;;) select(0, nullptr, nullptr, nullptr, nullptr);
}

unsigned char* capi20_get_manufacturer(unsigned, unsigned char* buffer) {
  std::strcpy(reinterpret_cast<char*>(buffer), "fake");
  return buffer;
}

unsigned char* capi20_get_version(unsigned, unsigned char* buffer) {
  std::memset(buffer, 0, 16);
  buffer[0] = 2;
  return buffer;
}

unsigned char* capi20_get_serial_number(unsigned, unsigned char* buffer) {
  std::strcpy(reinterpret_cast<char*>(buffer), "0");
  return buffer;
}

unsigned capi20_get_profile(unsigned, unsigned char* buffer) {
  std::memset(buffer, 0, 64);
  return 0;
}

}  // extern "C"
