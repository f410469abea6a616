// The command tail cut from a whole command line; see command_line.h.
#include "services/command_line.h"

namespace grenfel {

std::string CommandTailFromLine(std::string_view commandLine) {
  size_t pos = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    size_t closing = commandLine.find('"', 1);
    if (closing == std::string_view::npos) return {};
    pos = closing + 1;
  } else {
    while (pos < commandLine.size() && static_cast<unsigned char>(commandLine[pos]) > 0x20) ++pos;
  }
  while (pos < commandLine.size() && commandLine[pos] == ' ') ++pos;
  return std::string(commandLine.substr(pos));
}

}  // namespace grenfel
