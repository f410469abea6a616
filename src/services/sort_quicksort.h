// The templates of the array quicksort that sort.h declares: the partition,
// the parts it leaves, and the sort on one or on two threads.
#ifndef GRENFEL_SERVICES_SORT_QUICKSORT_H_
#define GRENFEL_SERVICES_SORT_QUICKSORT_H_

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "services/sort.h"
#include "services/two_threads.h"

namespace grenfel {

// ---- The array quicksort, on any items ----
//
// The pivot is a copy of the middle element; i and j move while strictly
// before/after it; elements are swapped and both indices step on. After a
// partition the two parts are independent: whichever is sorted first, and
// on whichever thread, the array ends the same. `compare(a, b)` returns <0,
// 0 or >0. These take time in the square of the length on some orders;
// large lists go through RankedDescendingOrder instead.

namespace sort_detail {

// The partition's scans in blocks, for long ranges: where each scan stops
// is found for a block of kScanBlock items at once, with no branch on what
// the items hold, and the stops are then swapped pair by pair. Up to the
// point where the blocks of the two scans would meet, these are the stops
// and swaps of the plain scans: what either scan passes has not been
// swapped yet. Returns, in *i and *j, where the plain scans would stand
// then; they finish the partition.
inline constexpr int kScanBlock = 128;

template <typename T, typename Compare>
void ScanInBlocks(T* items, const T& pivot, Compare& compare, int64_t* iInOut, int64_t* jInOut) {
  // Unscanned: [left, right]. Stops found and not yet swapped: offsets
  // from their block's first (left) or last (right) item.
  int64_t left = *iInOut, right = *jInOut;
  int64_t leftBase = 0, rightBase = 0;
  unsigned char leftStops[kScanBlock], rightStops[kScanBlock];
  int leftAt = 0, leftCount = 0, rightAt = 0, rightCount = 0;
  for (;;) {
    if (leftAt == leftCount) {
      // Both blocks must fit in what is unscanned.
      if (right - left + 1 < (rightAt == rightCount ? 2 : 1) * kScanBlock) break;
      leftBase = left;
      leftAt = leftCount = 0;
      for (int t = 0; t < kScanBlock; ++t) {
        leftStops[leftCount] = static_cast<unsigned char>(t);
        leftCount += !(compare(items[left + t], pivot) > 0);
      }
      left += kScanBlock;
    }
    if (rightAt == rightCount) {
      if (right - left + 1 < kScanBlock) break;
      rightBase = right;
      rightAt = rightCount = 0;
      for (int t = 0; t < kScanBlock; ++t) {
        rightStops[rightCount] = static_cast<unsigned char>(t);
        rightCount += !(compare(pivot, items[right - t]) > 0);
      }
      right -= kScanBlock;
    }
    const int pairs = std::min(leftCount - leftAt, rightCount - rightAt);
    for (int p = 0; p < pairs; ++p) {
      std::swap(items[leftBase + leftStops[leftAt + p]],
                items[rightBase - rightStops[rightAt + p]]);
    }
    leftAt += pairs;
    rightAt += pairs;
  }
  *iInOut = leftAt < leftCount ? leftBase + leftStops[leftAt] : left;
  *jInOut = rightAt < rightCount ? rightBase - rightStops[rightAt] : right;
}

}  // namespace sort_detail

// One partition of items[lo..hi] (lo < hi); items[lo..*j] and items[*i..hi]
// are left to sort.
template <typename T, typename Compare>
void PartitionDescending(T* items, int64_t lo, int64_t hi, Compare& compare, int64_t* jOut,
                         int64_t* iOut) {
  const T pivot = items[lo + (hi - lo) / 2];
  int64_t i = lo, j = hi;
  if (hi - lo + 1 >= 4 * sort_detail::kScanBlock) {
    sort_detail::ScanInBlocks(items, pivot, compare, &i, &j);
  }
  while (i <= j) {
    while (compare(items[i], pivot) > 0 && i < hi) ++i;
    while (compare(pivot, items[j]) > 0 && j > lo) --j;
    if (i > j) break;
    if (i < j) std::swap(items[i], items[j]);
    ++i;
    --j;
  }
  *jOut = j;
  *iOut = i;
}

namespace sort_detail {

// Parts of up to this many items are sorted by QuickSortShortDescending.
inline constexpr int64_t kShortPart = 64;

// The quicksort of a short part: the same partitions, the smaller part
// sorted first by recursion (at most six deep), and none of the
// bookkeeping of long parts, which would cost more than the partitions.
// Short parts are never watched for lopsided partitions.
// partition(lo, hi, &j, &i) is one partition of items[lo..hi], lo < hi.
template <typename T, typename Compare, typename Partition>
void QuickSortShortDescending(T* items, int64_t lo, int64_t hi, Compare& compare,
                              Partition& partition) {
  while (lo < hi) {
    if (hi == lo + 1) {
      // The first item is the pivot: the two change places unless the
      // second comes after it.
      if (!(compare(items[lo], items[hi]) > 0)) std::swap(items[lo], items[hi]);
      return;
    }
    int64_t j, i;
    partition(lo, hi, &j, &i);
    if (j - lo < hi - i) {
      QuickSortShortDescending(items, lo, j, compare, partition);
      lo = i;
    } else {
      QuickSortShortDescending(items, i, hi, compare, partition);
      hi = j;
    }
  }
}

// A part of the array still to sort, with the number of lopsided
// partitions in a row that led to it.
struct Part {
  int64_t lo, hi;
  int lopsided;
};

// A partition of a part of at least kWatchedLength items is lopsided when
// its smaller part holds less than a kLopsidedShare-th of them; after
// kLopsidedInARow such partitions the larger part is sorted another way.
// Random input meets three in a row about once in 40,000 parts.
inline constexpr int64_t kWatchedLength = 1 << 12;
inline constexpr int64_t kLopsidedShare = 64;
inline constexpr int kLopsidedInARow = 3;

// The two parts a partition of r leaves, the smaller first; a part that is
// not to be sorted (lo >= hi) comes out empty. The larger carries on the
// count of lopsided partitions.
inline void SplitParts(const Part& r, int64_t j, int64_t i, Part* smaller, Part* larger) {
  Part left{r.lo, j, 0}, right{i, r.hi, 0};
  int64_t leftLength = std::max<int64_t>(j - r.lo + 1, 0);
  int64_t rightLength = std::max<int64_t>(r.hi - i + 1, 0);
  bool leftSmaller = leftLength < rightLength;
  *smaller = leftSmaller ? left : right;
  *larger = leftSmaller ? right : left;
  int64_t length = r.hi - r.lo + 1;
  if (length >= kWatchedLength && std::min(leftLength, rightLength) < length / kLopsidedShare) {
    larger->lopsided = r.lopsided + 1;
  }
}

}  // namespace sort_detail

// Sorts items[lo..hi]. The larger part of each partition waits and the
// smaller is sorted first, which keeps the list of waiting parts short.
// Where partitions come out lopsided, sortLopsided(lo, hi) may sort the
// part in the same order by other means (SortPartThroughRanks) and return
// true; returning false carries on here.
template <typename T, typename Compare, typename SortLopsided = sort_detail::NoOtherSort>
void QuickSortRangeDescending(T* items, int64_t lo, int64_t hi, Compare& compare,
                              SortLopsided sortLopsided = {}) {
  using sort_detail::Part;
  auto partition = [items, &compare](int64_t from, int64_t to, int64_t* j, int64_t* i) {
    PartitionDescending(items, from, to, compare, j, i);
  };
  std::vector<Part> pending;
  if (lo < hi) pending.push_back({lo, hi, 0});
  while (!pending.empty()) {
    Part r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
      if (r.hi - r.lo < sort_detail::kShortPart) {
        sort_detail::QuickSortShortDescending(items, r.lo, r.hi, compare, partition);
        break;
      }
      if (r.lopsided == sort_detail::kLopsidedInARow && sortLopsided(r.lo, r.hi)) break;
      int64_t j, i;
      PartitionDescending(items, r.lo, r.hi, compare, &j, &i);
      Part smaller, larger;
      sort_detail::SplitParts(r, j, i, &smaller, &larger);
      if (larger.lo < larger.hi) pending.push_back(larger);
      r = smaller;
    }
  }
}

// Parts larger than a grain are shared out, each partition's smaller part
// first; see sort.h.
template <typename T, typename Compare, typename SortLopsided>
void QuickSortDescendingOnTwoThreads(T* items, int64_t count, Compare compare,
                                     SortLopsided sortLopsided) {
  using sort_detail::Part;
  if (count < static_cast<int64_t>(kTwoThreadMinimum)) {
    QuickSortRangeDescending(items, 0, count - 1, compare, sortLopsided);
    return;
  }
  // Parts larger than a grain are shared out; smaller ones are sorted by the
  // thread that made them.
  const int64_t grain = std::max<int64_t>(count / 64, kTwoThreadMinimum / 4);
  ShareTasksOnTwoThreads(Part{0, count - 1, 0}, [&](Part r, auto& share) {
    while (r.hi - r.lo + 1 > grain) {
      if (r.lopsided == sort_detail::kLopsidedInARow && sortLopsided(r.lo, r.hi)) return;
      int64_t j, i;
      PartitionDescending(items, r.lo, r.hi, compare, &j, &i);
      Part smaller, larger;
      sort_detail::SplitParts(r, j, i, &smaller, &larger);
      if (smaller.hi - smaller.lo + 1 > grain) {
        share(smaller);
      } else {
        QuickSortRangeDescending(items, smaller.lo, smaller.hi, compare, sortLopsided);
      }
      r = larger;
    }
    // The count of lopsided partitions starts again here: a lopsided part
    // at most a grain long still finds its way to sortLopsided.
    QuickSortRangeDescending(items, r.lo, r.hi, compare, sortLopsided);
  });
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_SORT_QUICKSORT_H_
