// The sorts of grenfel. Lists come out in the order of one array quicksort
// whose treatment of equal keys is part of the output; that order is found
// here at the cost of a radix sort:
//
// - every item gets the rank of its key among the distinct keys, from an
//   MSD radix sort of its key words (RankedDescendingOrder);
// - the quicksort then runs on 8-byte items, rank << 32 | item index,
//   comparing ranks only (QuickSortRanksDescending). Its path depends only on
//   how items compare, so it gives the permutation it would give on the
//   texts. Where no two different texts share a key, any sort gives the same
//   bytes and the quicksort is not run at all;
// - where partitions come out lopsided (the quicksort's bad orders, such as
//   a sorted list followed by its reverse), its scans jump over blocks whose
//   smallest and largest rank show they hold no stop, so no order costs the
//   square of its length.
//
// This header states what callers use; the templates are defined in
// sort_quicksort.h, sort_ranking.h and sort_presorted.h, which it includes.
//
// Threads: every sort here may use this thread and one helper
// (ShareTasksOnTwoThreads, ForBothHalves) once it has kTwoThreadMinimum
// items, and then calls what the caller hands it (compare, keys,
// sortLopsided) from both threads at once: those must only read what nobody
// writes during the sort (RankPresorted's SetRank writes only what no
// comparison on the other thread reads), and sortLopsided only touch its
// own part.
// Without a helper thread all the work is done on this one. An exception
// from a caller's function on either thread is thrown again from the sort
// once both threads have stopped; the items are then in some order, every
// one still there.
#ifndef GRENFEL_SERVICES_SORT_H_
#define GRENFEL_SERVICES_SORT_H_

#include <cstddef>
#include <cstdint>

namespace grenfel {

// ---- The array quicksort, on any items ----

namespace sort_detail {

// A sortLopsided that never sorts a part another way.
struct NoOtherSort {
  bool operator()(int64_t, int64_t) const { return false; }
};

}  // namespace sort_detail

// Sorts items[0..count - 1] descending with the array quicksort: the pivot
// is a copy of the middle element; i and j move while strictly before/after
// it; elements are swapped and both indices step on. `compare(a, b)` returns
// <0, 0 or >0. Parts of large partitions go to the other thread: the same
// order, about half the wall time on two cores. Where partitions come out
// lopsided, sortLopsided(lo, hi) may sort items[lo..hi] in the same order by
// other means (SortPartThroughRanks) and return true; returning false
// carries on with the quicksort, which then takes time in the square of the
// part's length on some orders. sortLopsided is called on either thread,
// for parts that do not overlap.
template <typename T, typename Compare, typename SortLopsided = sort_detail::NoOtherSort>
void QuickSortDescendingOnTwoThreads(T* items, int64_t count, Compare compare,
                                     SortLopsided sortLopsided = {});

// ---- The quicksort on ranks ----

// rank << 32 | payload (an item index). Items compare by rank alone.
using RankedItem = uint64_t;
inline uint32_t RankOf(RankedItem item) { return static_cast<uint32_t>(item >> 32); }
inline uint32_t PayloadOf(RankedItem item) { return static_cast<uint32_t>(item); }
inline RankedItem MakeRankedItem(uint32_t rank, uint32_t payload) {
  return uint64_t{rank} << 32 | payload;
}

// How the partitions of QuickSortRanksDescending scan for their stops:
// item by item, cheapest where ranks mostly come in order (a list kept
// sorted: long stretches without a stop), or in blocks with no branch on
// the ranks, cheapest where they come scattered (a stop every few items).
// The permutation is the same.
enum class RankScans { kOneByOne, kInBlocks };

// The array quicksort, descending, on ranks: the permutation of the
// quicksort above with compare(a, b) = RankOf(a) - RankOf(b), on two
// threads for large arrays. Lopsided partitions switch their range to scans
// that jump; the permutation stays the same. Ranks are below 2^32 - 1.
void QuickSortRanksDescending(RankedItem* items, size_t count,
                              RankScans scans = RankScans::kOneByOne);

// ---- Ranking ----
//
// What RankedDescendingOrder needs to know of the items 0 to count - 1:
//
//   static constexpr int kWords;  // key words kept for the radix sort, >= 1
//   // Word `w` (< kWords) of the key of item `index`: a big-endian 64-bit
//   // number that orders as the key does where the words before it are
//   // equal (the 8 folded bytes from 8 * w on, zero padded, for a text).
//   // Equal words decide nothing.
//   uint64_t Word(uint32_t index, int w) const;
//   // The full key order, <0, 0 or >0.
//   int Compare(uint32_t a, uint32_t b) const;
//   // For items with equal keys: whether either may stand where the other
//   // stands without changing any output (the same text).
//   bool SameText(uint32_t a, uint32_t b) const;
//
// The calls may come from two threads at once.

// Item p of a RankedOrder, rank << 32 | index, names the item that ends at
// position p (sort_ranking.h).
class RankedOrder;

// The order in which the array quicksort, descending, leaves the items 0 to
// count - 1 (count below 2^32 - 1). Uses two threads for large arrays; an
// exception from `keys` (out of memory) is thrown again here. Holds 16 bytes
// an item.
template <typename Keys>
RankedOrder RankedDescendingOrder(size_t count, const Keys& keys);

// Sorts items[lo..hi] in the order the quicksort would give them, through
// ranks: what a lopsided part needs, as sortLopsided above. keys(first)
// gives the keys (as for RankedDescendingOrder) of the items first[0] to
// first[hi - lo]. False, having changed nothing, for a part of 2^32 - 1
// items or more. Holds 24 bytes an item and another copy of the part's items
// while it works.
template <typename T, typename MakeKeys>
bool SortPartThroughRanks(T* items, int64_t lo, int64_t hi, MakeKeys keys);

// ---- Spreading into bins ----
//
// The in-place step of the radix sorts here and of grouping's member sort.
// Bin b (binOf(item) < bins) takes the places start[b] to start[b] +
// count[b] - 1 of items[], one for each of its items; next[b] is its first
// place not yet filled (start[b] at first) and reaches start[b] + count[b]
// when every item is in its bin. The order within a bin is not kept.
template <typename T, typename Place, typename BinOf>
void SwapIntoBins(T* items, unsigned bins, const Place* start, const Place* count, Place* next,
                  BinOf binOf);

// ---- Ranking a mostly sorted array ----
//
// A list kept sorted and then added to (a sorted list with new lines at its
// end, or a few sorted lists one after the other) is ranked by merging: its
// ascending runs are found, what lies outside long runs is sorted, and the
// runs and that rest are merged. What RankPresorted needs to know of the
// items 0 to count - 1:
//
//   // The full key order, <0, 0 or >0.
//   int Compare(uint32_t a, uint32_t b) const;
//   // Whether the item has the lowest key, below every other one (the
//   // empty ones). Such items may sit anywhere, inside runs too.
//   bool Lowest(uint32_t a) const;
//   // Item a has `rank` (0 for the lowest; ranks rise with the keys, equal
//   // keys share one, and they need not follow each other). Called once an
//   // item, after the last Compare that involves it; items of keys below and
//   // above the middle one of the longest run may be compared and ranked on
//   // two threads at once.
//   void SetRank(uint32_t a, uint32_t rank);
//
// Returns false, having ranked nothing, when the items are not mostly
// sorted: more than a kRestShare-th of them outside ascending runs of at
// least kLongRun items, or more than kMostRuns such runs (the numbers are in
// sort_presorted.h). The count is below 2^32 - 1.
template <typename Keys>
bool RankPresorted(size_t count, Keys& keys);

}  // namespace grenfel

#include "services/sort_presorted.h"
#include "services/sort_quicksort.h"
#include "services/sort_ranking.h"

#endif  // GRENFEL_SERVICES_SORT_H_
