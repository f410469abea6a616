// The program's one entry after start-up: banner, usage, the options of the
// command tail, the checks of the named files, then one run of the list
// processing and, when asked, the grouping. Returns the exit code.
#ifndef GRENFEL_DRIVER_DRIVER_H_
#define GRENFEL_DRIVER_DRIVER_H_

#include <string_view>

#include "services/fileio.h"

namespace grenfel {

// Exit codes.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,   // a command-line check failed
  kExitFailed = 2,  // a file could not be read or rewritten; nothing lost
  kExitNoMemory = 255,
};

// Seconds between two readings of the local time of day. A run that passes
// midnight would give a negative difference; a day is added then.
double RunSeconds(double startSeconds, double endSeconds);

int RunDriver(std::string_view commandTail, FileSystem* fs);

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_DRIVER_H_
