// Text rules every part of grenfel relies on: byte-wise comparison, the fixed
// case tables, cutting and searching with 1-based positions, numbers to text
// and back, the clock, and the array quicksort whose treatment of equal keys
// decides the order of records that differ only in letter case.
//
// Text is bytes. Nothing here looks at the locale.
#ifndef GRENFEL_SERVICES_TEXT_H_
#define GRENFEL_SERVICES_TEXT_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace grenfel {

// The case tables: a to z with A to Z, and seven letter pairs of code page
// 437 (0x84/0x8E, 0x94/0x99, 0x81/0x9A, 0x82/0x90, 0xA4/0xA5, 0x86/0x8F,
// 0x87/0x80). Every other byte maps to itself.
extern const unsigned char kUpperTable[256];
extern const unsigned char kLowerTable[256];
// The sort fold: only a to z become A to Z.
extern const unsigned char kFoldTable[256];

inline unsigned char UpperByte(unsigned char c) { return kUpperTable[c]; }
inline unsigned char LowerByte(unsigned char c) { return kLowerTable[c]; }
inline unsigned char FoldByte(unsigned char c) { return kFoldTable[c]; }

// Byte-wise, unsigned, shorter-is-smaller. Returns <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);
// The same after mapping both sides through kFoldTable.
int CompareFolded(std::string_view a, std::string_view b);

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// True when UpperCase(a) == UpperCase(b), without building either.
bool EqualUpper(std::string_view a, std::string_view b);

// 1-based cutting. A start of 0 or beyond the length gives "", a negative
// start counts from the end (-1 is the last byte); a count past the rest
// gives the rest.
std::string_view MidText(std::string_view text, int64_t start, int64_t count = INT32_MAX);
std::string_view LeftText(std::string_view text, int64_t count);
std::string_view RightText(std::string_view text, int64_t count);

// Position (1-based) of needle at or after start, 0 when absent. A start of
// -k searches from the end within the first length-k+1 bytes: -1 finds the
// last occurrence.
int64_t FindText(int64_t start, std::string_view haystack, std::string_view needle);
// Non-overlapping occurrences, scanning from the left; an empty needle counts 0.
int64_t CountText(std::string_view haystack, std::string_view needle);

// Removes byte 0x20 only, at both ends.
std::string_view TrimBlanks(std::string_view text);
// Removes every leading, then every trailing, repetition of piece.
std::string_view StripRepeats(std::string_view text, std::string_view piece);

// Moves elements index..size-2 up one place, drops the last, stores text at
// index. The size does not change. An index outside the array does nothing.
void InsertText(std::vector<std::string>& array, size_t index, std::string text);

// Decimal text of a value rounded to 15 significant digits; no leading zero
// before a fraction point, exponent form beyond 15 integer digits.
std::string NumberText(double value);
// Masks in use: "0," (thousands), "0.0" (one decimal), "00000000" (zero
// padded to eight digits). Rounds the value's true decimal expansion, ties
// to even: 0.15 gives "0.1", 2.25 gives "2.2", 2.75 gives "2.8".
std::string FormatNumber(double value, std::string_view mask);
// Leading blanks, tabs and LFs skipped; sign, digits, fraction, exponent
// (E, e, D or d, capped at 9999); "&H", "&B", "&O"/"&Q" bases. Reads as far
// as it can; no digits give 0.
double TextNumber(std::string_view text);

// Local time of day as "hh:mm:ss".
std::string ClockText();
// Local seconds since midnight, with milliseconds.
double SecondsOfDay();
// The last digit of the local clock's seconds: cheap enough to ask once per
// record when deciding whether to refresh a progress title.
char ClockSecondDigit();

// The array quicksort. The order it gives to keys that compare equal is part
// of the output, so the steps are fixed: the pivot is a copy of the middle
// element, i and j move while strictly before/after it, elements are swapped
// and both indices step on. `compare(a, b)` returns <0, 0 or >0.
//
// After a partition the two parts are independent: whichever is sorted
// first, and on whichever thread, the array ends the same.

// One partition of items[lo..hi] (lo < hi); items[lo..*j] and items[*i..hi]
// are left to sort.
template <typename T, typename Compare>
void PartitionDescending(T* items, int64_t lo, int64_t hi, Compare& compare, int64_t* j_out,
                         int64_t* i_out) {
  const T pivot = items[lo + (hi - lo) / 2];
  int64_t i = lo, j = hi;
  while (i <= j) {
    while (compare(items[i], pivot) > 0 && i < hi) ++i;
    while (compare(pivot, items[j]) > 0 && j > lo) --j;
    if (i > j) break;
    if (i < j) std::swap(items[i], items[j]);
    ++i;
    --j;
  }
  *j_out = j;
  *i_out = i;
}

// Sorts items[lo..hi]. The smaller part of each partition is sorted first
// and the larger deferred, which keeps the list of deferred parts short.
template <typename T, typename Compare>
void QuickSortRangeDescending(T* items, int64_t lo, int64_t hi, Compare& compare) {
  struct Range {
    int64_t lo, hi;
  };
  std::vector<Range> pending;
  if (lo < hi) pending.push_back({lo, hi});
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    for (;;) {
      int64_t j, i;
      PartitionDescending(items, r.lo, r.hi, compare, &j, &i);
      bool left = r.lo < j, right = i < r.hi;
      if (left && right) {
        if (j - r.lo < r.hi - i) {
          pending.push_back({i, r.hi});
          r = {r.lo, j};
        } else {
          pending.push_back({r.lo, j});
          r = {i, r.hi};
        }
      } else if (left) {
        r = {r.lo, j};
      } else if (right) {
        r = {i, r.hi};
      } else {
        break;
      }
    }
  }
}

template <typename T, typename Compare>
void QuickSortDescending(T* items, int64_t count, Compare compare) {
  QuickSortRangeDescending(items, 0, count - 1, compare);
}

// The same sort, with the parts of large partitions handed to a second
// thread: same order, about half the wall time on two cores. Falls back to
// one thread when none can be started.
template <typename T, typename Compare>
void QuickSortDescendingOnTwoThreads(T* items, int64_t count, Compare compare) {
  // Below this a thread costs more than it saves.
  constexpr int64_t kParallelMinimum = 1 << 16;
  if (count < kParallelMinimum) {
    QuickSortDescending(items, count, compare);
    return;
  }
  struct Range {
    int64_t lo, hi;
  };
  // Parts larger than a grain are shared out; smaller ones are sorted by the
  // thread that made them. The shared parts never overlap and are each
  // larger than a grain, so the list never needs more room than reserved.
  const int64_t grain = std::max<int64_t>(count / 64, kParallelMinimum / 4);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Range> shared;
  shared.reserve(static_cast<size_t>(count / grain + 2));
  shared.push_back({0, count - 1});
  int busy = 0;
  bool failed = false;

  auto work = [&] {
    for (;;) {
      Range r;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !shared.empty() || busy == 0 || failed; });
        if (shared.empty() || failed) return;
        r = shared.back();
        shared.pop_back();
        ++busy;
      }
      // Done with this part, sorted or not (an exception): the other
      // thread must not wait for it.
      struct Done {
        std::mutex& mutex;
        std::condition_variable& changed;
        int& busy;
        ~Done() {
          {
            std::lock_guard<std::mutex> lock(mutex);
            --busy;
          }
          changed.notify_all();
        }
      } done{mutex, changed, busy};
      while (r.hi - r.lo + 1 > grain) {
        int64_t j, i;
        PartitionDescending(items, r.lo, r.hi, compare, &j, &i);
        Range left{r.lo, j}, right{i, r.hi};
        Range& smaller = j - r.lo < r.hi - i ? left : right;
        Range& larger = j - r.lo < r.hi - i ? right : left;
        if (smaller.hi - smaller.lo + 1 > grain) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            shared.push_back(smaller);
          }
          changed.notify_one();
        } else {
          QuickSortRangeDescending(items, smaller.lo, smaller.hi, compare);
        }
        r = larger;
      }
      QuickSortRangeDescending(items, r.lo, r.hi, compare);
    }
  };
  // A failure (out of memory) on either thread stops both and is thrown
  // again here.
  auto fail = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      failed = true;
    }
    changed.notify_all();
  };

  std::exception_ptr helperFailure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        work();
      } catch (...) {
        helperFailure = std::current_exception();
        fail();
      }
    });
  } catch (const std::system_error&) {
    // No second thread: this one does all the work.
  }
  try {
    work();
  } catch (...) {
    fail();
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

// Sorts the whole array, index 0 included, descending; with `fold`, keys
// compare through kFoldTable.
void SortTexts(std::vector<std::string>& array, bool descending, bool fold);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_TEXT_H_
