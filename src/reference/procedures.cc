// The literal procedures of the text and grouping rules; see procedures.h.
#include "reference/procedures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "services/text.h"

namespace grenfel {

int CompareText(std::string_view a, std::string_view b) {
  size_t shorter = std::min(a.size(), b.size());
  if (shorter != 0) {
    // memcmp compares as unsigned bytes and stops at the first difference.
    int r = std::memcmp(a.data(), b.data(), shorter);
    if (r != 0) return r < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string_view RightText(std::string_view text, int64_t count) {
  if (count <= 0) return {};
  if (static_cast<uint64_t>(count) >= text.size()) return text;
  return text.substr(text.size() - static_cast<size_t>(count));
}

int64_t CountText(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  int64_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

void InsertText(std::vector<std::string>& array, size_t index, std::string text) {
  if (index >= array.size()) return;
  std::move_backward(array.begin() + static_cast<ptrdiff_t>(index), array.end() - 1, array.end());
  array[index] = std::move(text);
}

namespace {

std::string TwoDigits(int value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

std::string ClockText() {
  int seconds = static_cast<int>(std::floor(SecondsOfDay()));
  return TwoDigits(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + ":" +
         TwoDigits(seconds % 60);
}

void SortTexts(std::vector<std::string>& array, bool descending, bool fold) {
  // Descending puts the larger first; ascending is the same walk with every
  // comparison turned round.
  auto compare = [descending, fold](const std::string& a, const std::string& b) {
    int order = fold ? CompareFolded(a, b) : CompareText(a, b);
    return descending ? order : -order;
  };
  PlainQuickSortDescending(array, compare);
}

std::string ToggleDomainKey(std::string_view text) {
  if (size_t zero = text.find('\0'); zero != std::string_view::npos) {
    std::string address(text.substr(zero + 1));
    address += '@';
    address += text.substr(0, zero);
    return address;
  }
  if (size_t at = text.find('@'); at != std::string_view::npos) {
    std::string key = LowerCase(text.substr(at + 1));
    key += '\0';
    key += text.substr(0, at);
    return key;
  }
  return std::string(text);
}

}  // namespace grenfel
