// The program's name, version and title, and the names of its log files: the banner, the
// console title, the start-up box, --version, the Windows version resource and the emulator's
// --version take them from here.
#pragma once

namespace control {

constexpr const char* kProgramName = "LINKSPY";
constexpr const char* kProgramVersion = "0.96";
// The command's name, as --version says it.
constexpr const char* kCommandName = "linkspy";
constexpr const char* kProgramTitle = "LINKSPY for Windows NT";
constexpr const char* kLogFileName = "LINKSPY.LOG";
constexpr const char* kBackupFileName = "LINKSPY.BAK";
// The lock file beside the log that the processes writing it take in turn.
constexpr const char* kLockFileName = "LINKSPY.LCK";

}  // namespace control
