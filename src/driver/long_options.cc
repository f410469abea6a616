// Takes the long options out of the command tail, word by word, keeping
// the blanks of every word that stays.
#include "driver/long_options.h"

#include "services/text.h"

namespace grenfel {

std::string TakeLongOptions(std::string_view tail, LongOptions* options) {
  constexpr std::string_view kDryRun = "--dry-run";
  constexpr std::string_view kReport = "--report=";
  std::string rest;
  bool taken = false;
  size_t pos = 0;
  while (pos < tail.size()) {
    if (tail[pos] == ' ') {
      rest += ' ';
      ++pos;
      continue;
    }
    size_t end = tail.find(' ', pos);
    if (end == std::string_view::npos) end = tail.size();
    std::string_view word = tail.substr(pos, end - pos);
    bool isLong = true;
    if (word == kDryRun) {
      options->dryRun = true;
    } else if (word.substr(0, kReport.size()) == kReport) {
      if (options->reportGiven) options->reportRepeated = true;
      options->reportGiven = true;
      options->reportName = std::string(word.substr(kReport.size()));
    } else {
      isLong = false;
      rest += word;
    }
    pos = end;
    if (isLong) {
      taken = true;
      while (pos < tail.size() && tail[pos] == ' ') ++pos;
    }
  }
  return taken ? std::string(TrimBlanks(rest)) : std::string(tail);
}

}  // namespace grenfel
