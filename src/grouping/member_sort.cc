// Grouping's member sort: the members in descending key order, found by a
// radix sort in their own memory. Where members of equal keys differ in
// text, the order among them is the quicksort's, found through ranks.
#include <algorithm>
#include <bit>
#include <vector>

#include "grouping/grouped_list.h"
#include "services/sort.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

// A key of 128 bits, `high` first, as the radix sort reads it.
struct RadixKey {
  uint64_t high, low;
};

// The `bits` bits of `key` from bit `pos` on, counted from the top; bits
// past the end read as 0.
unsigned DigitAt(const RadixKey& key, int pos, int bits) {
  // The 64 bits from `pos` on, of which the digit is the top.
  uint64_t window = pos == 0    ? key.high
                    : pos < 64  ? key.high << pos | key.low >> (64 - pos)
                    : pos < 128 ? key.low << (pos - 64)
                                : 0;
  return static_cast<unsigned>(window >> (64 - bits));
}

// In-place MSD radix sort of items by the key keyOf(item), descending, 11
// bits a pass over many items and 8 over fewer; a bucket of
// few items, or one whose key bits are all used, goes to finish(first,
// last), which sorts it by the full order. Buckets of more than a grain are
// handed to the other thread.
template <typename T, typename KeyOf, typename Finish>
class RadixSorter {
 public:
  struct Task {
    size_t begin, end;
    int pos;
    // Where set (only on the first task), the task is two: its items before
    // this place and those from it on, each sorted on its own.
    size_t splitAt = 0;
  };

  RadixSorter(T* items, KeyOf keyOf, Finish finish)
      : items_(items), keyOf_(keyOf), finish_(finish) {}

  void SortAll(size_t count) {
    if (count < 2) return;
    // Bits that are 0 in every key decide nothing: the first pass starts
    // below them.
    RadixKey used[2] = {};
    ForBothHalves(0, count, [&](size_t begin, size_t end, int half) {
      RadixKey seen = {};
      for (size_t p = begin; p < end; ++p) {
        RadixKey key = keyOf_(items_[p]);
        seen.high |= key.high;
        seen.low |= key.low;
      }
      used[half] = seen;
    });
    const uint64_t high = used[0].high | used[1].high, low = used[0].low | used[1].low;
    int pos = high != 0 ? std::countl_zero(high) : 64 + std::countl_zero(low | 1);
    const Task all{0, count, pos};
    if (count < kTwoThreadMinimum) {
      auto noShare = [](const Task&) {};
      Sort(all, noShare, count);
      std::vector<T>().swap(Scratch());
      return;
    }
    // A first pass over all the items would run on one thread; split in two
    // around a middle key on both threads, they make two first tasks.
    Task first = all;
    first.splitAt = SplitAroundSampledMiddle(count);
    const size_t grain = std::max(count / 64, kTwoThreadMinimum / 4);
    ShareTasksOnTwoThreads(first, [&](Task t, auto& share) {
      if (t.splitAt != 0) {
        share(Task{t.splitAt, t.end, t.pos});
        t.end = t.splitAt;
      }
      Sort(t, share, grain);
    });
    std::vector<T>().swap(Scratch());
  }

 private:
  static constexpr size_t kFewItems = 32;
  // A bin of at most this many items is spread through a copy of its own
  // instead of by swaps: no branch waits on where each item goes, and the
  // copy stays in the cache.
  static constexpr size_t kCopiedItems = size_t{1} << 16;
  static constexpr int kKeyBits = 128;

  // Whether key a comes before key b in the order sorted.
  bool Before(const RadixKey& a, const RadixKey& b) const {
    if (a.high != b.high) return a.high > b.high;
    return a.low > b.low;
  }

  // Moves the items whose keys come before a pivot's (the middle of keys
  // sampled across the items) to the front, each half on its own thread,
  // then swaps what is out of place between the halves. Returns the number
  // moved to the front: about half of the items, unless many share the
  // pivot's key.
  size_t SplitAroundSampledMiddle(size_t count) {
    constexpr size_t kSamples = 255;
    std::vector<RadixKey> samples;
    for (size_t s = 0; s < kSamples; ++s) samples.push_back(keyOf_(items_[s * (count / kSamples)]));
    auto before = [this](const RadixKey& a, const RadixKey& b) { return Before(a, b); };
    std::nth_element(samples.begin(), samples.begin() + kSamples / 2, samples.end(), before);
    const RadixKey pivot = samples[kSamples / 2];
    size_t frontEnd[2] = {};
    ForBothHalves(0, count, [&](size_t begin, size_t end, int half) {
      frontEnd[half] = static_cast<size_t>(
          std::partition(items_ + begin, items_ + end,
                         [&](const T& item) { return Before(keyOf_(item), pivot); }) -
          items_);
    });
    // [0, frontEnd[0]) and [middle, frontEnd[1]) come first. The first
    // items of the block after the one change places with the last items of
    // the other, as many as the shorter of the two blocks holds.
    const size_t middle = MiddleOf(0, count);
    const size_t backOfFirst = middle - frontEnd[0], frontOfSecond = frontEnd[1] - middle;
    const size_t swapped = std::min(backOfFirst, frontOfSecond);
    T* const from = items_ + frontEnd[0];
    T* const to = items_ + frontEnd[1] - swapped;
    ForBothHalves(0, swapped, [&](size_t begin, size_t end, int) {
      std::swap_ranges(from + begin, from + end, to + begin);
    });
    return frontEnd[0] + frontOfSecond;
  }

  // Over more items than this, a pass spreads them by 11 bits, into 2048
  // bins, which parts the domains of a large list in one pass fewer; fewer
  // items are spread by 8 bits, into bins they fill better.
  static constexpr size_t kWideMinimum = size_t{1} << 17;
  static constexpr int kWideBits = 11, kNarrowBits = 8;

  template <int kBits>
  unsigned Bin(const T& item, int pos) const {
    unsigned digit = DigitAt(keyOf_(item), pos, kBits);
    return (1u << kBits) - 1 - digit;
  }

  template <typename Share>
  void Sort(Task t, Share& share, size_t grain) {
    for (;;) {
      const size_t n = t.end - t.begin;
      if (n < 2) return;
      if (n <= kFewItems || t.pos >= kKeyBits) return finish_(items_ + t.begin, items_ + t.end);
      const bool spread = n > kWideMinimum ? SpreadBy<kWideBits>(&t, share, grain)
                                           : SpreadBy<kNarrowBits>(&t, share, grain);
      if (spread) return;
    }
  }

  // Spreads the task's items into bins by their kBits bits from t->pos on,
  // then sorts each bin. False, with t->pos moved past those bits, when the
  // items all share them. Places are counted from the task's first item in
  // 32 bits (fewer than 2^31 members), which keeps the frame small.
  template <int kBits, typename Share>
  bool SpreadBy(Task* task, Share& share, size_t grain) {
    constexpr unsigned kBins = 1u << kBits;
    const Task t = *task;
    const size_t n = t.end - t.begin;
    T* const items = items_ + t.begin;
    uint32_t count[kBins] = {};
    for (size_t p = 0; p < n; ++p) ++count[Bin<kBits>(items[p], t.pos)];
    if (count[Bin<kBits>(items[0], t.pos)] == n) {
      task->pos += kBits;
      return false;
    }
    uint32_t start[kBins], next[kBins];
    for (uint32_t c = 0, at = 0; c < kBins; ++c) {
      start[c] = next[c] = at;
      at += count[c];
    }
    if (n <= kCopiedItems) {
      std::vector<T>& scratch = Scratch();
      if (scratch.size() < n) scratch.resize(kCopiedItems);
      T* const copy = scratch.data();
      for (size_t p = 0; p < n; ++p) copy[next[Bin<kBits>(items[p], t.pos)]++] = items[p];
      std::copy(copy, copy + n, items);
    } else {
      SwapIntoBins(items, kBins, start, count, next,
                   [this, pos = t.pos](const T& item) { return Bin<kBits>(item, pos); });
    }
    for (unsigned c = 0; c < kBins; ++c) {
      if (count[c] < 2) continue;
      Task part{t.begin + start[c], t.begin + start[c] + count[c], t.pos + kBits};
      if (count[c] > grain) {
        share(part);
      } else {
        Sort(part, share, grain);
      }
    }
    return true;
  }

  // The copy of each thread, kept from one bin to the next.
  static std::vector<T>& Scratch() {
    thread_local std::vector<T> scratch;
    return scratch;
  }

  T* items_;
  KeyOf keyOf_;
  Finish finish_;
};

template <typename T, typename KeyOf, typename Finish>
void RadixSort(T* items, size_t count, KeyOf keyOf, Finish finish) {
  RadixSorter<T, KeyOf, Finish>(items, keyOf, finish).SortAll(count);
}

}  // namespace

void GroupedList::SortMembers() {
  Member* members = members_.data();
  const size_t count = members_.size();
  RadixSort(
      members, count,
      [](const Member& m) {
        return RadixKey{m.key.high, m.key.low};
      },
      [this](Member* first, Member* last) {
        auto before = [this](const Member& a, const Member& b) { return CompareMembers(a, b) > 0; };
        if (last - first > 32) return std::sort(first, last, before);
        // Few members, and often in order already.
        for (Member* p = first + 1; p < last; ++p) {
          Member item = *p;
          Member* q = p;
          for (; q > first && before(item, q[-1]); --q) *q = q[-1];
          *q = item;
        }
      });
  if (DifferentTextsTie()) SortTiesAsTheQuicksort();
}

bool GroupedList::DifferentTextsTie() const {
  if (members_.size() < 2) return false;
  bool tie[2] = {false, false};
  ForBothHalves(1, members_.size(), [&](size_t begin, size_t end, int half) {
    bool found = false;
    for (size_t p = begin; p < end && !found; ++p) {
      const Member &a = members_[p - 1], &b = members_[p];
      found = a.key.high == b.key.high && a.key.low == b.key.low && CompareMembers(a, b) == 0 &&
              Record(a) != Record(b);
    }
    tie[half] = found;
  });
  return tie[0] || tie[1];
}

// The place of each member in file order, from its offset: members start
// lines, which are at least two bytes apart, so one bit for every two
// bytes of the list marks them, and the place is the number of marks
// before. The members of one list are marked in any order; two threads
// may mark at once where they mark different words (WordOf).
class FileOrderPlaces {
 public:
  explicit FileOrderPlaces(size_t listBytes) : marks_(listBytes / 2 / 64 + 1, 0) {}

  void Mark(uint64_t offset) { marks_[WordOf(offset)] |= BitOf(offset); }
  // After the last Mark.
  void Count() {
    marksBefore_.resize(marks_.size());
    uint32_t total = 0;
    for (size_t w = 0; w < marks_.size(); ++w) {
      marksBefore_[w] = total;
      total += static_cast<uint32_t>(std::popcount(marks_[w]));
    }
  }
  uint32_t PlaceOf(uint64_t offset) const {
    const size_t word = WordOf(offset);
    return marksBefore_[word] +
           static_cast<uint32_t>(std::popcount(marks_[word] & (BitOf(offset) - 1)));
  }

  static size_t WordOf(uint64_t offset) { return static_cast<size_t>(offset / 2 / 64); }

 private:
  static uint64_t BitOf(uint64_t offset) { return uint64_t{1} << (offset / 2 % 64); }

  std::vector<uint64_t> marks_;  // all clear at first
  UnsetVector<uint32_t> marksBefore_;
};

void GroupedList::SortTiesAsTheQuicksort() {
  // The quicksort's path depends only on how members compare, so it can run
  // on their ranks; and it must start from the members in file order. The
  // rank goes to the key's low word, which nothing reads once the members
  // are sorted.
  const size_t count = members_.size();
  Member* members = members_.data();
  uint32_t rank = 0;
  Member above = members[count - 1];
  members[count - 1].key.low = 0;
  for (size_t p = count - 1; p-- > 0;) {
    Member here = members[p];
    if (CompareMembers(here, above) != 0) ++rank;
    members[p].key.low = rank;
    above = here;
  }
  // The quicksort's items in file order, each naming the member's place in
  // key order; the members themselves stay there.
  std::vector<RankedItem> order(count);
  {
    FileOrderPlaces places(readable_.size());
    // Each thread marks the members of one half of the list, words apart.
    const size_t middleWord = FileOrderPlaces::WordOf(readable_.size() / 2);
    ForBothHalves(0, count, [&](size_t, size_t, int half) {
      for (size_t q = 0; q < count; ++q) {
        const uint64_t offset = members[q].ref.offset();
        if ((FileOrderPlaces::WordOf(offset) < middleWord) == (half == 0)) places.Mark(offset);
      }
    });
    places.Count();
    ForBothHalves(0, count, [&](size_t begin, size_t end, int) {
      for (size_t q = begin; q < end; ++q) {
        order[places.PlaceOf(members[q].ref.offset())] =
            MakeRankedItem(static_cast<uint32_t>(members[q].key.low), static_cast<uint32_t>(q));
      }
    });
  }
  // In file order the ranks come scattered.
  QuickSortRanksDescending(order.data(), count, RankScans::kInBlocks);
  // Both orders are by rank, descending: place p and the member that goes
  // there hold one rank, and only members of one rank trade places, within
  // the stretch that rank holds. Each stretch whose members move is
  // copied aside and written back in the quicksort's order.
  std::vector<Member> stretch;
  for (size_t p = 0; p < count;) {
    if (PayloadOf(order[p]) == p) {
      ++p;
      continue;
    }
    const uint32_t tied = RankOf(order[p]);
    size_t end = p + 1;
    while (end < count && RankOf(order[end]) == tied) ++end;
    stretch.assign(members + p, members + end);
    for (size_t x = p; x < end; ++x) members[x] = stretch[PayloadOf(order[x]) - p];
    p = end;
  }
}

}  // namespace grenfel
