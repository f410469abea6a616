// The literal procedures of the text and grouping rules, written as plainly
// as they are stated. The program does not call them: they are kept, linked
// only into the tests, as the oracle against which the fast paths (the
// sorts, the grouping) are checked on random input.
#ifndef GRENFEL_REFERENCE_PROCEDURES_H_
#define GRENFEL_REFERENCE_PROCEDURES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace grenfel {

// Byte-wise, unsigned, shorter-is-smaller. Returns <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);

// The last `count` bytes; all of the text when it is shorter.
std::string_view RightText(std::string_view text, int64_t count);

// Non-overlapping occurrences, scanning from the left; an empty needle counts 0.
int64_t CountText(std::string_view haystack, std::string_view needle);

// Moves elements index..size-2 up one place, drops the last, stores text at
// index. The size does not change. An index outside the array does nothing.
void InsertText(std::vector<std::string>& array, size_t index, std::string text);

// Local time of day as "hh:mm:ss".
std::string ClockText();

// The array quicksort as written, on any array: the pivot is a copy of the
// middle element, i and j move while strictly before/after it (`compare`
// above 0 means "comes first"), elements are swapped and both indices step
// on, then the part up to j and the part from i are sorted. The parts wait
// on a list of their own rather than on the call stack, which a lopsided
// order would fill; the order of the walk is the same.
template <typename T, typename Compare>
void PlainQuickSortDescending(std::vector<T>& array, Compare compare) {
  struct Range {
    int64_t lo, hi;
  };
  std::vector<Range> pending;
  if (array.size() > 1) pending.push_back({0, static_cast<int64_t>(array.size()) - 1});
  while (!pending.empty()) {
    const Range r = pending.back();
    pending.pop_back();
    const T pivot = array[static_cast<size_t>(r.lo + (r.hi - r.lo) / 2)];
    int64_t i = r.lo, j = r.hi;
    while (i <= j) {
      while (compare(array[static_cast<size_t>(i)], pivot) > 0 && i < r.hi) ++i;
      while (compare(pivot, array[static_cast<size_t>(j)]) > 0 && j > r.lo) --j;
      if (i > j) break;
      if (i < j) std::swap(array[static_cast<size_t>(i)], array[static_cast<size_t>(j)]);
      ++i;
      --j;
    }
    // Last in, first out: the part up to j is sorted first.
    if (i < r.hi) pending.push_back({i, r.hi});
    if (r.lo < j) pending.push_back({r.lo, j});
  }
}

// The array quicksort on texts: sorts the whole array, index 0 included
// (descending when asked); with `fold`, keys compare through kFoldTable. It
// takes time in the square of the length on some orders.
void SortTexts(std::vector<std::string>& array, bool descending, bool fold);

// "user@Example.COM" gives "example.com" 0x00 "user" and back; a text
// without "@" (or 0x00) is returned unchanged.
std::string ToggleDomainKey(std::string_view text);

}  // namespace grenfel

#endif  // GRENFEL_REFERENCE_PROCEDURES_H_
