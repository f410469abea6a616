// The writing of a processed list into its companion (or into memory):
// record by record, or in parts formatted on two threads.
#include "memberlist/list_writer.h"

#include <algorithm>
#include <cstring>

#include "services/console.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

constexpr int64_t kPrefetchDistance = 16;

// The records at indices `from` down to `to` (>= 0), formatted as
// WriteRecords writes them when no record starts with "+" (every line
// prefix is empty), after a record `lastWritten`; `changes`, when given,
// receives the part's rows of the walk.
int64_t FormatRecords(const EntryStore& entries, int64_t from, int64_t to,
                      std::string_view lastWritten, bool removeDuplicates, std::string* out,
                      ListChanges* changes) {
  int64_t duplicates = 0;
  for (int64_t index = from; index >= to; --index) {
    if (index - kPrefetchDistance >= to) {
      entries.Prefetch(static_cast<size_t>(index - kPrefetchDistance));
    }
    std::string_view entry = entries.Text(static_cast<size_t>(index));
    if (entry.empty()) continue;
    // Neighbours seldom match: comparing with the record before settles
    // most records without a search for their "@".
    if (removeDuplicates && EqualUpper(entry, lastWritten) &&
        std::memchr(entry.data(), '@', entry.size()) != nullptr) {
      ++duplicates;
      if (changes != nullptr) changes->DuplicateDropped(entry, lastWritten);
      continue;
    }
    out->append(entry);
    out->append("\r\n");
    if (changes != nullptr) changes->RecordWritten(entry);
    lastWritten = entry;
  }
  return duplicates;
}

// The records of WriteRecords, for a long list with no record starting with
// "+": formatted in parts on two threads, written in order. The walk needs
// only the record before each part: the empty entries sort last, so that
// record is the entry just before the part unless the part begins among the
// empties; and where that entry was dropped as a repeat, it equals, in upper
// case, the record that was written. The rows of a change report are
// gathered part by part and added in order.
void WriteRecordsOnTwoThreads(const std::string& listName, const EntryStore& entries,
                              bool removeDuplicates, WritableFile* out, ListChanges* changes,
                              WriteResult* result) {
  constexpr int64_t kPartLength = int64_t{1} << 15;
  const int64_t last = static_cast<int64_t>(entries.size()) - 2;
  int64_t lastNonEmpty = last;
  while (lastNonEmpty >= 0 && entries.Text(static_cast<size_t>(lastNonEmpty)).empty()) {
    --lastNonEmpty;
  }
  const size_t parts = static_cast<size_t>((last + kPartLength) / kPartLength);
  std::vector<int64_t> duplicates(parts, 0);
  std::vector<ListChanges> partChanges;
  if (changes != nullptr) partChanges.resize(parts, changes->EmptyPart());
  TitleClock clock;
  const std::string titleStart = std::string(kTitlePrefix) + "Writing " + listName + " [";
  FormatChunksInOrder(
      parts,
      [&](size_t part, std::string* bytes) {
        const int64_t from = last - static_cast<int64_t>(part) * kPartLength;
        const int64_t to = std::max<int64_t>(from - kPartLength + 1, 0);
        std::string_view before =
            from < lastNonEmpty ? entries.Text(static_cast<size_t>(from + 1)) : std::string_view();
        duplicates[part] = FormatRecords(entries, from, to, before, removeDuplicates, bytes,
                                         changes != nullptr ? &partChanges[part] : nullptr);
      },
      [&, next = last, part = size_t{0}](std::string_view bytes) mutable {
        if (result->status.ok()) result->status = out->Append(bytes);
        if (changes != nullptr) {
          changes->AddPartOfWalk(partChanges[part]);
          partChanges[part] = changes->EmptyPart();  // its rows are not needed again
        }
        ++part;
        next -= kPartLength;
        if (clock.Moved() && next >= 0) {
          SetTitle(titleStart + NumberText(static_cast<double>(next)) + "]");
        }
      });
  for (int64_t count : duplicates) result->duplicateCount += count;
}

}  // namespace

// Writes the head block, then the records ascending (the array is sorted
// descending, so it is walked backwards), without empties and, under /ND,
// without an address that repeats the record written just before it.
WriteResult WriteRecords(const std::string& listName, const MemberList& list, bool removeDuplicates,
                         WritableFile* out) {
  WriteResult result;
  auto append = [&](std::string_view bytes) {
    if (result.status.ok()) result.status = out->Append(bytes);
  };
  ListChanges* changes = list.changes;
  for (std::string_view line : list.head) {
    append(line);
    append("\r\n");
    if (changes != nullptr) changes->HeadLineWritten(line);
  }
  const EntryStore& entries = list.entries;
  if (!list.oneThread && !list.hasPlusRecord && entries.size() >= kTwoThreadMinimum) {
    WriteRecordsOnTwoThreads(listName, entries, removeDuplicates, out, changes, &result);
    return result;
  }
  std::string_view linePrefix;
  std::string_view lastWritten;
  TitleClock clock;
  std::string titleStart = std::string(kTitlePrefix) + "Writing " + listName + " [";
  // Signed before subtracting: a list held wholly in its head block has only
  // the entry at index 0, and size() - 2 in a 32-bit size_t is four billion.
  for (int64_t index = static_cast<int64_t>(entries.size()) - 2; index >= 0 && result.status.ok();
       --index) {
    if (index >= kPrefetchDistance)
      entries.Prefetch(static_cast<size_t>(index - kPrefetchDistance));
    if (clock.Due()) SetTitle(titleStart + NumberText(static_cast<double>(index)) + "]");
    std::string_view entry = entries.Text(static_cast<size_t>(index));
    if (entry.empty()) continue;
    if (std::memchr(entry.data(), '@', entry.size()) != nullptr) {
      if (removeDuplicates && EqualUpper(entry, lastWritten)) {
        ++result.duplicateCount;
        if (changes != nullptr) changes->DuplicateDropped(entry, lastWritten);
        continue;
      }
      if (list.hasPlusRecord) linePrefix = entry[0] == '+' ? "" : " ";
    }
    append(linePrefix);
    append(entry);
    append("\r\n");
    if (changes != nullptr) changes->RecordWritten(entry);
    lastWritten = entry;
  }
  return result;
}

}  // namespace grenfel
