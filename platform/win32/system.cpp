// Process services on Win32: computer name, local time, sleeping, console control events.
#include "platform/system.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/win32/termination_event.h"

namespace platform {

namespace {
std::atomic<int> terminationRequested{0};
HANDLE terminationEvent = nullptr;

// Notes the request for the keyboard loop and wakes the waits that watch the event.
void NoteRequest() {
  terminationRequested.store(1);
  if (terminationEvent != nullptr) SetEvent(terminationEvent);
}

// Runs on a thread of the console's own for Ctrl-C, Ctrl-Break, closing the window, logoff
// and system shutdown: notes the request; the keyboard loop then ends the normal way.
BOOL WINAPI NoteTermination(DWORD event) {
  NoteRequest();
  // After the last three the system ends the process as soon as the handler returns; holding
  // it lets the shutdown run (the process ends from main, or at the system's grace time).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(INFINITE);
  return TRUE;
}
}  // namespace

void StartProcess() {
  terminationEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(NoteTermination, TRUE);
  // A missing provider is reported by the program itself, not by a system dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void ReadComputerName(char* name, size_t size) {
  if (size == 0) return;
  char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof computer;
  if (!GetComputerNameA(computer, &length)) length = 0;
  if (length > 15) length = 15;
  if (length > size - 1) length = static_cast<DWORD>(size - 1);
  std::memcpy(name, computer, length);
  name[length] = '\0';
}

std::tm LocalTimeNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::tm fields{};
  fields.tm_year = now.wYear - 1900;
  fields.tm_mon = now.wMonth - 1;
  fields.tm_mday = now.wDay;
  fields.tm_hour = now.wHour;
  fields.tm_min = now.wMinute;
  fields.tm_sec = now.wSecond;
  fields.tm_wday = now.wDayOfWeek;
  fields.tm_isdst = -1;
  return fields;
}

void SleepMs(int ms) {
  Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

const char* EnvironmentValue(const char* name) {
  return std::getenv(name);
}

bool TerminationRequested() {
  return terminationRequested.load() != 0;
}

// The keyboard loop looks at the request between its short waits for a key.
void RequestTermination() {
  NoteRequest();
}

HANDLE TerminationEvent() {
  return terminationEvent;
}

}  // namespace platform
