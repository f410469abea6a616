// The long options of the command tail: whole blank-separated words that are
// exactly "--dry-run" or "--report=FILE". They are taken out of the tail
// before the short options are searched, so that a report name holding "/g"
// or "?" asks for nothing; any other word stays where it is.
#ifndef GRENFEL_DRIVER_LONG_OPTIONS_H_
#define GRENFEL_DRIVER_LONG_OPTIONS_H_

#include <string>
#include <string_view>

namespace grenfel {

struct LongOptions {
  bool dryRun = false;
  bool reportGiven = false;
  std::string reportName;  // may be empty ("--report=" alone): refused later
  // "--report=" stood more than once: refused later.
  bool reportRepeated = false;
};

// Takes the long options out of `tail`: each such word goes with the blanks
// that follow it, and when any went, the rest is trimmed of blanks at both
// ends, as the short options leave it. A tail without long options is
// returned unchanged, trailing blanks and all.
std::string TakeLongOptions(std::string_view tail, LongOptions* options);

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_LONG_OPTIONS_H_
