// The template of the ranking of a mostly sorted array that sort.h
// declares: its long ascending runs and the sorted rest, merged.
#ifndef GRENFEL_SERVICES_SORT_PRESORTED_H_
#define GRENFEL_SERVICES_SORT_PRESORTED_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
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

// Item by item, whether its key equals that of the item not among the
// lowest before it in its run, as the walk that found the runs compared
// them: the merge need not compare them again.
struct TiesInRuns {
  std::vector<uint64_t> bits;
  explicit TiesInRuns(size_t count) : bits((count + 63) / 64) {}
  void Set(uint32_t item) { bits[item / 64] |= uint64_t{1} << (item % 64); }
  bool Of(size_t item) const { return (bits[item / 64] >> (item % 64) & 1) != 0; }
};

// A stretch of items in ascending order, from `begin` (its first item not
// among the lowest, `first`) to `end`; `last` is its last item not among
// the lowest, `length` the number of those.
struct WalkedRun {
  uint32_t begin = 0, end = 0, first = 0, last = 0;
  size_t length = 0;
};

// A long run goes to `runs`; the items of a short one, not the lowest, to
// the rest.
template <typename Keys>
void CloseRun(const WalkedRun& run, Keys& keys, std::vector<PresortedRun>* runs,
              std::vector<uint32_t>* rest) {
  if (run.length >= kLongRun) {
    runs->push_back({run.begin, run.end});
    return;
  }
  for (uint32_t p = run.begin; p < run.end; ++p) {
    if (!keys.Lowest(p)) rest->push_back(p);
  }
}

// What a walk over the items from `begin` to `end` found: its runs and its
// rest, in the order they stand, with the first run or the last one held
// back (not closed) where asked, for the walk of the part next to it.
struct RunWalk {
  std::vector<PresortedRun> runs;
  std::vector<uint32_t> rest;
  WalkedRun first, last;  // length 0: none held
};

// Walks the items from `begin` to `end`, noting the ties within runs.
// False as soon as the runs or the rest pass what a mostly sorted array has:
// a shuffled array ends the walk after a kRestShare-th of it.
template <typename Keys>
bool WalkRuns(uint32_t begin, uint32_t end, Keys& keys, size_t restLimit, bool holdFirst,
              bool holdLast, TiesInRuns* ties, RunWalk* walk) {
  WalkedRun run;
  bool firstPast = !holdFirst;
  auto close = [&](uint32_t at) {
    run.end = at;
    if (!firstPast) {
      walk->first = run;
      firstPast = true;
      return true;
    }
    CloseRun(run, keys, &walk->runs, &walk->rest);
    return walk->runs.size() <= kMostRuns && walk->rest.size() <= restLimit;
  };
  for (uint32_t i = begin; i < end; ++i) {
    if (keys.Lowest(i)) continue;
    if (run.length > 0) {
      const int order = keys.Compare(run.last, i);
      if (order > 0) {
        if (!close(i)) return false;
        run.length = 0;
      } else if (order == 0) {
        ties->Set(i);
      }
    }
    if (run.length == 0) run.begin = run.first = i;
    run.last = i;
    ++run.length;
  }
  if (run.length == 0) return true;
  if (holdLast && firstPast) {
    run.end = end;
    walk->last = run;
    return true;
  }
  return close(end);
}

// Finds the long runs of the items 0 to count - 1 and the rest, the items
// outside them that are not the lowest, in the order they stand, and notes
// the ties within runs. False when the items are not mostly sorted. The
// array is walked in two parts, at once when it is long, cut at a multiple
// of 64 items (the parts note their ties in words of their own); the run
// that the cut goes through is joined again.
template <typename Keys>
bool FindPresortedRuns(size_t count, Keys& keys, std::vector<PresortedRun>* runs,
                       std::vector<uint32_t>* rest, TiesInRuns* ties) {
  const size_t restLimit = count / kRestShare;
  const uint32_t cut = static_cast<uint32_t>(count / 2) & ~63u;
  RunWalk parts[2];
  bool walked[2] = {false, false};
  ForBothHalves(0, count, [&](size_t, size_t, int half) {
    walked[half] = half == 0 ? WalkRuns(0, cut, keys, restLimit, false, true, ties, &parts[0])
                             : WalkRuns(cut, static_cast<uint32_t>(count), keys, restLimit, true,
                                        false, ties, &parts[1]);
  });
  if (!walked[0] || !walked[1]) return false;
  *runs = std::move(parts[0].runs);
  *rest = std::move(parts[0].rest);
  const WalkedRun &before = parts[0].last, &after = parts[1].first;
  const int order =
      before.length > 0 && after.length > 0 ? keys.Compare(before.last, after.first) : 1;
  if (order <= 0) {
    if (order == 0) ties->Set(after.first);
    WalkedRun joined = before;
    joined.end = after.end;
    joined.last = after.last;
    joined.length += after.length;
    CloseRun(joined, keys, runs, rest);
  } else {
    if (before.length > 0) CloseRun(before, keys, runs, rest);
    if (after.length > 0) CloseRun(after, keys, runs, rest);
  }
  runs->insert(runs->end(), parts[1].runs.begin(), parts[1].runs.end());
  rest->insert(rest->end(), parts[1].rest.begin(), parts[1].rest.end());
  return runs->size() <= kMostRuns && rest->size() <= restLimit;
}

// A run or the rest, as a source of items for the merge: positions of a
// run, or places in the rest, from `at` to `end`; its head is the item it
// gives next, never one of the lowest.
struct MergeSource {
  size_t at, end;
  bool isRest;
};

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

// Where the items of a run source with keys below that of `bound` end,
// from its head on: stretches that double in length are passed while their
// last item not among the lowest is below, then CutBelow finds the end in
// the stretch that holds it. The place is near, mostly.
template <typename Keys>
size_t GallopBelow(const MergeSource& run, const std::vector<uint32_t>& rest, Keys& keys,
                   uint32_t bound) {
  for (size_t from = run.at, step = 1; from < run.end; step *= 2) {
    const size_t to = std::min(run.end, from + step);
    uint32_t last = static_cast<uint32_t>(to - 1);
    while (last > from && keys.Lowest(last)) --last;
    if (keys.Lowest(last) || keys.Compare(last, bound) < 0) {
      from = to;
      continue;
    }
    return CutBelow({from, to, false}, rest, keys, bound);
  }
  return run.end;
}

// Merges the sources, ranking their items from `firstRank` on, in key order.
// Once a run gives its head, the items of it that come before every other
// source's head follow at once, ranked by the ties noted in the run.
template <typename Keys>
void MergeSources(std::vector<MergeSource> sources, const std::vector<uint32_t>& rest, Keys& keys,
                  const TiesInRuns& ties, uint32_t firstRank) {
  auto head = [&rest](const MergeSource& s) {
    return s.isRest ? rest[s.at] : static_cast<uint32_t>(s.at);
  };
  auto skipLowest = [&keys](MergeSource& s) {
    while (!s.isRest && s.at < s.end && keys.Lowest(static_cast<uint32_t>(s.at))) ++s.at;
  };
  bool started = false;
  uint32_t rank = 0, previous = 0, previousRank = 0;
  // The item before is ranked once it has been compared with this one.
  auto take = [&](uint32_t item, bool tiesPrevious) {
    if (started) {
      if (!tiesPrevious) ++rank;
      keys.SetRank(previous, previousRank);
    } else {
      rank = firstRank;
      started = true;
    }
    previous = item;
    previousRank = rank;
  };
  // Sources are few: the smallest head is found by looking at all.
  while (!sources.empty()) {
    size_t smallest = 0;
    for (size_t s = 1; s < sources.size(); ++s) {
      if (keys.Compare(head(sources[s]), head(sources[smallest])) < 0) smallest = s;
    }
    MergeSource& source = sources[smallest];
    const uint32_t item = head(source);
    take(item, started && keys.Compare(previous, item) == 0);
    ++source.at;
    skipLowest(source);
    if (!source.isRest && source.at < source.end) {
      // The smallest head of the others bounds what the run gives now.
      const MergeSource* next = nullptr;
      for (const MergeSource& other : sources) {
        if (&other != &source && (next == nullptr || keys.Compare(head(other), head(*next)) < 0)) {
          next = &other;
        }
      }
      const size_t end =
          next == nullptr ? source.end : GallopBelow(source, rest, keys, head(*next));
      for (; source.at < end; ++source.at) {
        const uint32_t p = static_cast<uint32_t>(source.at);
        if (!keys.Lowest(p)) take(p, ties.Of(p));
      }
      skipLowest(source);
    }
    if (source.at >= source.end) {
      sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(smallest));
    }
  }
  if (started) keys.SetRank(previous, previousRank);
}

// Ranks the items 0 to count - 1: the lowest ones 0, the others by merging
// the runs with the rest, sorted. A long array is cut at the key of the
// middle item of its longest run: the sources' items below it are merged on
// this thread, the others on a second one, ranked from past the count of
// the first ones (ranks rise with the keys; they need not follow each
// other).
template <typename Keys>
void MergePresortedRuns(size_t count, Keys& keys, const std::vector<PresortedRun>& runs,
                        const std::vector<uint32_t>& rest, const TiesInRuns& ties) {
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
    return MergeSources(sources, rest, keys, ties, 1);
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
      MergeSources(below, rest, keys, ties, 1);
    } else {
      MergeSources(above, rest, keys, ties, static_cast<uint32_t>(belowCount) + 1);
    }
  });
}

}  // namespace sort_detail

template <typename Keys>
bool RankPresorted(size_t count, Keys& keys) {
  std::vector<sort_detail::PresortedRun> runs;
  std::vector<uint32_t> rest;
  sort_detail::TiesInRuns ties(count);
  if (!sort_detail::FindPresortedRuns(count, keys, &runs, &rest, &ties)) return false;
  std::sort(rest.begin(), rest.end(),
            [&keys](uint32_t a, uint32_t b) { return keys.Compare(a, b) < 0; });
  sort_detail::MergePresortedRuns(count, keys, runs, rest, ties);
  return true;
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_SORT_PRESORTED_H_
