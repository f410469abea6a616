// The quicksort on ranks that sort.h declares: plain partitions, and scans
// that jump over blocks of ranks where partitions come out lopsided.
#include "services/sort.h"

#include <bit>

namespace grenfel {
namespace {

using Range = sort_detail::Part;
using sort_detail::kLopsidedInARow;

void Split(const Range& r, int64_t j, int64_t i, Range* smaller, Range* larger) {
  sort_detail::SplitParts(r, j, i, smaller, larger);
}

// The partition on ranks, with plain scans. Ranks are below 2^32 - 1, so
// (pivot + 1) << 32 does not overflow.
void PartitionRanks(RankedItem* items, int64_t lo, int64_t hi, int64_t* jOut, int64_t* iOut) {
  const uint64_t pivot = RankOf(items[lo + (hi - lo) / 2]);
  const uint64_t above = (pivot + 1) << 32;  // an item at or above this ranks higher
  const uint64_t below = pivot << 32;        // an item under this ranks lower
  int64_t i = lo, j = hi;
  while (i <= j) {
    while (items[i] >= above && i < hi) ++i;
    while (items[j] < below && j > lo) --j;
    if (i > j) break;
    if (i < j) std::swap(items[i], items[j]);
    ++i;
    --j;
  }
  *jOut = j;
  *iOut = i;
}

// The smallest and largest rank of blocks of the range [lo, hi]: blocks of
// 32 items, of 32 such blocks, and so on up to one block for all. A bound
// may be looser than the truth (a swap only widens it and marks it stale);
// a stale bound is made exact again, from the items or from the blocks
// below, when it is next asked for.
class RankBounds {
 public:
  RankBounds(const RankedItem* items, int64_t lo, int64_t hi)
      : items_(items), base_(lo), end_(hi + 1) {
    const int64_t length = end_ - base_;
    for (size_t level = 0;; ++level) {
      int64_t size = BlockSize(level);
      size_t blocks = static_cast<size_t>((length + size - 1) / size);
      levels_.push_back({std::vector<uint32_t>(blocks), std::vector<uint32_t>(blocks),
                         std::vector<uint8_t>(blocks, 0)});
      for (size_t b = 0; b < blocks; ++b) Refresh(level, b);
      if (size >= length) break;
    }
  }

  // The item at `position` now holds `rank`.
  void Moved(int64_t position, uint32_t rank) {
    uint64_t offset = static_cast<uint64_t>(position - base_);
    for (size_t level = 0; level < levels_.size(); ++level) {
      Level& l = levels_[level];
      size_t b = BlockOf(offset, level);
      l.min[b] = std::min(l.min[b], rank);
      l.max[b] = std::max(l.max[b], rank);
      l.stale[b] = 1;
    }
  }

  // The first position k in [from, limit) whose rank is at most `pivot`, or
  // limit: where `while (rank > pivot && k < limit) ++k` stops.
  int64_t FirstNotAbove(int64_t from, int64_t limit, uint32_t pivot) {
    int64_t k = from;
    while (k < limit) {
      // The blocks that start at k and end by the limit.
      size_t fit = AlignedLevels(static_cast<uint64_t>(k - base_));
      while (fit > 0 && k + BlockSize(fit - 1) > limit) --fit;
      uint64_t offset = static_cast<uint64_t>(k - base_);
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
  static constexpr size_t kBits = 5;  // 32 items, or 32 blocks, to a block
  static constexpr uint64_t kItemsPerBlock = uint64_t{1} << kBits;
  static int64_t BlockSize(size_t level) { return int64_t{1} << (kBits * (level + 1)); }
  // The number of levels whose blocks have a border at `offset`.
  size_t AlignedLevels(uint64_t offset) const {
    if (offset == 0) return levels_.size();
    return std::min<size_t>(static_cast<size_t>(std::countr_zero(offset)) / kBits, levels_.size());
  }
  static size_t BlockOf(uint64_t offset, size_t level) {
    // Below the range's length, which is a size_t.
    return static_cast<size_t>(offset >> (kBits * (level + 1)));
  }

  struct Level {
    std::vector<uint32_t> min, max;
    std::vector<uint8_t> stale;
  };

  uint32_t Min(size_t level, size_t b) {
    if (levels_[level].stale[b]) Refresh(level, b);
    return levels_[level].min[b];
  }
  uint32_t Max(size_t level, size_t b) {
    if (levels_[level].stale[b]) Refresh(level, b);
    return levels_[level].max[b];
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
      const Level& below = levels_[level - 1];
      size_t to = std::min(first + (size_t{1} << kBits), below.min.size());
      for (size_t c = first; c < to; ++c) {
        if (below.stale[c]) Refresh(level - 1, c);
        low = std::min(low, below.min[c]);
        high = std::max(high, below.max[c]);
      }
    }
    Level& l = levels_[level];
    l.min[b] = low;
    l.max[b] = high;
    l.stale[b] = 0;
  }

  const RankedItem* items_;
  int64_t base_, end_;
  std::vector<Level> levels_;
};

void SortRanks(RankedItem* items, Range whole);

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
      bounds.Moved(i, RankOf(items[i]));
      bounds.Moved(j, RankOf(items[j]));
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
// afterwards, so the bounds need not follow their swaps.
void SortRanksJumping(RankedItem* items, Range whole) {
  RankBounds bounds(items, whole.lo, whole.hi);
  std::vector<Range> pending{whole};
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
      if (r.hi - r.lo + 1 < kJumpingMinimum) {
        SortRanks(items, {r.lo, r.hi, 0});
        break;
      }
      int64_t j, i;
      PartitionRanksJumping(items, r.lo, r.hi, bounds, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      // Lopsided parts are small: sorted at once, they need no place in the
      // list of waiting parts.
      if (smaller.hi - smaller.lo + 1 < kJumpingMinimum) {
        SortRanks(items, smaller);
      } else {
        pending.push_back(smaller);
      }
      r = larger;
    }
  }
}

// Sorts a range on this thread, switching to jumping scans where
// partitions come out lopsided.
void SortRanks(RankedItem* items, Range whole) {
  std::vector<Range> pending;
  if (whole.lo < whole.hi) pending.push_back(whole);
  while (!pending.empty()) {
    Range r = pending.back();
    pending.pop_back();
    while (r.lo < r.hi) {
      if (r.lopsided >= kLopsidedInARow) {
        SortRanksJumping(items, r);
        break;
      }
      int64_t j, i;
      PartitionRanks(items, r.lo, r.hi, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      // The larger part waits: the list of waiting parts stays short.
      if (larger.lo < larger.hi) pending.push_back(larger);
      r = smaller;
    }
  }
}

}  // namespace

void QuickSortRanksDescending(RankedItem* items, size_t count) {
  if (count < 2) return;
  const Range all{0, static_cast<int64_t>(count) - 1, 0};
  if (count < kTwoThreadMinimum) return SortRanks(items, all);
  const int64_t grain =
      std::max<int64_t>(static_cast<int64_t>(count / 64), int64_t{kTwoThreadMinimum / 4});
  ShareTasksOnTwoThreads(all, [&](Range r, auto& share) {
    while (r.hi - r.lo + 1 > grain && r.lopsided < kLopsidedInARow) {
      int64_t j, i;
      PartitionRanks(items, r.lo, r.hi, &j, &i);
      Range smaller, larger;
      Split(r, j, i, &smaller, &larger);
      if (smaller.hi - smaller.lo + 1 > grain) {
        share(smaller);
      } else {
        SortRanks(items, smaller);
      }
      r = larger;
    }
    SortRanks(items, r);
  });
}

}  // namespace grenfel
