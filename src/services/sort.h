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
// All of it may use this thread and one helper (ShareTasksOnTwoThreads).
#ifndef GRENFEL_SERVICES_SORT_H_
#define GRENFEL_SERVICES_SORT_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "services/two_threads.h"

namespace grenfel {

// ---- The two-thread protocol ----
//
// Tasks are parts of one array that do not overlap. This thread and a
// helper take them from one shared stack, last in first out, starting with
// `first`. work(task, share) handles a task; it may call share(part) to hand
// a part of it (which it then must not touch) to whichever thread is free.
//
// Contract:
// - work runs on either thread, at the same time as work on another task;
//   the tasks in flight never overlap, so work needs no lock of its own as
//   long as it touches only its task's part of the array (and reads what
//   nobody writes);
// - the call returns once every task is done and both threads are idle;
// - an exception from work on either thread stops both (the other one ends
//   the task it is in), and is thrown again here; the array is then in some
//   order, with every item still in it;
// - when no helper thread can be started, all the work is done here.
template <typename Task, typename Work>
void ShareTasksOnTwoThreads(Task first, Work work) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Task> shared{first};
  int busy = 0;
  bool failed = false;

  auto share = [&](const Task& part) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      shared.push_back(part);
    }
    changed.notify_one();
  };
  auto run = [&] {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !shared.empty() || busy == 0 || failed; });
        if (shared.empty() || failed) return;
        task = shared.back();
        shared.pop_back();
        ++busy;
      }
      // Done with this task, finished or not (an exception): the other
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
      work(task, share);
    }
  };
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
        run();
      } catch (...) {
        helperFailure = std::current_exception();
        fail();
      }
    });
  } catch (const std::system_error&) {
    // No second thread: this one does all the work.
  }
  try {
    run();
  } catch (...) {
    fail();
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

// ---- The array quicksort, on any items ----
//
// The pivot is a copy of the middle element; i and j move while strictly
// before/after it; elements are swapped and both indices step on. After a
// partition the two parts are independent: whichever is sorted first, and
// on whichever thread, the array ends the same. `compare(a, b)` returns <0,
// 0 or >0. These take time in the square of the length on some orders;
// large lists go through RankedDescendingOrder instead.

// One partition of items[lo..hi] (lo < hi); items[lo..*j] and items[*i..hi]
// are left to sort.
template <typename T, typename Compare>
void PartitionDescending(T* items, int64_t lo, int64_t hi, Compare& compare, int64_t* jOut,
                         int64_t* iOut) {
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
  *jOut = j;
  *iOut = i;
}

namespace sort_detail {

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

struct NoOtherSort {
  bool operator()(int64_t, int64_t) const { return false; }
};

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
  std::vector<Part> pending;
  if (lo < hi) pending.push_back({lo, hi, 0});
  while (!pending.empty()) {
    Part r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
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

template <typename T, typename Compare>
void QuickSortDescending(T* items, int64_t count, Compare compare) {
  QuickSortRangeDescending(items, 0, count - 1, compare);
}

// The same sort, with the parts of large partitions handed to the other
// thread: same order, about half the wall time on two cores. sortLopsided
// as above; it may be called on either thread, for parts that do not
// overlap.
template <typename T, typename Compare, typename SortLopsided = sort_detail::NoOtherSort>
void QuickSortDescendingOnTwoThreads(T* items, int64_t count, Compare compare,
                                     SortLopsided sortLopsided = {}) {
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

// ---- The quicksort on ranks ----

// rank << 32 | payload (an item index). Items compare by rank alone.
using RankedItem = uint64_t;
inline uint32_t RankOf(RankedItem item) { return static_cast<uint32_t>(item >> 32); }
inline uint32_t PayloadOf(RankedItem item) { return static_cast<uint32_t>(item); }
inline RankedItem MakeRankedItem(uint32_t rank, uint32_t payload) {
  return uint64_t{rank} << 32 | payload;
}

// The array quicksort, descending, on ranks: the permutation of the
// quicksort above with compare(a, b) = RankOf(a) - RankOf(b), on two
// threads for large arrays. Lopsided partitions switch their range to scans
// that jump; the permutation stays the same.
void QuickSortRanksDescending(RankedItem* items, size_t count);

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

namespace sort_detail {

// `tag` is mark << 32 | item index: the mark is 1 where the key differs
// from the item before, and later the rank, so that the tags in index
// order are the items of the rank quicksort.
struct KeyItem {
  uint64_t word;
  RankedItem tag;

  uint32_t index() const { return PayloadOf(tag); }
  uint32_t mark() const { return RankOf(tag); }
  void SetMark(uint32_t mark) { tag = MakeRankedItem(mark, PayloadOf(tag)); }
};

// A part of the key array still to sort, by byte `byte` (0 is the highest)
// of word `w`. `mark` is what its first position's mark will be: the
// items move until their bucket is sorted, so marks are written last.
struct Bucket {
  size_t begin, end;
  int w, byte;
  uint32_t mark;
};

constexpr size_t kInsertionSortMaximum = 24;

template <typename Keys>
class Ranker {
 public:
  Ranker(KeyItem* items, const Keys& keys) : items_(items), keys_(keys) {}

  // Sorts bucket `b` ascending by key and marks where the key changes. Calls
  // share(part) for sub-buckets worth handing to the other thread, if given.
  template <typename Share>
  void Sort(Bucket b, Share& share, size_t grain) {
    for (;;) {
      size_t n = b.end - b.begin;
      if (n < 2) {
        if (n == 1) items_[b.begin].SetMark(b.mark);
        return;
      }
      if (n <= kInsertionSortMaximum) return InsertionSort(b);
      if (b.byte == 0 && AllWordsEqual(b.begin, b.end)) {
        if (!NextWord(&b)) return;
        continue;
      }
      const int shift = 56 - 8 * b.byte;
      size_t count[256] = {};
      for (size_t p = b.begin; p < b.end; ++p) ++count[(items_[p].word >> shift) & 255];
      size_t start[256], next[256];
      size_t at = b.begin, nonEmpty = 0;
      for (int c = 0; c < 256; ++c) {
        start[c] = next[c] = at;
        at += count[c];
        nonEmpty += count[c] != 0;
      }
      if (nonEmpty > 1) {
        // In place: each item is swapped straight into its bin.
        for (int c = 0; c < 256; ++c) {
          const size_t end = start[c] + count[c];
          while (next[c] < end) {
            KeyItem item = items_[next[c]];
            int digit = static_cast<int>((item.word >> shift) & 255);
            while (digit != c) {
              std::swap(item, items_[next[digit]++]);
              digit = static_cast<int>((item.word >> shift) & 255);
            }
            items_[next[c]++] = item;
          }
        }
      }
      const bool last = b.byte == 7 && b.w + 1 >= Keys::kWords;
      for (int c = 0; c < 256; ++c) {
        if (count[c] == 0) continue;
        Bucket part{start[c], start[c] + count[c], b.w, b.byte, start[c] == b.begin ? b.mark : 1};
        if (count[c] == 1) {
          items_[part.begin].SetMark(part.mark);
          continue;
        }
        if (last) {
          ComparisonSort(part);
          continue;
        }
        if (!Deeper(&part)) continue;
        if (count[c] > grain) {
          share(part);
        } else {
          Sort(part, share, grain);
        }
      }
      return;
    }
  }

 private:
  bool AllWordsEqual(size_t begin, size_t end) const {
    for (size_t p = begin + 1; p < end; ++p) {
      if (items_[p].word != items_[begin].word) return false;
    }
    return true;
  }

  // Moves a bucket on to its next byte, loading the next word when needed.
  // False when the words are used up: the bucket is then sorted by its keys.
  bool Deeper(Bucket* b) {
    if (b->byte < 7) {
      ++b->byte;
      return true;
    }
    if (b->w + 1 >= Keys::kWords) return false;
    b->byte = 0;
    ++b->w;
    for (size_t p = b->begin; p < b->end; ++p) items_[p].word = keys_.Word(items_[p].index(), b->w);
    return true;
  }

  // For a bucket whose current word is the same throughout.
  bool NextWord(Bucket* b) {
    b->byte = 7;
    if (Deeper(b)) return true;
    ComparisonSort(*b);
    return false;
  }

  bool Less(const KeyItem& x, const KeyItem& y) const {
    if (x.word != y.word) return x.word < y.word;
    return keys_.Compare(x.index(), y.index()) < 0;
  }

  void InsertionSort(const Bucket& b) {
    const size_t begin = b.begin, end = b.end;
    for (size_t p = begin + 1; p < end; ++p) {
      KeyItem item = items_[p];
      size_t q = p;
      while (q > begin && Less(item, items_[q - 1])) {
        items_[q] = items_[q - 1];
        --q;
      }
      items_[q] = item;
    }
    MarkChanges(b);
  }

  void ComparisonSort(const Bucket& b) {
    std::sort(items_ + b.begin, items_ + b.end,
              [this](const KeyItem& x, const KeyItem& y) { return Less(x, y); });
    MarkChanges(b);
  }

  void MarkChanges(const Bucket& b) {
    items_[b.begin].SetMark(b.mark);
    for (size_t p = b.begin + 1; p < b.end; ++p) {
      const KeyItem &x = items_[p - 1], &y = items_[p];
      items_[p].SetMark(x.word != y.word || keys_.Compare(x.index(), y.index()) != 0);
    }
  }

  KeyItem* items_;
  const Keys& keys_;
};

}  // namespace sort_detail

// What RankedDescendingOrder gives: item p, rank << 32 | index, names the
// item that ends at position p. It lives in the memory the ranking used.
class RankedOrder {
 public:
  size_t size() const { return count_; }
  RankedItem operator[](size_t p) const { return data()[p]; }
  // The items, which the caller may overwrite with anything of 64 bits.
  RankedItem* data() { return reinterpret_cast<RankedItem*>(storage_.data()); }
  const RankedItem* data() const { return reinterpret_cast<const RankedItem*>(storage_.data()); }

 private:
  template <typename Keys>
  friend RankedOrder RankedDescendingOrder(size_t count, const Keys& keys);
  std::vector<sort_detail::KeyItem> storage_;  // two items to an element
  size_t count_ = 0;
};

// The order in which the array quicksort, descending, leaves the items 0 to
// count - 1 (count below 2^32 - 1). See above for `keys`. Uses two threads
// for large arrays; an exception from `keys` (out of memory) is thrown
// again here. Holds 16 bytes an item.
template <typename Keys>
RankedOrder RankedDescendingOrder(size_t count, const Keys& keys) {
  using sort_detail::Bucket;
  using sort_detail::KeyItem;
  RankedOrder order;
  if (count == 0) return order;
  std::vector<KeyItem>& items = order.storage_;
  items.resize(count);
  ForBothHalves(0, count, [&](size_t begin, size_t end, int) {
    for (size_t p = begin; p < end; ++p) {
      uint32_t index = static_cast<uint32_t>(p);
      items[p] = {keys.Word(index, 0), MakeRankedItem(0, index)};
    }
  });

  sort_detail::Ranker<Keys> ranker(items.data(), keys);
  const Bucket all{0, count, 0, 0, 1};
  if (count < kTwoThreadMinimum) {
    auto noShare = [](const Bucket&) {};
    ranker.Sort(all, noShare, count);
  } else {
    const size_t grain = std::max(count / 64, kTwoThreadMinimum / 4);
    ShareTasksOnTwoThreads(all, [&](Bucket b, auto& share) { ranker.Sort(b, share, grain); });
  }

  // Ranks, counted from 0 in ascending key order; equal keys of different
  // texts make the quicksort's path matter.
  uint32_t rank = 0;
  bool differentTextsTie = false;
  for (size_t p = 0; p < count; ++p) {
    if (p > 0 && items[p].mark()) ++rank;
    if (p > 0 && !items[p].mark() && !differentTextsTie) {
      differentTextsTie = !keys.SameText(items[p - 1].index(), items[p].index());
    }
    items[p].SetMark(rank);
  }

  RankedItem* packed = order.data();
  if (differentTextsTie) {
    // The rank of each item goes to the word of the item at its index (the
    // words are done with, the tags still read), then the ranks and
    // indices are packed to the front, in index order: item p is read
    // before anything is written over it.
    ForBothHalves(0, count, [&](size_t begin, size_t end, int) {
      for (size_t p = begin; p < end; ++p) items[items[p].index()].word = items[p].mark();
    });
    for (size_t p = 0; p < count; ++p) {
      packed[p] = MakeRankedItem(static_cast<uint32_t>(items[p].word), static_cast<uint32_t>(p));
    }
  } else {
    // Equal keys are equal texts: the descending key order is all there is.
    std::reverse(items.begin(), items.end());
    for (size_t p = 0; p < count; ++p) packed[p] = items[p].tag;
  }
  order.count_ = count;
  if (differentTextsTie) QuickSortRanksDescending(packed, count);
  return order;
}

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
//   // Item a has `rank` (0 for the lowest, counted up in key order). Called
//   // once an item, after the last Compare that involves it.
//   void SetRank(uint32_t a, uint32_t rank);
//
// Returns false, having ranked nothing, when the items are not mostly
// sorted: more than a kRestShare-th of them outside ascending runs of at
// least kLongRun items, or more than kMostRuns such runs. One thread; count
// below 2^32 - 1.

namespace sort_detail {

inline constexpr size_t kLongRun = 1024;
inline constexpr size_t kRestShare = 16;
inline constexpr size_t kMostRuns = 8;

}  // namespace sort_detail

template <typename Keys>
bool RankPresorted(size_t count, Keys& keys) {
  using sort_detail::kLongRun;
  // Long runs as ranges of items (the lowest ones inside them skipped), and
  // the rest. A shuffled array ends this walk after a kRestShare-th of it.
  struct Run {
    uint32_t begin, end;
  };
  std::vector<Run> runs;
  std::vector<uint32_t> rest;
  const size_t restLimit = count / sort_detail::kRestShare;
  uint32_t runStart = 0, last = 0;
  size_t runLength = 0;
  auto closeRun = [&](uint32_t end) {
    if (runLength >= kLongRun) {
      runs.push_back({runStart, end});
      return runs.size() <= sort_detail::kMostRuns;
    }
    for (uint32_t p = runStart; p < end; ++p) {
      if (!keys.Lowest(p)) rest.push_back(p);
    }
    return rest.size() <= restLimit;
  };
  for (uint32_t i = 0; i < count; ++i) {
    if (keys.Lowest(i)) continue;
    if (runLength > 0 && keys.Compare(last, i) > 0) {
      if (!closeRun(i)) return false;
      runLength = 0;
    }
    if (runLength == 0) runStart = i;
    last = i;
    ++runLength;
  }
  if (runLength > 0 && !closeRun(static_cast<uint32_t>(count))) return false;
  std::sort(rest.begin(), rest.end(),
            [&keys](uint32_t a, uint32_t b) { return keys.Compare(a, b) < 0; });

  for (uint32_t i = 0; i < count; ++i) {
    if (keys.Lowest(i)) keys.SetRank(i, 0);
  }
  // The merge: a source is a run or the rest, its head the item it gives
  // next. Sources are few, so the smallest head is found by looking at all.
  struct Source {
    size_t at, end;
    bool isRest;
  };
  std::vector<Source> sources;
  for (const Run& run : runs) sources.push_back({run.begin, run.end, false});
  if (!rest.empty()) sources.push_back({0, rest.size(), true});
  auto head = [&rest](const Source& s) {
    return s.isRest ? rest[s.at] : static_cast<uint32_t>(s.at);
  };
  bool started = false;
  uint32_t rank = 0, previous = 0, previousRank = 0;
  while (!sources.empty()) {
    size_t smallest = 0;
    for (size_t s = 1; s < sources.size(); ++s) {
      if (keys.Compare(head(sources[s]), head(sources[smallest])) < 0) smallest = s;
    }
    Source& source = sources[smallest];
    const uint32_t item = head(source);
    ++source.at;
    while (!source.isRest && source.at < source.end &&
           keys.Lowest(static_cast<uint32_t>(source.at))) {
      ++source.at;
    }
    if (source.at >= source.end) {
      sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(smallest));
    }
    // The item before is ranked once it has been compared with this one.
    if (started) {
      if (keys.Compare(previous, item) != 0) ++rank;
      keys.SetRank(previous, previousRank);
    } else {
      rank = 1;
      started = true;
    }
    previous = item;
    previousRank = rank;
  }
  if (started) keys.SetRank(previous, previousRank);
  return true;
}

// Sorts items[lo..hi] in the order the quicksort would give them, through
// ranks: what a lopsided part needs. keys(first) gives the keys (as above)
// of the items first[0] to first[hi - lo]. Holds 24 bytes an item and
// another copy of the part's items while it works.
template <typename T, typename MakeKeys>
bool SortPartThroughRanks(T* items, int64_t lo, int64_t hi, MakeKeys keys) {
  const size_t length = static_cast<size_t>(hi - lo + 1);
  if (length >= UINT32_MAX - 1) return false;
  RankedOrder order = RankedDescendingOrder(length, keys(items + lo));
  std::vector<T> sorted;
  sorted.reserve(length);
  for (size_t p = 0; p < length; ++p) sorted.push_back(items[lo + PayloadOf(order[p])]);
  std::copy(sorted.begin(), sorted.end(), items + lo);
  return true;
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_SORT_H_
