// The quicksort on ranks that sort.h declares: plain partitions, and scans
// that jump over blocks of ranks where partitions come out lopsided.
#include "services/sort.h"

#include <bit>

namespace grenfel {
namespace {

using Range = sort_detail::Part;
// Plain scans on ranks are cheap, and the jumping scans' bounds cost some
// forty of them per item: a range switches only after this many lopsided
// partitions in a row. A mostly sorted list meets runs of up to about 15
// that end by themselves; a sorted list followed by its reverse never ends
// its run.
constexpr int kLopsidedInARow = 32;

void Split(const Range& r, int64_t j, int64_t i, Range* smaller, Range* larger) {
  sort_detail::SplitParts(r, j, i, smaller, larger);
}

// Where `while (items[i] >= above && i < hi) ++i` stops. Past its first few
// items a scan goes on eight at a time, with one branch for the eight: the
// partitions of a mostly sorted list walk long stretches.
constexpr int kPlainSteps = 8;
constexpr int64_t kScanChunk = 8;
inline int64_t ScanUp(const RankedItem* items, int64_t i, int64_t hi, uint64_t above) {
  for (int step = 0; step < kPlainSteps; ++step) {
    if (!(items[i] >= above && i < hi)) return i;
    ++i;
  }
  while (i + kScanChunk <= hi) {
    bool stop = false;
    for (int64_t k = 0; k < kScanChunk; ++k) stop |= items[i + k] < above;
    if (stop) break;
    i += kScanChunk;
  }
  while (items[i] >= above && i < hi) ++i;
  return i;
}
// Where `while (items[j] < below && j > lo) --j` stops.
inline int64_t ScanDown(const RankedItem* items, int64_t j, int64_t lo, uint64_t below) {
  for (int step = 0; step < kPlainSteps; ++step) {
    if (!(items[j] < below && j > lo)) return j;
    --j;
  }
  while (j - kScanChunk >= lo) {
    bool stop = false;
    for (int64_t k = 0; k < kScanChunk; ++k) stop |= items[j - k] >= below;
    if (stop) break;
    j -= kScanChunk;
  }
  while (items[j] < below && j > lo) --j;
  return j;
}

// The partition on ranks, with plain scans, from where its scans stand, i
// and j, on. Ranks are below 2^32 - 1, so (pivot + 1) << 32 does not
// overflow.
void FinishPartitionRanks(RankedItem* items, int64_t lo, int64_t hi, uint64_t pivot, int64_t i,
                          int64_t j, int64_t* jOut, int64_t* iOut) {
  const uint64_t above = (pivot + 1) << 32;  // an item at or above this ranks higher
  const uint64_t below = pivot << 32;        // an item under this ranks lower
  while (i <= j) {
    i = ScanUp(items, i, hi, above);
    j = ScanDown(items, j, lo, below);
    if (i > j) break;
    if (i < j) std::swap(items[i], items[j]);
    ++i;
    --j;
  }
  *jOut = j;
  *iOut = i;
}

// The whole partition with plain scans.
void PartitionRanks(RankedItem* items, int64_t lo, int64_t hi, int64_t* jOut, int64_t* iOut) {
  FinishPartitionRanks(items, lo, hi, RankOf(items[lo + (hi - lo) / 2]), lo, hi, jOut, iOut);
}

// The same partition, its long scans made in blocks with no branch on the
// ranks (as the record quicksort's), until the blocks meet.
void PartitionRanksInBlocks(RankedItem* items, int64_t lo, int64_t hi, int64_t* jOut,
                            int64_t* iOut) {
  const RankedItem pivot = items[lo + (hi - lo) / 2];
  int64_t i = lo, j = hi;
  if (hi - lo + 1 >= 4 * sort_detail::kScanBlock) {
    auto compare = [](RankedItem a, RankedItem b) {
      return static_cast<int64_t>(RankOf(a)) - static_cast<int64_t>(RankOf(b));
    };
    sort_detail::ScanInBlocks(items, pivot, compare, &i, &j);
  }
  FinishPartitionRanks(items, lo, hi, RankOf(pivot), i, j, jOut, iOut);
}

template <RankScans kScans>
void PartitionRanksBy(RankedItem* items, int64_t lo, int64_t hi, int64_t* jOut, int64_t* iOut) {
  if constexpr (kScans == RankScans::kInBlocks) {
    PartitionRanksInBlocks(items, lo, hi, jOut, iOut);
  } else {
    PartitionRanks(items, lo, hi, jOut, iOut);
  }
}

// The smallest and largest rank of blocks of the range [lo, hi]: blocks of
// 4 items, of 4 such blocks, and so on up to one block for all. A swap
// marks the bounds of its blocks stale; a stale bound is made exact again,
// from the items or from the blocks below, when it is next asked for. A
// stale block's blocks above are stale too.
class RankBounds {
 public:
  RankBounds(const RankedItem* items, int64_t lo, int64_t hi)
      : items_(items), base_(lo), end_(hi + 1) {
    const int64_t length = end_ - base_;
    size_t total = 0;
    for (levelCount_ = 0;; ++levelCount_) {
      int64_t size = BlockSize(levelCount_);
      levelStart_[levelCount_] = total;
      total += static_cast<size_t>((length + size - 1) / size);
      if (size >= length) break;
    }
    levelStart_[++levelCount_] = total;
    bounds_.assign(total, kStale);
    for (size_t level = 0; level < levelCount_; ++level) {
      for (size_t b = 0; b < levelStart_[level + 1] - levelStart_[level]; ++b) Refresh(level, b);
    }
  }

  // The item at `position` has changed.
  void Moved(int64_t position) {
    uint64_t offset = static_cast<uint64_t>(position - base_);
    for (size_t level = 0; level < levelCount_; ++level) {
      Bound& bound = At(level, BlockOf(offset, level));
      if (IsStale(bound)) return;
      bound = kStale;
    }
  }

  // The first position k in [from, limit) whose rank is at most `pivot`, or
  // limit: where `while (rank > pivot && k < limit) ++k` stops.
  int64_t FirstNotAbove(int64_t from, int64_t limit, uint32_t pivot) {
    int64_t k = from;
    while (k < limit) {
      // The blocks that start at k and end by the limit.
      uint64_t offset = static_cast<uint64_t>(k - base_);
      size_t fit = AlignedLevels(offset);
      while (fit > 0 && k + BlockSize(fit - 1) > limit) --fit;
      if (fit == 0) {
        // Item by item up to the next border of a block.
        int64_t border =
            std::min(limit, k + static_cast<int64_t>(kItemsPerBlock - offset % kItemsPerBlock));
        for (; k < border; ++k) {
          if (RankOf(items_[k]) <= pivot) return k;
        }
        continue;
      }
      bool jumped = false;
      for (size_t level = fit; level-- > 0 && !jumped;) {
        if (Min(level, BlockOf(offset, level)) > pivot) {
          k += BlockSize(level);
          jumped = true;
        }
      }
      if (jumped) continue;
      if (RankOf(items_[k]) <= pivot) return k;
      ++k;
    }
    return limit;
  }

  // The last position k in (limit, from] whose rank is at least `pivot`, or
  // limit: where `while (pivot > rank && k > limit) --k` stops.
  int64_t LastNotBelow(int64_t from, int64_t limit, uint32_t pivot) {
    int64_t k = from;
    while (k > limit) {
      // The blocks that end at k and start after the limit.
      uint64_t offset = static_cast<uint64_t>(k + 1 - base_);
      size_t fit = AlignedLevels(offset);
      while (fit > 0 && k - BlockSize(fit - 1) < limit) --fit;
      if (fit == 0) {
        // Item by item down to the next border of a block.
        uint64_t past = offset % kItemsPerBlock == 0 ? kItemsPerBlock : offset % kItemsPerBlock;
        int64_t border = std::max(limit, k - static_cast<int64_t>(past));
        for (; k > border; --k) {
          if (RankOf(items_[k]) >= pivot) return k;
        }
        continue;
      }
      bool jumped = false;
      for (size_t level = fit; level-- > 0 && !jumped;) {
        if (Max(level, BlockOf(offset, level) - 1) < pivot) {
          k -= BlockSize(level);
          jumped = true;
        }
      }
      if (jumped) continue;
      if (RankOf(items_[k]) >= pivot) return k;
      --k;
    }
    return limit;
  }

 private:
  // 4 items, or 4 blocks, to a block: a scan that cannot jump a block looks
  // at fewer before it goes up or down a level. Wider blocks save memory
  // (here about 2.7 bytes an item) but cost more than they save.
  static constexpr size_t kBits = 2;
  static constexpr uint64_t kItemsPerBlock = uint64_t{1} << kBits;
  // Ranges hold fewer than 2^32 items.
  static constexpr size_t kMostLevels = (32 + kBits - 1) / kBits;
  static int64_t BlockSize(size_t level) { return int64_t{1} << (kBits * (level + 1)); }
  // The number of levels whose blocks have a border at `offset`.
  size_t AlignedLevels(uint64_t offset) const {
    if (offset == 0) return levelCount_;
    return std::min<size_t>(static_cast<size_t>(std::countr_zero(offset)) / kBits, levelCount_);
  }
  static size_t BlockOf(uint64_t offset, size_t level) {
    // Below the range's length, which is a size_t.
    return static_cast<size_t>(offset >> (kBits * (level + 1)));
  }

  // A block's bounds; kStale (no block has its smallest rank above its
  // largest) when they must be found again.
  struct Bound {
    uint32_t min, max;
  };
  static constexpr Bound kStale{1, 0};
  static bool IsStale(const Bound& b) { return b.min > b.max; }
  Bound& At(size_t level, size_t b) { return bounds_[levelStart_[level] + b]; }

  uint32_t Min(size_t level, size_t b) {
    Bound& bound = At(level, b);
    if (IsStale(bound)) Refresh(level, b);
    return bound.min;
  }
  uint32_t Max(size_t level, size_t b) {
    Bound& bound = At(level, b);
    if (IsStale(bound)) Refresh(level, b);
    return bound.max;
  }

  void Refresh(size_t level, size_t b) {
    uint32_t low = UINT32_MAX, high = 0;
    const size_t first = b << kBits;
    if (level == 0) {
      int64_t from = base_ + static_cast<int64_t>(first);
      int64_t to = std::min<int64_t>(from + (int64_t{1} << kBits), end_);
      for (int64_t k = from; k < to; ++k) {
        uint32_t rank = RankOf(items_[k]);
        low = std::min(low, rank);
        high = std::max(high, rank);
      }
    } else {
      // Stale blocks below are made exact first: each stale mark is paid
      // for by the swap that set it.
      const size_t below = levelStart_[level] - levelStart_[level - 1];
      const size_t to = std::min(first + (size_t{1} << kBits), below);
      for (size_t c = first; c < to; ++c) {
        low = std::min(low, Min(level - 1, c));
        high = std::max(high, At(level - 1, c).max);
      }
    }
    At(level, b) = {low, high};
  }

  const RankedItem* items_;
  int64_t base_, end_;
  size_t levelCount_ = 0;
  // Where each level's blocks start in bounds_; one more for the end.
  size_t levelStart_[kMostLevels + 1] = {};
  std::vector<Bound> bounds_;
};

template <RankScans kScans, typename Share>
void SortRanks(RankedItem* items, Range whole, Share& share);

// Keeps every part on this thread.
constexpr auto kNoOtherThread = [](const Range&) { return false; };

// The same partition as PartitionRanks, its scans jumping over blocks that
// hold no stop.
void PartitionRanksJumping(RankedItem* items, int64_t lo, int64_t hi, RankBounds& bounds,
                           int64_t* jOut, int64_t* iOut) {
  const uint32_t pivot = RankOf(items[lo + (hi - lo) / 2]);
  int64_t i = lo, j = hi;
  while (i <= j) {
    i = bounds.FirstNotAbove(i, hi, pivot);
    j = bounds.LastNotBelow(j, lo, pivot);
    if (i > j) break;
    if (i < j) {
      std::swap(items[i], items[j]);
      bounds.Moved(i);
      bounds.Moved(j);
    }
    ++i;
    --j;
  }
  *jOut = j;
  *iOut = i;
}

// The parts of a lopsided range are often lopsided themselves, and plain
// scans sort one in up to the square of its length: only parts below this
// are sorted so.
constexpr int64_t kJumpingMinimum = 1 << 10;

// Sorts a range whose partitions came out lopsided. Its parts below
// kJumpingMinimum are sorted with plain scans: nothing scans them
// afterwards, so the bounds need not follow their swaps. The larger parts
// that wait are offered to share(part), which returns true when another
// thread takes one: the bounds here are then never asked about its items
// again, since every block they are asked about lies inside the range
// being partitioned.
template <RankScans kScans, typename Share>
void SortRanksJumping(RankedItem* items, Range whole, Share& share) {
  RankBounds bounds(items, whole.lo, whole.hi);
  std::vector<Range> pending{whole};
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
      if (r.hi - r.lo + 1 < kJumpingMinimum) {
        SortRanks<kScans>(items, {r.lo, r.hi, 0}, share);
        break;
      }
      int64_t j, i;
      PartitionRanksJumping(items, r.lo, r.hi, bounds, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      // Lopsided parts are small: sorted at once, they need no place in the
      // list of waiting parts.
      if (smaller.hi - smaller.lo + 1 < kJumpingMinimum) {
        SortRanks<kScans>(items, smaller, share);
      } else if (!share(smaller)) {
        pending.push_back(smaller);
      }
      r = larger;
    }
  }
}

// Sorts a range on this thread, switching to jumping scans where
// partitions come out lopsided; see SortRanksJumping for `share`.
template <RankScans kScans, typename Share>
void SortRanks(RankedItem* items, Range whole, Share& share) {
  auto compareRanks = [](RankedItem a, RankedItem b) {
    return static_cast<int64_t>(RankOf(a)) - static_cast<int64_t>(RankOf(b));
  };
  auto partition = [items](int64_t lo, int64_t hi, int64_t* j, int64_t* i) {
    PartitionRanks(items, lo, hi, j, i);
  };
  std::vector<Range> pending;
  if (whole.lo < whole.hi) pending.push_back(whole);
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
      if (r.hi - r.lo < sort_detail::kShortPart) {
        sort_detail::QuickSortShortDescending(items, r.lo, r.hi, compareRanks, partition);
        break;
      }
      if (r.lopsided >= kLopsidedInARow) {
        SortRanksJumping<kScans>(items, r, share);
        break;
      }
      int64_t j, i;
      PartitionRanksBy<kScans>(items, r.lo, r.hi, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      // The larger part waits: the list of waiting parts stays short.
      if (larger.lo < larger.hi) pending.push_back(larger);
      r = smaller;
    }
  }
}

template <RankScans kScans>
void SortAllRanks(RankedItem* items, size_t count) {
  const Range all{0, static_cast<int64_t>(count) - 1, 0};
  if (count < kTwoThreadMinimum) return SortRanks<kScans>(items, all, kNoOtherThread);
  const int64_t grain =
      std::max<int64_t>(static_cast<int64_t>(count / 64), int64_t{kTwoThreadMinimum / 4});
  ShareTasksOnTwoThreads(all, [&](Range r, auto& share) {
    // A lopsided range is partitioned on one thread, one small part at a
    // time; the parts that wait go to the other thread, still sorted with
    // jumping scans.
    auto shareWaiting = [&share](Range part) {
      part.lopsided = kLopsidedInARow;
      share(part);
      return true;
    };
    while (r.hi - r.lo + 1 > grain && r.lopsided < kLopsidedInARow) {
      int64_t j, i;
      PartitionRanksBy<kScans>(items, r.lo, r.hi, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      if (smaller.hi - smaller.lo + 1 > grain) {
        share(smaller);
      } else {
        SortRanks<kScans>(items, smaller, shareWaiting);
      }
      r = larger;
    }
    SortRanks<kScans>(items, r, shareWaiting);
  });
}

}  // namespace

void QuickSortRanksDescending(RankedItem* items, size_t count, RankScans scans) {
  if (count < 2) return;
  if (scans == RankScans::kInBlocks) return SortAllRanks<RankScans::kInBlocks>(items, count);
  SortAllRanks<RankScans::kOneByOne>(items, count);
}

}  // namespace grenfel
