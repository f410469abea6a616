// The templates of the ranking that sort.h declares: an MSD radix sort of
// the items' key words, on two threads for large arrays, that gives every
// item the rank of its key, and the quicksort's order from those ranks.
#ifndef GRENFEL_SERVICES_SORT_RANKING_H_
#define GRENFEL_SERVICES_SORT_RANKING_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "services/sort.h"
#include "services/two_threads.h"

namespace grenfel {

template <typename T, typename Place, typename BinOf>
void SwapIntoBins(T* items, unsigned bins, const Place* start, const Place* count, Place* next,
                  BinOf binOf) {
  // In rounds: each item not yet in place is swapped to the first free place
  // of its bin, and what stood there waits for the next round. The swaps of
  // a round do not wait for each other, so the cache misses they meet
  // overlap; a chain of swaps, each item taking the place of the one before,
  // meets them one after the other.
  for (bool left = true; left;) {
    left = false;
    for (unsigned b = 0; b < bins; ++b) {
      const Place end = start[b] + count[b];
      for (Place p = next[b]; p < end; ++p) std::swap(items[p], items[next[binOf(items[p])]++]);
      left |= next[b] != end;
    }
  }
}

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
        SwapIntoBins(items_, 256, start, count, next, [shift](const KeyItem& item) {
          return static_cast<unsigned>(item.word >> shift) & 255;
        });
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

// The keys' first words are read on both halves, the buckets sorted on two
// threads, then the ranks counted on this one; see sort.h.
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

#endif  // GRENFEL_SERVICES_SORT_RANKING_H_
