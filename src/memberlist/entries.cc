// The entry store (records as packed references, their sort in the
// quicksort's order) and the exclusion's lookup of exclude keys.
#include "memberlist/entries.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "services/fileio.h"
#include "services/prefetch.h"
#include "services/sort.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

constexpr int kLengthBits = 24;
constexpr uint64_t kLongLength = (uint64_t{1} << kLengthBits) - 1;

// Up to eight bytes of `text` from `start` (below its length) on, in the
// order memory holds them, zero padded.
inline uint64_t WordAt(std::string_view text, size_t start) {
  uint64_t word = 0;
  const size_t rest = text.size() - start;
  if (rest >= 8) {
    std::memcpy(&word, text.data() + start, 8);
  } else if (std::endian::native == std::endian::little && text.size() >= 8) {
    // The last eight bytes of the text, shifted down to the rest: one load
    // instead of a copy of a length known only now.
    std::memcpy(&word, text.data() + text.size() - 8, 8);
    word >>= 8 * (8 - rest);
  } else {
    std::memcpy(&word, text.data() + start, rest);
  }
  return word;
}

// The eight bytes from `start` on, folded, big-endian and zero padded: a
// prefix that orders as the folded texts do where the words before it are
// equal.
inline uint64_t FoldedPrefix(std::string_view text, size_t start) {
  if (start >= text.size()) return 0;
  const uint64_t folded = FoldWord(WordAt(text, start));
  if constexpr (std::endian::native == std::endian::little) return SwapBytes(folded);
  return folded;
}

// WordAt upper-cased. Bytes below 0x80 are upper-cased eight at a time; the
// table's other pairs are all at or above 0x80, where a byte stays, so a
// word of such bytes goes through the table.
inline uint64_t UpperWord(std::string_view text, size_t start) {
  uint64_t word = WordAt(text, start);
  if (AsciiOnly(word)) return UpperAsciiWord(word);
  unsigned char bytes[8];
  std::memcpy(bytes, &word, 8);
  for (unsigned char& byte : bytes) byte = UpperByte(byte);
  std::memcpy(&word, bytes, 8);
  return word;
}

// Mixes eight upper-cased bytes at a time: a chain of one multiplication
// per byte would cost more than the rest of a lookup.
inline uint64_t UpperHash(std::string_view text) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  uint64_t hash = text.size() * kMultiplier;
  for (size_t start = 0; start < text.size(); start += 8) {
    hash = (hash ^ UpperWord(text, start)) * kMultiplier;
    hash ^= hash >> 29;
  }
  return hash;
}

// The hash the filter goes by: the text's length and its first and last
// eight bytes, upper-cased, mixed in two steps where the full hash takes one
// for every eight bytes. Texts that it cannot tell apart only pass the
// filter together, to be told apart by the full hash.
inline uint64_t FilterHash(std::string_view text) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const uint64_t first = text.empty() ? 0 : UpperWord(text, 0);
  const uint64_t last = text.size() > 8 ? UpperWord(text, text.size() - 8) : 0;
  uint64_t hash = (text.size() * kMultiplier ^ first) * kMultiplier;
  hash = (hash ^ hash >> 29 ^ last) * kMultiplier;
  return hash ^ hash >> 32;
}

// The slot a hash starts at: its low bits, as many as the table's size
// (a power of two) needs, which a 32-bit size_t holds.
size_t SlotOf(uint64_t hash, size_t mask) { return static_cast<size_t>(hash) & mask; }

std::string_view KeyOfEntry(std::string_view entry) {
  return !entry.empty() && entry[0] == '+' ? entry.substr(1) : entry;
}

// The exclude table's slots and filter words.
constexpr uint64_t kFree = UINT64_MAX;
uint64_t TagOf(uint64_t hash) { return hash >> 32 << 32; }
uint32_t KeyOfSlot(uint64_t slot) { return static_cast<uint32_t>(slot); }
size_t FilterWordOf(uint64_t hash, size_t filterMask) {
  return static_cast<size_t>(hash >> 32) & filterMask;
}
uint64_t FilterBitsOf(uint64_t hash) {
  return uint64_t{1} << (hash >> 52 & 63) | uint64_t{1} << (hash >> 58);
}

}  // namespace

EntryStore::EntryStore() { entries_.push_back({0, 0, 0}); }

size_t EntryStore::ReserveForLines(std::string_view readable) {
  const size_t lines = MostLines(readable);
  entries_.reserve(entries_.capacity() + lines);
  return lines;
}

void EntryStore::AddBuffer(std::string_view readable) {
  buffers_.push_back({readable.data(), nextBase_, readable.size()});
  // One spare offset keeps buffers apart even when one is empty.
  nextBase_ += readable.size() + 1;
}

EntryStore::Entry EntryStore::EntryFor(std::string_view record) const {
  if (record.empty()) return {0, 0, 0};
  const Buffer& buffer = buffers_.back();
  uint64_t offset = buffer.base + static_cast<uint64_t>(record.data() - buffer.data);
  uint64_t length = std::min<uint64_t>(record.size(), kLongLength);
  return {0, 0, offset << kLengthBits | length};
}

void EntryStore::Add(std::string_view record) { entries_.push_back(EntryFor(record)); }

void EntryStore::MoveDown(size_t from, size_t count, size_t to) {
  std::copy(entries_.begin() + static_cast<ptrdiff_t>(from),
            entries_.begin() + static_cast<ptrdiff_t>(from + count),
            entries_.begin() + static_cast<ptrdiff_t>(to));
}

std::string_view EntryStore::Decode(uint64_t ref) const {
  uint64_t length = ref & kLongLength;
  if (length == 0) return {};
  uint64_t offset = ref >> kLengthBits;
  size_t b = buffers_.size() - 1;
  while (b > 0 && buffers_[b].base > offset) --b;
  const Buffer& buffer = buffers_[b];
  // An offset into bytes held in memory, and a length below 2^24: both fit.
  size_t at = static_cast<size_t>(offset - buffer.base);
  const char* start = buffer.data + at;
  if (length < kLongLength) return std::string_view(start, static_cast<size_t>(length));
  // A record too long for the length field: it is a trimmed line, so its end
  // is found again from the line rule.
  std::string_view line = LineAt({buffer.data, buffer.readableEnd}, at);
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  return line;
}

std::string_view EntryStore::Text(size_t index) const { return Decode(entries_[index].ref); }

void EntryStore::Prefetch(size_t index) const {
  uint64_t ref = entries_[index].ref;
  if ((ref & kLongLength) == 0) return;
  uint64_t offset = ref >> kLengthBits;
  size_t b = buffers_.size() - 1;
  while (b > 0 && buffers_[b].base > offset) --b;
  // A long record is asked for as far as the length field tells.
  grenfel::PrefetchSpan(buffers_[b].data + static_cast<size_t>(offset - buffers_[b].base),
                        static_cast<size_t>(ref & kLongLength));
}

int EntryStore::CompareEntries(const Entry& a, const Entry& b) const {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  if (a.prefix2 != b.prefix2) return a.prefix2 < b.prefix2 ? -1 : 1;
  // The same record (every partition meets its pivot's own): no need to
  // fetch its text.
  if (a.ref == b.ref) return 0;
  // A long record's length field holds kLongLength, more than 16, which is
  // all the shortcut needs to know of it: the prefixes hold every byte of
  // the shorter one, and the other is at least as long.
  uint64_t lengthA = a.ref & kLongLength, lengthB = b.ref & kLongLength;
  if (std::min(lengthA, lengthB) <= 16) return lengthA < lengthB ? -1 : lengthA > lengthB ? 1 : 0;
  // Both are longer than 16 bytes here, and their first 16 compared equal.
  std::string_view textA = Decode(a.ref), textB = Decode(b.ref);
  return CompareFolded(textA.substr(16), textB.substr(16));
}

// A part of the entries as the ranking sees them: their two prefixes, then
// the comparison of the texts.
struct EntryStore::SortKeys {
  static constexpr int kWords = 2;
  const EntryStore& store;
  const Entry* part;
  // Records of equal text from different lines are told apart by the lines
  // a change report names, so their order must be the quicksort's too.
  bool linesMatter;

  uint64_t Word(uint32_t index, int w) const {
    return w == 0 ? part[index].prefix : part[index].prefix2;
  }
  int Compare(uint32_t a, uint32_t b) const { return store.CompareEntries(part[a], part[b]); }
  bool SameText(uint32_t a, uint32_t b) const {
    if (part[a].ref == part[b].ref) return true;
    return !linesMatter && store.Decode(part[a].ref) == store.Decode(part[b].ref);
  }
};

// The entries as RankPresorted sees them; an entry's rank goes into its
// first prefix, which no comparison reads after the rank is set.
struct EntryStore::PresortedKeys {
  const EntryStore& store;
  Entry* entries;

  int Compare(uint32_t a, uint32_t b) const { return store.CompareEntries(entries[a], entries[b]); }
  bool Lowest(uint32_t a) const { return (entries[a].ref & kLongLength) == 0; }
  void SetRank(uint32_t a, uint32_t rank) { entries[a].prefix = rank; }
};

bool EntryStore::SortPresorted() {
  // Smaller lists are not worth a second road.
  constexpr size_t kPresortedMinimum = size_t{1} << 12;
  const size_t n = entries_.size();
  if (n < kPresortedMinimum || n >= UINT32_MAX - 1) return false;
  PresortedKeys keys{*this, entries_.data()};
  if (!RankPresorted(n, keys)) return false;

  // The rank quicksort runs in the memory of the entries, with no second
  // array: of the three words of entry i (rank, spare, ref), the ranked
  // items take words 0 to n - 1. The refs that lie there (those of the first
  // k = n / 3 entries) first move into the spare word of entry i + k + 1,
  // which lies past word n.
  static_assert(sizeof(Entry) == 3 * sizeof(uint64_t));
  uint64_t* words = reinterpret_cast<uint64_t*>(entries_.data());
  const size_t k = n / 3;
  ForBothHalves(0, k, [words, k](size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i) words[3 * (i + k + 1) + 1] = words[3 * i + 2];
  });
  // Word i is written once word 3i, the rank it packs, was read. Past the
  // first items they go in stretches [a, 3a), which read only words from 3a
  // on, not yet written, and write only words that the stretches before read:
  // each stretch may run on both threads.
  auto pack = [words](size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i) {
      words[i] = MakeRankedItem(static_cast<uint32_t>(words[3 * i]), static_cast<uint32_t>(i));
    }
  };
  size_t packed = std::min(n, kTwoThreadMinimum);
  pack(0, packed, 0);
  for (; packed < n; packed = std::min(n, 3 * packed)) {
    ForBothHalves(packed, std::min(n, 3 * packed), pack);
  }
  // The quicksort's own order of equal keys, which the output needs; on
  // these orders its partitions are cheap.
  QuickSortRanksDescending(words, n);
  // Position p takes the ref of the item that ends there (read from past
  // word n, so the halves may run at once); then the entries are spread out
  // again from the back: entry p's words lie at or after word p.
  ForBothHalves(0, n, [words, k](size_t begin, size_t end, int) {
    for (size_t p = begin; p < end; ++p) {
      size_t index = PayloadOf(words[p]);
      words[p] = index < k ? words[3 * (index + k + 1) + 1] : words[3 * index + 2];
    }
  });
  // Entry p takes words 3p to 3p + 2 once word p was read, so the entries
  // go back to front. Past the first ones they go in stretches
  // [ceil(b / 3), b), which read only their own words and write only from
  // word b on, which no stretch after reads: each may run on both threads.
  Entry* entries = entries_.data();
  auto spread = [words, entries](size_t begin, size_t end, int) {
    for (size_t p = end; p-- > begin;) {
      uint64_t ref = words[p];
      entries[p] = {0, 0, ref};
    }
  };
  size_t unspread = n;
  for (; unspread > kTwoThreadMinimum; unspread = (unspread + 2) / 3) {
    ForBothHalves((unspread + 2) / 3, unspread, spread);
  }
  spread(0, unspread, 0);
  return true;
}

void EntryStore::SortDescendingFolded(bool linesMatter) {
  ForBothHalves(0, entries_.size(), [this](size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i) {
      std::string_view text = Decode(entries_[i].ref);
      entries_[i].prefix = FoldedPrefix(text, 0);
      entries_[i].prefix2 = FoldedPrefix(text, 8);
    }
  });
  if (SortPresorted()) return;
  Entry* entries = entries_.data();
  QuickSortDescendingOnTwoThreads(
      entries, static_cast<int64_t>(entries_.size()),
      [this](const Entry& a, const Entry& b) {
        // Most pairs differ in their prefixes: settle those here.
        if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
        return CompareEntries(a, b);
      },
      // Where partitions come out lopsided (a sorted list followed by its
      // reverse), the part goes through ranks: the same order, without the
      // scans that would take the square of its length.
      [this, entries, linesMatter](int64_t lo, int64_t hi) {
        return SortPartThroughRanks(entries, lo, hi, [this, linesMatter](const Entry* part) {
          return SortKeys{*this, part, linesMatter};
        });
      });
}

ExcludeTable MakeExcludeTable(const ExcludeKeys& keys) {
  ExcludeTable table;
  table.keys = &keys;
  if (keys.size() == 0 || keys.Key(0).empty()) return table;
  size_t capacity = 16;
  while (capacity < keys.size() * 2) capacity <<= 1;
  const size_t mask = capacity - 1;
  table.slots.assign(capacity, kFree);
  size_t filterWords = 1;
  while (filterWords < keys.size() / 4) filterWords <<= 1;
  const size_t filterMask = filterWords - 1;
  table.filter.assign(filterWords, 0);
  HashesAhead filterHashes(
      0, keys.size(), [&keys](size_t k) { return FilterHash(keys.Key(k)); },
      [&](uint64_t hash) { Prefetch(&table.filter[FilterWordOf(hash, filterMask)]); });
  for (size_t k = 0; k < keys.size(); ++k) {
    const uint64_t hash = filterHashes.Take(k);
    table.filter[FilterWordOf(hash, filterMask)] |= FilterBitsOf(hash);
  }
  std::vector<uint64_t>& slots = table.slots;
  HashesAhead keyHashes(
      0, keys.size(), [&keys](size_t k) { return UpperHash(keys.Key(k)); },
      [&](uint64_t hash) { Prefetch(&slots[SlotOf(hash, mask)]); });
  // An entry is blanked by the first exclude key that equals it: only that
  // one is kept.
  for (size_t k = 0; k < keys.size(); ++k) {
    std::string_view key = keys.Key(k);
    uint64_t hash = keyHashes.Take(k);
    for (size_t slot = SlotOf(hash, mask);; slot = (slot + 1) & mask) {
      if (slots[slot] == kFree) {
        slots[slot] = TagOf(hash) | k;
        break;
      }
      if ((slots[slot] ^ hash) >> 32 == 0 && EqualUpper(keys.Key(KeyOfSlot(slots[slot])), key)) {
        break;
      }
    }
  }
  return table;
}

void ExclusionNotes::Append(const ExclusionNotes& later) {
  namingKeys.insert(namingKeys.end(), later.namingKeys.begin(), later.namingKeys.end());
  records.insert(records.end(), later.records.begin(), later.records.end());
}

void BlankExcludedRange(const ExcludeTable& table, EntryStore* entries, size_t begin, size_t end,
                        ExclusionNotes* notes) {
  if (table.slots.empty() || begin >= end) return;
  const ExcludeKeys& keys = *table.keys;
  const std::vector<uint64_t>& slots = table.slots;
  const std::vector<uint64_t>& filter = table.filter;
  const size_t mask = slots.size() - 1, filterMask = filter.size() - 1;
  // A chunk at a time: every entry given its filter hash, its filter word
  // asked for; then the few that pass the filter given their full hash,
  // their slots asked for; then their probes. By the time each step reads
  // what the one before asked for, it is here.
  constexpr size_t kChunk = 512;
  std::string_view texts[kChunk];
  uint64_t hashes[kChunk];
  uint32_t passing[kChunk];
  for (size_t chunk = begin; chunk < end; chunk += kChunk) {
    const size_t count = std::min(kChunk, end - chunk);
    for (size_t c = 0; c < count; ++c) {
      texts[c] = entries->Text(chunk + c);
      hashes[c] = FilterHash(KeyOfEntry(texts[c]));
      Prefetch(&filter[FilterWordOf(hashes[c], filterMask)]);
    }
    size_t passed = 0;
    for (size_t c = 0; c < count; ++c) {
      const uint64_t bits = FilterBitsOf(hashes[c]);
      if ((filter[FilterWordOf(hashes[c], filterMask)] & bits) != bits) continue;
      // The full hash takes the filter hash's place, which is done with.
      hashes[passed] = UpperHash(KeyOfEntry(texts[c]));
      passing[passed++] = static_cast<uint32_t>(c);
      Prefetch(&slots[SlotOf(hashes[passed - 1], mask)]);
    }
    for (size_t p = 0; p < passed; ++p) {
      const size_t i = chunk + passing[p];
      const uint64_t hash = hashes[p];
      std::string_view entry = texts[passing[p]];
      if (entry.empty()) continue;
      std::string_view key = KeyOfEntry(entry);
      for (size_t slot = SlotOf(hash, mask); slots[slot] != kFree; slot = (slot + 1) & mask) {
        if ((slots[slot] ^ hash) >> 32 != 0) continue;
        uint32_t k = KeyOfSlot(slots[slot]);
        if (EqualUpper(key, keys.Key(k))) {
          if (notes->keepRecords) notes->records.push_back({entry, k});
          entries->Blank(i);
          notes->namingKeys.push_back(k);
          break;
        }
      }
    }
  }
}

int64_t CountExcluded(const ExcludeTable& table, const ExclusionNotes& notes,
                      std::vector<int64_t>* countAfterKey) {
  std::vector<int64_t>& counts = *countAfterKey;
  counts.assign(table.keys->size(), 0);
  for (uint32_t k : notes.namingKeys) ++counts[k];
  for (size_t k = 1; k < counts.size(); ++k) counts[k] += counts[k - 1];
  return static_cast<int64_t>(notes.namingKeys.size());
}

int64_t BlankExcluded(const ExcludeKeys& keys, EntryStore* entries,
                      std::vector<int64_t>* countAfterKey) {
  const ExcludeTable table = MakeExcludeTable(keys);
  ExclusionNotes notes;
  BlankExcludedRange(table, entries, 1, entries->size(), &notes);
  return CountExcluded(table, notes, countAfterKey);
}

}  // namespace grenfel
