// The reading of the command tail: each short option is searched in any
// letter case, cut out with what belongs to it, and the rest is split into
// the two names.
#include "driver/command_tail.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "services/text.h"

namespace grenfel {
namespace {

// Session sizes from this value on do not fit a signed 32-bit count.
constexpr double kSessionSizeLimit = 2147483648.0;

size_t LeadingBlanks(std::string_view text) {
  size_t count = 0;
  while (count < text.size() && text[count] == ' ') ++count;
  return count;
}

// The tail without its characters from position `from` up to (not
// including) position `to`, blanks trimmed at both ends. Positions count
// from 1.
std::string CutAndTrim(std::string_view tail, int64_t from, int64_t to) {
  std::string joined(LeftText(tail, from - 1));
  joined += MidText(tail, to);
  return std::string(TrimBlanks(joined));
}

// Where an option starts in the tail, 0 when absent. The search runs on an
// upper-cased copy, which keeps every position, so options may be typed in
// either case.
int64_t FindOption(const std::string& tail, std::string_view option) {
  return FindText(1, UpperCase(tail), option);
}

// Notes the option `noted` (what it was taken as) when its cut, from
// position `from` up to `to`, has other characters right before or after it
// in the tail.
void NoteIfInsideWord(const std::string& tail, int64_t from, int64_t to, OptionInsideWord noted,
                      ParsedTail& parsed) {
  size_t begin = static_cast<size_t>(from - 1);
  size_t end = std::min(static_cast<size_t>(to - 1), tail.size());
  bool gluedBefore = begin > 0 && tail[begin - 1] != ' ';
  bool gluedAfter = end < tail.size() && tail[end] != ' ';
  if (!gluedBefore && !gluedAfter) return;
  size_t wordStart = tail.rfind(' ', begin);
  wordStart = wordStart == std::string::npos || begin == 0 ? 0 : wordStart + 1;
  size_t wordEnd = std::min(tail.find(' ', end), tail.size());
  noted.taken = std::string(TrimBlanks(std::string_view(tail).substr(begin, end - begin)));
  noted.word = tail.substr(wordStart, wordEnd - wordStart);
  parsed.optionsInsideWords.push_back(std::move(noted));
}

void TakeExcludeOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/B=");
  if (at == 0) return;
  parsed.excludeGiven = true;
  std::string_view after = MidText(tail, at + 3);
  std::string_view rest = TrimBlanks(after);
  std::string_view taken;
  if (!rest.empty() && rest.front() == '"') {
    // A quoted name may hold blanks; without its closing quote it is empty.
    int64_t closing = FindText(2, rest, "\"");
    taken = closing > 0 ? LeftText(rest, closing) : std::string_view();
  } else {
    int64_t blank = FindText(1, rest, " ");
    taken = blank > 0 ? LeftText(rest, blank - 1) : rest;
  }
  // The blanks between "/B=" and the name go with the cut: leaving them in
  // the count would leave the name's last characters behind in the tail.
  int64_t end = at + 3 + static_cast<int64_t>(LeadingBlanks(after) + taken.size());
  parsed.options.excludeName = std::string(StripRepeats(taken, "\""));
  OptionInsideWord noted{};
  noted.option = ShortOption::kExclude;
  noted.excludeName = parsed.options.excludeName;
  NoteIfInsideWord(tail, at, end, std::move(noted), parsed);
  tail = CutAndTrim(tail, at, end);
}

void TakeDuplicatesOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/ND");
  if (at == 0) return;
  parsed.options.removeDuplicates = true;
  OptionInsideWord noted{};
  noted.option = ShortOption::kRemoveDuplicates;
  NoteIfInsideWord(tail, at, at + 3, std::move(noted), parsed);
  tail = CutAndTrim(tail, at, at + 3);
}

void TakeGroupingOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/G");
  if (at == 0) return;
  double value = TextNumber(MidText(tail, at + 2));
  OptionInsideWord noted{};
  noted.option = ShortOption::kGrouping;
  noted.sessionSize = kDefaultSessionSize;
  // Without a usable number only "/G" goes, and whatever followed it stays.
  int64_t end = at + 2;
  parsed.options.sessionSize = -1;
  if (value > 0) {
    double whole = std::floor(value);
    // Too large to count sessions with: the default size applies instead.
    if (whole < kSessionSizeLimit) parsed.options.sessionSize = static_cast<int32_t>(whole);
    // A number below 1 asks for no grouping; the hint names the default.
    if (parsed.options.sessionSize > 0) noted.sessionSize = parsed.options.sessionSize;
    // The number and anything glued to it go, up to the next blank.
    end = FindText(at + 2, tail + " ", " ");
  }
  NoteIfInsideWord(tail, at, end, std::move(noted), parsed);
  tail = CutAndTrim(tail, at, end);
}

void SplitNames(const std::string& tail, RunOptions& options) {
  int64_t blank = FindText(1, tail, " ");
  if (blank == 0) {
    options.listName = tail;
    return;
  }
  // Only the leading blanks of the include name go: a trailing one stays
  // and fails the blank check.
  std::string_view rest = MidText(tail, blank);
  rest.remove_prefix(LeadingBlanks(rest));
  options.includeName = std::string(rest);
  options.listName = std::string(LeftText(tail, blank - 1));
}

}  // namespace

ParsedTail ParseCommandTail(std::string_view wholeTail) {
  ParsedTail parsed;
  const std::string restOfTail = TakeLongOptions(wholeTail, &parsed.longOptions);
  const std::string_view commandTail = restOfTail;
  if (commandTail == "--version") {
    parsed.showVersion = true;
    return parsed;
  }
  if (commandTail.empty() || commandTail.find('?') != std::string_view::npos ||
      commandTail == "--help" || commandTail == "-h") {
    parsed.showUsage = true;
    return parsed;
  }
  std::string tail(commandTail);
  TakeExcludeOption(tail, parsed);
  TakeDuplicatesOption(tail, parsed);
  TakeGroupingOption(tail, parsed);
  SplitNames(tail, parsed.options);
  return parsed;
}

}  // namespace grenfel
