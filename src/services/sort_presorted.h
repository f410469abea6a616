// The template of the ranking of a mostly sorted array that sort.h
// declares: its long ascending runs and the sorted rest, merged.
#ifndef GRENFEL_SERVICES_SORT_PRESORTED_H_
#define GRENFEL_SERVICES_SORT_PRESORTED_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/sort.h"
#include "services/two_threads.h"

namespace grenfel {

namespace sort_detail {

// The numbers of a mostly sorted array; see RankPresorted in sort.h.
inline constexpr size_t kLongRun = 1024;
inline constexpr size_t kRestShare = 16;
inline constexpr size_t kMostRuns = 8;

// A long ascending run, as a range of items (the lowest ones inside it are
// skipped).
struct PresortedRun {
  uint32_t begin, end;
};

// Finds the long runs of the items 0 to count - 1 and the rest, the items
// outside them that are not the lowest, in the order they stand. False, as
// soon as it shows, when the items are not mostly sorted: a shuffled array
// ends this walk after a kRestShare-th of it.
template <typename Keys>
bool FindPresortedRuns(size_t count, Keys& keys, std::vector<PresortedRun>* runs,
                       std::vector<uint32_t>* rest) {
  const size_t restLimit = count / kRestShare;
  uint32_t runStart = 0, last = 0;
  size_t runLength = 0;
  auto closeRun = [&](uint32_t end) {
    if (runLength >= kLongRun) {
      runs->push_back({runStart, end});
      return runs->size() <= kMostRuns;
    }
    for (uint32_t p = runStart; p < end; ++p) {
      if (!keys.Lowest(p)) rest->push_back(p);
    }
    return rest->size() <= restLimit;
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
  return runLength == 0 || closeRun(static_cast<uint32_t>(count));
}

// A run or the rest, as a source of items for the merge: positions of a
// run, or places in the rest, from `at` to `end`; its head is the item it
// gives next, never one of the lowest.
struct MergeSource {
  size_t at, end;
  bool isRest;
};

// Merges the sources, ranking their items from `firstRank` on, in key order.
template <typename Keys>
void MergeSources(std::vector<MergeSource> sources, const std::vector<uint32_t>& rest, Keys& keys,
                  uint32_t firstRank) {
  auto head = [&rest](const MergeSource& s) {
    return s.isRest ? rest[s.at] : static_cast<uint32_t>(s.at);
  };
  bool started = false;
  uint32_t rank = 0, previous = 0, previousRank = 0;
  // Sources are few: the smallest head is found by looking at all.
  while (!sources.empty()) {
    size_t smallest = 0;
    for (size_t s = 1; s < sources.size(); ++s) {
      if (keys.Compare(head(sources[s]), head(sources[smallest])) < 0) smallest = s;
    }
    MergeSource& source = sources[smallest];
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
      rank = firstRank;
      started = true;
    }
    previous = item;
    previousRank = rank;
  }
  if (started) keys.SetRank(previous, previousRank);
}

// Where a source's items of keys below that of `split` end: the first
// place whose next item not among the lowest has a key at or above it, or
// the source's end.
template <typename Keys>
size_t CutBelow(const MergeSource& source, const std::vector<uint32_t>& rest, Keys& keys,
                uint32_t split) {
  if (source.isRest) {
    return static_cast<size_t>(
        std::lower_bound(rest.begin() + static_cast<std::ptrdiff_t>(source.at),
                         rest.begin() + static_cast<std::ptrdiff_t>(source.end), split,
                         [&keys](uint32_t a, uint32_t b) { return keys.Compare(a, b) < 0; }) -
        rest.begin());
  }
  size_t lo = source.at, hi = source.end;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    size_t next = mid;
    while (next < source.end && keys.Lowest(static_cast<uint32_t>(next))) ++next;
    if (next == source.end || keys.Compare(static_cast<uint32_t>(next), split) >= 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// Ranks the items 0 to count - 1: the lowest ones 0, the others by merging
// the runs with the rest, sorted. A long array is cut at the key of the
// middle item of its longest run: the sources' items below it are merged on
// this thread, the others on a second one, ranked from past the count of
// the first ones (ranks rise with the keys; they need not follow each
// other).
template <typename Keys>
void MergePresortedRuns(size_t count, Keys& keys, const std::vector<PresortedRun>& runs,
                        const std::vector<uint32_t>& rest) {
  for (uint32_t i = 0; i < count; ++i) {
    if (keys.Lowest(i)) keys.SetRank(i, 0);
  }
  std::vector<MergeSource> sources;
  for (const PresortedRun& run : runs) sources.push_back({run.begin, run.end, false});
  if (!rest.empty()) sources.push_back({0, rest.size(), true});
  const PresortedRun* longest = nullptr;
  for (const PresortedRun& run : runs) {
    if (longest == nullptr || run.end - run.begin > longest->end - longest->begin) longest = &run;
  }
  uint32_t split = longest != nullptr ? longest->begin + (longest->end - longest->begin) / 2 : 0;
  while (longest != nullptr && split < longest->end && keys.Lowest(split)) ++split;
  if (count < kTwoThreadMinimum || longest == nullptr || split == longest->end) {
    return MergeSources(sources, rest, keys, 1);
  }
  std::vector<MergeSource> below, above;
  size_t belowCount = 0;
  for (const MergeSource& source : sources) {
    size_t cut = CutBelow(source, rest, keys, split);
    if (cut > source.at) below.push_back({source.at, cut, source.isRest});
    belowCount += cut - source.at;
    while (!source.isRest && cut < source.end && keys.Lowest(static_cast<uint32_t>(cut))) ++cut;
    if (cut < source.end) above.push_back({cut, source.end, source.isRest});
  }
  ForBothHalves(0, count, [&](size_t, size_t, int half) {
    if (half == 0) {
      MergeSources(below, rest, keys, 1);
    } else {
      MergeSources(above, rest, keys, static_cast<uint32_t>(belowCount) + 1);
    }
  });
}

}  // namespace sort_detail

template <typename Keys>
bool RankPresorted(size_t count, Keys& keys) {
  std::vector<sort_detail::PresortedRun> runs;
  std::vector<uint32_t> rest;
  if (!sort_detail::FindPresortedRuns(count, keys, &runs, &rest)) return false;
  std::sort(rest.begin(), rest.end(),
            [&keys](uint32_t a, uint32_t b) { return keys.Compare(a, b) < 0; });
  sort_detail::MergePresortedRuns(count, keys, runs, rest);
  return true;
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_SORT_PRESORTED_H_
