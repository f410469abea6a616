// The command tail: what follows the program name on the command line the
// process was started with. Windows hands a program its command line as one
// text; this is the rule that cuts the program name off it. It is pure, so
// it is built and tested on every platform.
#ifndef GRENFEL_SERVICES_COMMAND_LINE_H_
#define GRENFEL_SERVICES_COMMAND_LINE_H_

#include <string>
#include <string_view>

namespace grenfel {

// The program name ends at the next double quote when the line begins with
// one (a line that opens a quote and never closes it is all program name, so
// the tail is empty); otherwise at the first byte of 0x20 or below (a blank,
// a tab, the end). Blanks (0x20 only) after it are skipped; the rest is the
// tail, trailing blanks included, so a tab right after the name stays as the
// tail's first byte.
std::string CommandTailFromLine(std::string_view commandLine);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_COMMAND_LINE_H_
