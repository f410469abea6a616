// The template of the ranking of a mostly sorted array that sort.h
// declares: its long ascending runs and the sorted rest, merged.
#ifndef GRENFEL_SERVICES_SORT_PRESORTED_H_
#define GRENFEL_SERVICES_SORT_PRESORTED_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/sort.h"

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

// Ranks the items 0 to count - 1: the lowest ones 0, the others by merging
// the runs with the rest, sorted.
template <typename Keys>
void MergePresortedRuns(size_t count, Keys& keys, const std::vector<PresortedRun>& runs,
                        const std::vector<uint32_t>& rest) {
  for (uint32_t i = 0; i < count; ++i) {
    if (keys.Lowest(i)) keys.SetRank(i, 0);
  }
  // A source is a run or the rest, its head the item it gives next. Sources
  // are few, so the smallest head is found by looking at all.
  struct Source {
    size_t at, end;
    bool isRest;
  };
  std::vector<Source> sources;
  for (const PresortedRun& run : runs) sources.push_back({run.begin, run.end, false});
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
