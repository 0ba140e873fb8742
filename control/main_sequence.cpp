// The main routine: start-up in its fixed order, the keyboard loop with the access sequence
// of debug mode, and shutdown.
#include "control/main_sequence.h"

#include <cstdio>
#include <cstring>

#include "adapter/adapter_info.h"
#include "adapter/decoders.h"
#include "capi/provider_binding.h"
#include "capi/receive_thread.h"
#include "console/banner.h"
#include "console/prompt.h"
#include "control/command_line.h"
#include "control/records/control_block.h"
#include "control/records/program_identity.h"
#include "output/log_writer.h"
#include "output/print.h"
#include "output/trace_indication.h"
#include "output/trace_screen.h"
#include "platform/console.h"
#include "platform/system.h"

namespace control {

char computerName[kComputerNameSize];

namespace {

// The start-up message box's line under the program's title.
constexpr const char* kStartupBoxLine = "ISDN trace monitor for qz7 adapters";
constexpr const char* kWelcomeLine = "Welcome in debug mode, ready for input...\n\n";
constexpr int kAccessKeyCount = 3;
constexpr int kKeyCtrlA = 0x01;
constexpr int kKeyCtrlC = 0x03;
constexpr int kKeyCtrlX = 0x18;
constexpr int kKeyBlank = 0x20;
// How long one look for a key may block; keeps an idle program asleep, not spinning.
constexpr int kKeyWaitMs = 50;

// The keys that move the view while output is held.
struct ViewKey {
  int key;
  output::ViewMove move;
};
constexpr ViewKey kViewKeys[] = {
    {platform::kKeyPageUp, output::ViewMove::kPageUp},
    {platform::kKeyPageDown, output::ViewMove::kPageDown},
    {platform::kKeyUp, output::ViewMove::kRowUp},
    {platform::kKeyDown, output::ViewMove::kRowDown},
    {platform::kKeyHome, output::ViewMove::kOldest},
    {platform::kKeyEnd, output::ViewMove::kNewest},
};

constexpr const char* kLogBackupsVariable = "LINKSPY_LOG_BACKUPS";

char programName[kProgramNameSize];
int accessProgress = 0;
// Start-up reached the receive thread's step: from then on shutdown has a thread to stop.
bool receiveStepReached = false;

// Takes the number of log backups to keep from the environment and says it. False: the
// value is unusable.
bool TakeLogBackups() {
  const char* value = platform::EnvironmentValue(kLogBackupsVariable);
  if (output::SetLogBackups(value) != 0) {
    output::PrintError("LINKSPY: Unusable %s value \"%s\" (a number from 0 to %d)\n",
                       kLogBackupsVariable, value, output::kMaxLogBackups);
    return false;
  }
  if (output::LogBackups() > 0) {
    output::Print("LINKSPY: Keeping %d log backups\n", output::LogBackups());
  }
  return true;
}

// Start-up steps 1 and 2: the first lines, the options and the log backups; anything but kRun
// ends the process (an unusable setting ends it as an option error does). --help and
// --version are answered before the first line.
ParseOutcome GreetAndParse(int argc, const char* const* argv) {
  if (AnswerLongOption(argc, argv) == ParseOutcome::kExit) return ParseOutcome::kExit;
  std::snprintf(programName, sizeof programName, "%s", argc > 0 ? argv[0] : "");
  output::Print("\n[Initializing and starting module: %s]\n", programName);
  output::Print("LINKSPY: Max log file size %d kBytes\n", output::MAX_LOG_SIZE_KB);
  ParseOutcome outcome = ParseCommandLine(argc, argv);
  if (outcome == ParseOutcome::kRun && !TakeLogBackups()) outcome = ParseOutcome::kOptionError;
  controlBlock.startupController = controlBlock.controller;
  return outcome;
}

// Start-up steps 6 to 9: start-up lines, the message box, the log's first lines, the banner.
void AnnounceStart() {
  if (controlBlock.loggingEnabled == 1) {
    output::Print("LINKSPY: Started log file %s\n", kLogFileName);
  } else {
    output::PrintError("LINKSPY: Error opening log file, logging disabled\n");
  }
  output::Print("\n");
  output::PrintBox(platform::Severity::kInformation, "%s\n%s", kProgramTitle, kStartupBoxLine);
  output::PrintTo(output::LogOnly, "\n\nStart program %s v%s\n", kProgramName, kProgramVersion);
  output::PrintTo(output::LogOnly, "%s\n", console::kCopyrightLine);
  output::PrintTo(output::LogOnly, "%s\n", console::kInternalUseLine);
  output::ClearScreen();
  console::PrintBanner();
  output::Print("\n");
}

// Start-up steps 10 to 13: the report with the adapter queries, the receive thread, the
// decoders. A termination request ends start-up between two steps (and the report between two
// queries): an end that was asked for is no adapter failure, so nothing more is sent, waited
// for or reported, and the keyboard loop then ends at once.
void StartMonitoring() {
  if (platform::TerminationRequested()) return;
  adapter::IdentifyAdapter(computerName);
  if (platform::TerminationRequested()) return;
  capi::StartReceiveThread(output::HandleDebugIndication, output::LogPass);
  receiveStepReached = true;
  output::Print("\n");
  controlBlock.currentRow = output::kStartupRow;
  output::SetCursor(0, output::kStartupRow);
  adapter::AssumeDecoderGeneration();
  if (platform::TerminationRequested()) return;
  adapter::ActivateDecoders();
}

// Shows the access progress as one digit in the top-left corner.
void ShowAccessDigit() {
  platform::ConsoleLock();
  output::SetCursor(accessProgress - 1, 0);
  output::WriteDirect("%1d", accessProgress);
  platform::ConsoleUnlock();
}

// Opens debug mode: the output region shrinks to the rows above the prompt area, the trace
// goes on below the welcome line.
void EnterDebugMode() {
  controlBlock.loggedIn = 1;
  accessProgress = 0;
  controlBlock.bottomRow = output::kDebugBottomRow;
  output::ClearScreen();
  output::Print("%s", kWelcomeLine);
  controlBlock.currentRow = output::kWelcomeEndRow;
}

// Handles one key of the keyboard loop (the access sequence, blank, Ctrl-A, the view keys,
// Ctrl-X, Ctrl-C).
void HandleKey(int key) {
  ControlBlock& cb = controlBlock;
  if (cb.loggedIn == 0) {
    if (key == cb.accessKeys[accessProgress]) {
      ++accessProgress;
      ShowAccessDigit();
      if (accessProgress == kAccessKeyCount) EnterDebugMode();
    } else {
      accessProgress = 0;
    }
  }
  if (cb.loggedIn == 1 && key == kKeyBlank) console::RunPrompt();
  // Ctrl-A holds the output region and releases it again; where nothing shows the screen
  // (output redirected, the service) there is nothing to hold.
  if (key == kKeyCtrlA && cb.waitMode == 1 &&
      platform::ConsoleShows() != platform::ConsoleView::kNothing) {
    if (cb.outputStopRequested == 0) {
      output::HoldOutput();
    } else {
      output::ReleaseOutput();
    }
  }
  for (const ViewKey& view : kViewKeys) {
    if (key == view.key) output::MoveHeldView(view.move);
  }
  if (key == kKeyCtrlX || key == kKeyCtrlC) cb.exitRequested = 1;
}

// The keyboard loop: one key at a time until Ctrl-X or Ctrl-C is read, a termination signal
// comes or the provider's link is lost. The end of input only ends the keys: an unattended
// monitor (input from /dev/null) goes on.
void RunKeyboardLoop() {
  while (controlBlock.exitRequested == 0) {
    if (platform::TerminationRequested()) {
      controlBlock.exitRequested = 1;
      break;
    }
    if (!platform::KeyWaiting(kKeyWaitMs)) continue;
    int key = platform::ReadKey();
    if (key >= 0) HandleKey(key);
  }
}

// The stop sequence, once the keyboard loop has ended. The last screen shows the newest rows:
// a hold ends before the shutdown rows.
void Shutdown() {
  output::ReleaseOutput();
  output::OpenShutdownRow();
  // Start-up that ended before the thread's step has no thread to stop and nothing to say.
  if (receiveStepReached) capi::StopReceiveThread();
  capi::ReleaseApplication();
  output::PrintTo(output::CloseLogForShutdown, "%s Program unloaded\n", output::Timestamp());
  capi::UnloadCapiProvider();
  output::Print("\rClean at shutdown\n");
}

}  // namespace

int Main(int argc, const char* const* argv) {
  accessProgress = 0;
  receiveStepReached = false;
  ParseOutcome options = GreetAndParse(argc, argv);
  if (options == ParseOutcome::kOptionError) return kOptionErrorStatus;
  if (options == ParseOutcome::kExit) return 0;
  platform::ConsoleSetTitle(kProgramTitle);
  platform::ConsoleOpen();
  platform::ReadComputerName(computerName, sizeof computerName);
  output::SetLogFileNames(kLogFileName, kBackupFileName, kLockFileName);
  // Asked to end while binding (a registration that hangs): an end as asked, not a failure.
  if (capi::BindCapiProvider() == -1) return platform::TerminationRequested() ? 0 : -1;
  AnnounceStart();
  StartMonitoring();
  RunKeyboardLoop();
  Shutdown();
  return capi::providerLinkLost.load() != 0 ? -1 : 0;
}

}  // namespace control
