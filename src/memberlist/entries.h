// The records of a list as compact references into the bytes of the files
// they were read from: no heap string per record. Sorting moves 24-byte
// entries that carry a folded 16-byte prefix of their text, so most
// comparisons never leave the array.
#ifndef GRENFEL_MEMBERLIST_ENTRIES_H_
#define GRENFEL_MEMBERLIST_ENTRIES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "services/unset_vector.h"

namespace grenfel {

class EntryStore {
 public:
  // Starts with the empty entry at index 0, which never holds a record.
  EntryStore();

  // Makes room for one entry per line of a file's readable bytes. Called
  // for every file before any record is added, it spares the array from
  // growing (and briefly holding its old and new copies).
  // Returns the number of lines it made room for.
  size_t ReserveForLines(std::string_view readable);
  // Makes the readable bytes of one file known; the records added next must
  // be views into them. The bytes must outlive the store.
  void AddBuffer(std::string_view readable);
  // Stores a record (a trimmed line of the last buffer, or empty) as the next
  // entry.
  void Add(std::string_view record);
  // Entries filled in place, by two threads at once if need be: `count`
  // more entries are made (within the room reserved), each then set once by
  // Set; MoveDown and Truncate close the gaps of room left unused.
  void Grow(size_t count) { entries_.resize(entries_.size() + count); }
  void Set(size_t index, std::string_view record) { entries_[index] = EntryFor(record); }
  void MoveDown(size_t from, size_t count, size_t to);
  void Truncate(size_t size) { entries_.resize(size); }

  size_t size() const { return entries_.size(); }
  std::string_view Text(size_t index) const;
  // Asks for the text of an entry to be brought into the cache: a walk in
  // sorted order visits the texts in no order the hardware can guess.
  void Prefetch(size_t index) const;
  void Blank(size_t index) { entries_[index].ref = 0; }

  // Sorts every entry, index 0 included, descending by the case-folded
  // comparison (a to z count as A to Z), with the array quicksort whose order
  // of equal keys is part of the output. Equal texts may change places
  // unless `linesMatter` (a change report names the line of each record).
  void SortDescendingFolded(bool linesMatter);

 private:
  struct Entry {
    uint64_t prefix;   // the first 8 folded bytes, big-endian, zero padded
    uint64_t prefix2;  // the next 8
    uint64_t ref;      // offset << 24 | length, or kLongLength for long ones
  };
  struct Buffer {
    const char* data;
    uint64_t base;  // offset of its first byte in the store's offset space
    size_t readableEnd;
  };

  struct SortKeys;
  struct PresortedKeys;

  // The sort of a list that is mostly in order already; false, with nothing
  // changed, for any other.
  bool SortPresorted();

  Entry EntryFor(std::string_view record) const;
  std::string_view Decode(uint64_t ref) const;
  int CompareEntries(const Entry& a, const Entry& b) const;

  std::vector<Buffer> buffers_;
  uint64_t nextBase_ = 0;
  // Grow leaves its entries unset, for the threads that fill them.
  UnsetVector<Entry> entries_;
};

// The keys of the exclude list in file order: each line trimmed, compared
// upper-cased. Views into the exclude file's bytes, which must outlive them.
class ExcludeKeys {
 public:
  void Reserve(size_t count) { keys_.reserve(count); }
  void Add(std::string_view trimmedLine) { keys_.push_back(trimmedLine); }
  size_t size() const { return keys_.size(); }
  std::string_view Key(size_t index) const { return keys_[index]; }

 private:
  std::vector<std::string_view> keys_;
};

// A record the exclusion blanked, and the index of the exclude key that
// named it.
struct ExcludedEntry {
  std::string_view record;
  uint32_t key;
};

// The exclude keys made ready for lookups: open addressing over the first
// occurrence of each distinct key, behind a small filter that turns most
// other texts away. Made from the keys alone (they must outlive it), so it
// can be made while the list is still being read.
struct ExcludeTable {
  const ExcludeKeys* keys = nullptr;
  // Each slot: the high half of its key's hash beside the key's index, so
  // a probe that meets another key costs no second memory access.
  std::vector<uint64_t> slots;
  // Two bits a key in one word of a table some eight times smaller than
  // the slots, which stays in the cache.
  std::vector<uint64_t> filter;
};
// An empty table, whose filter is off, when there are no keys or the first
// is empty.
ExcludeTable MakeExcludeTable(const ExcludeKeys& keys);

// What the exclusion noted of the entries it blanked, in entry order: the
// key that named each and, with `keepRecords`, the records.
struct ExclusionNotes {
  bool keepRecords = false;
  std::vector<uint32_t> namingKeys;
  std::vector<ExcludedEntry> records;

  // Adds the notes of entries that come after these.
  void Append(const ExclusionNotes& later);
};

// Blanks every entry from `begin` to `end` whose key (the entry without a
// leading "+") equals an exclude key, both upper-cased, and notes each. Each
// entry is looked up once in the table; the result is the same as trying
// every exclude key against every entry in turn. Two threads may blank
// ranges of one store at once, each into notes of its own. An empty first
// key switches the filter off.
void BlankExcludedRange(const ExcludeTable& table, EntryStore* entries, size_t begin, size_t end,
                        ExclusionNotes* notes);
// `countAfterKey[k]` receives the number blanked by the keys 0 to k, so that
// progress shown per key can be replayed. Returns the number blanked.
int64_t CountExcluded(const ExcludeTable& table, const ExclusionNotes& notes,
                      std::vector<int64_t>* countAfterKey);
// Every entry after the empty one at index 0, on this thread, with a table
// made here: BlankExcludedRange, then CountExcluded.
int64_t BlankExcluded(const ExcludeKeys& keys, EntryStore* entries,
                      std::vector<int64_t>* countAfterKey);

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_ENTRIES_H_
