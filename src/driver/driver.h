// The program's one entry after start-up: banner, usage, the options of the
// command tail, the checks of the named files, then one run of the list
// processing and, when asked, the grouping. Returns the exit code.
#ifndef GRENFEL_DRIVER_DRIVER_H_
#define GRENFEL_DRIVER_DRIVER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/long_options.h"
#include "services/fileio.h"

namespace grenfel {

// Exit codes.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,   // a command-line check failed
  kExitFailed = 2,  // a file could not be read or rewritten; nothing lost
  kExitNoMemory = 255,
};

// The settings of one run, taken from the command tail.
struct RunOptions {
  std::string listName;
  std::string includeName;  // empty when none
  std::string excludeName;  // empty when /B= was not given
  bool removeDuplicates = false;
  // 0: no grouping; -1: /G without a usable number; else the session size.
  int32_t sessionSize = 0;
};

// An option found inside a word of the tail, glued to other characters (the
// "/g" of "lists/good.lst"): a name that then does not exist is explained by
// it.
struct OptionInsideWord {
  std::string taken;   // the characters cut out of the tail, as typed
  std::string word;    // the blank-separated word they stood in
  std::string option;  // what they were taken as, such as "/G (sessions of 10)"
};

// What the command tail asks for, worked out from the text alone: no file is
// looked at, so the checks that follow can report in their fixed order.
struct ParsedTail {
  // The tail is empty, holds "?" anywhere, or is exactly "--help" or "-h":
  // show the usage text.
  bool showUsage = false;
  // The tail is exactly "--version": the banner line and the package version.
  bool showVersion = false;
  // "/B=" was found. The exclude name may still be empty (an opening quote
  // without a closing one), and the run must then stop on it.
  bool excludeGiven = false;
  RunOptions options;
  std::vector<OptionInsideWord> optionsInsideWords;
  // "--dry-run" and "--report=FILE", taken out before everything else.
  LongOptions longOptions;
};

// Takes "/B=", "/ND" and "/G" out of the tail, in that order, each from the
// first place it stands in any letter case, then splits what is left into
// the list name and the include name at the first blank.
ParsedTail ParseCommandTail(std::string_view commandTail);

// Seconds between two readings of the local time of day. A run that passes
// midnight would give a negative difference; a day is added then.
double RunSeconds(double startSeconds, double endSeconds);

int RunDriver(std::string_view commandTail, FileSystem* fs);

// The existence test for a named file, as the driver and the list
// processing use it.
bool FileExists(FileSystem* fs, const std::string& name);

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_DRIVER_H_
