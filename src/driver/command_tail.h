// The reading of the command tail: the short options "/B=", "/ND" and "/G"
// taken out of it, and the list and include names split from what is left.
// Works on the text alone; no file is looked at.
#ifndef GRENFEL_DRIVER_COMMAND_TAIL_H_
#define GRENFEL_DRIVER_COMMAND_TAIL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/long_options.h"

namespace grenfel {

// The session size of "/G" without a usable number.
constexpr int32_t kDefaultSessionSize = 10;

// The settings of one run, taken from the command tail.
struct RunOptions {
  std::string listName;
  std::string includeName;  // empty when none
  std::string excludeName;  // empty when /B= was not given
  bool removeDuplicates = false;
  // 0: no grouping; -1: /G without a usable number; else the session size.
  int32_t sessionSize = 0;
};

enum class ShortOption { kExclude, kRemoveDuplicates, kGrouping };

// An option found inside a word of the tail, glued to other characters (the
// "/g" of "lists/good.lst"): a name that then does not exist is explained by
// it.
struct OptionInsideWord {
  std::string taken;        // the characters cut out of the tail, as typed
  std::string word;         // the blank-separated word they stood in
  ShortOption option;       // what they were taken as
  std::string excludeName;  // for "/B=": the name it took
  int32_t sessionSize = 0;  // for "/G": the session size it stands for
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

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_COMMAND_TAIL_H_
