// Feeds arbitrary command tails to the option parser: it must never crash,
// and the list name it leaves never holds a blank.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "driver/command_tail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view tail(reinterpret_cast<const char*>(data), size);
  grenfel::ParsedTail parsed = grenfel::ParseCommandTail(tail);
  if (parsed.showUsage || parsed.showVersion) return 0;
  const grenfel::RunOptions& options = parsed.options;
  // The list name is cut at the first blank and never holds one.
  if (options.listName.find(' ') != std::string::npos) abort();
  return 0;
}
