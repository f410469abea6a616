// The checks that refuse a run before it starts: names this system cannot
// use, files that are not there, an include name with a blank, named files
// that are one file or a companion of another, an unusable report name.
#ifndef GRENFEL_DRIVER_REFUSALS_H_
#define GRENFEL_DRIVER_REFUSALS_H_

#include <optional>

#include "driver/command_tail.h"
#include "services/fileio.h"

namespace grenfel {

// Makes the checks in their fixed order. The first that fails prints its
// lines (and, for a name not found, the hints on standard error) and gives
// the run's exit code; nullopt when the run may start. Nothing is changed.
std::optional<int> RefuseBeforeRun(FileSystem* fs, const ParsedTail& parsed);

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_REFUSALS_H_
