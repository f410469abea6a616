#include "grouping/grouped_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "services/prefetch.h"
#include "services/sort.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

using ByteMap = std::array<unsigned char, 256>;

// The byte maps under the comparisons. A domain is lower-cased before it is
// folded; a record without "@" is its own key and only folded.
struct ByteMaps {
  ByteMap identity;
  ByteMap lower;
  ByteMap fold;
  ByteMap domainFold;  // kFoldTable after kLowerTable
};

const ByteMaps& Maps() {
  static const ByteMaps maps = [] {
    ByteMaps m;
    for (size_t c = 0; c < 256; ++c) {
      m.identity[c] = static_cast<unsigned char>(c);
      m.lower[c] = kLowerTable[c];
      m.fold[c] = kFoldTable[c];
      m.domainFold[c] = kFoldTable[kLowerTable[c]];
    }
    return m;
  }();
  return maps;
}

// A text seen through a byte map, compared without building the mapped copy.
struct MappedText {
  const unsigned char* bytes;
  size_t length;
  const unsigned char* map;
};

const unsigned char* Bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

int CompareMapped(const MappedText& a, const MappedText& b) {
  size_t common = std::min(a.length, b.length);
  for (size_t i = 0; i < common; ++i) {
    unsigned x = a.map[a.bytes[i]], y = b.map[b.bytes[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.length == b.length) return 0;
  return a.length < b.length ? -1 : 1;
}

// `count` (at most 8) bytes from `start` on, big-endian and zero padded:
// such words order as the texts they are cut from, except that equal words
// decide nothing.
uint64_t MappedWord(const MappedText& text, size_t start, size_t count) {
  uint64_t word = 0;
  for (size_t i = start; i < start + count; ++i) {
    word = word << 8 | (i < text.length ? text.map[text.bytes[i]] : 0);
  }
  return word;
}

uint64_t MappedHash(const MappedText& text) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < text.length; ++i) {
    hash = (hash ^ text.map[text.bytes[i]]) * 1099511628211ull;
  }
  return hash ^ (hash >> 29);
}

// Position of the first "@", or npos.
size_t FindAt(std::string_view record) { return record.find('@'); }

// Gives each distinct domain string an id, in order of first appearance,
// and later a rank. The strings are kept mapped, each behind its id and
// length, in one block of their own (far fewer bytes than the list), and
// the hash slots point right at them, so a lookup that was asked for ahead
// (PrefetchSlot, then PrefetchName) finds both in the cache.
class DomainTable {
 public:
  static constexpr uint32_t kFull = UINT32_MAX;
  static constexpr uint32_t kUnknown = UINT32_MAX - 1;

  DomainTable() : slots_(1024, 0), names_(8, '\0') {}

  void PrefetchSlot(uint64_t hash) const { Prefetch(&slots_[SlotOf(hash)]); }
  void PrefetchName(uint64_t hash) const {
    uint64_t held = slots_[SlotOf(hash)];
    if (held != 0) Prefetch(names_.data() + static_cast<uint32_t>(held));
  }

  // The id of a known string, or kUnknown. Changes nothing, so threads may
  // ask at once.
  uint32_t Find(const MappedText& text, uint64_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(hash);; slot = (slot + 1) & mask) {
      uint64_t held = slots_[slot];
      if (held == 0) return kUnknown;
      if ((held >> 32) != (hash >> 32)) continue;
      uint32_t offset = static_cast<uint32_t>(held);
      if (LengthAt(offset) == text.length && CompareMapped(MappedAt(offset), text) == 0) {
        return Read32(offset);
      }
    }
  }

  // The id of the string, a new one when it is not known yet; kFull when the
  // strings would pass 4 GiB.
  uint32_t IdOf(const MappedText& text, uint64_t hash) {
    if (uint32_t known = Find(text, hash); known != kUnknown) return known;
    if (names_.size() + 8 + text.length > UINT32_MAX) return kFull;
    uint32_t id = count_++;
    uint32_t offset = static_cast<uint32_t>(names_.size());
    names_.resize(offset + 8 + text.length);
    std::memcpy(&names_[offset], &id, 4);
    uint32_t length = static_cast<uint32_t>(text.length);
    std::memcpy(&names_[offset + 4], &length, 4);
    for (size_t i = 0; i < text.length; ++i) {
      names_[offset + 8 + i] = static_cast<char>(text.map[text.bytes[i]]);
    }
    if (uint64_t{count_} * 2 > slots_.size()) {
      slots_.assign(slots_.size() * 2, 0);
      ForEachName([this](uint32_t known) { Place(known); });
    } else {
      Place(offset);
    }
    return id;
  }

  // rank[id]: the position of the domain string in ascending order. Ends
  // the lookups: the slots are let go to make room for the sort's keys.
  std::vector<uint32_t> TakeRanks() {
    std::vector<uint64_t>().swap(slots_);
    struct Key {
      uint64_t prefix;  // the first eight bytes, big-endian, zero padded
      uint32_t offset;
    };
    std::vector<Key> keys;
    keys.reserve(count_);
    ForEachName([&](uint32_t offset) {
      std::string_view name = ViewAt(offset);
      uint64_t prefix = 0;
      for (size_t b = 0; b < 8; ++b) {
        prefix = prefix << 8 | (b < name.size() ? static_cast<unsigned char>(name[b]) : 0);
      }
      keys.push_back({prefix, offset});
    });
    // Distinct strings never tie, so any sort gives the one order: this one
    // takes n log n steps on every order.
    auto ascending = [this](const Key& a, const Key& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      return ViewAt(a.offset) < ViewAt(b.offset);
    };
    std::sort(keys.begin(), keys.end(), ascending);
    std::vector<uint32_t> rank(keys.size());
    for (uint32_t r = 0; r < keys.size(); ++r) rank[Read32(keys[r].offset)] = r;
    return rank;
  }

 private:
  // Calls visit(offset) for every name, in the order they were added.
  template <typename Visit>
  void ForEachName(Visit visit) const {
    for (size_t offset = 8; offset < names_.size(); offset += 8 + LengthAt(offset)) {
      visit(static_cast<uint32_t>(offset));
    }
  }

  uint32_t Read32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, &names_[offset], 4);
    return value;
  }
  uint32_t LengthAt(uint32_t offset) const { return Read32(offset + 4); }
  std::string_view ViewAt(uint32_t offset) const {
    return std::string_view(names_).substr(offset + 8, LengthAt(offset));
  }
  MappedText MappedAt(uint32_t offset) const {
    return {Bytes(names_.data()) + offset + 8, LengthAt(offset), Maps().identity.data()};
  }

  // The slot a hash starts at: its low bits, as many as the table's size (a
  // power of two) needs, which a 32-bit size_t holds.
  size_t SlotOf(uint64_t hash) const { return static_cast<size_t>(hash) & (slots_.size() - 1); }

  void Place(uint32_t offset) {
    // The strings are stored mapped, so hashing them as they are gives the
    // hash of the text they were made from.
    uint64_t hash = MappedHash(MappedAt(offset));
    size_t mask = slots_.size() - 1;
    size_t slot = SlotOf(hash);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = (hash >> 32 << 32) | offset;
  }

  std::vector<uint64_t> slots_;  // hash high half, offset of the name; 0 when free
  std::string names_;            // id, length, mapped bytes; from offset 8 on
  uint32_t count_ = 0;
};

// Collects output in a block of memory, so that lower-casing a domain needs
// no string of its own, and hands it on in large appends. After the first
// failed append nothing more is written: the file is then in an unknown
// state.
class BlockWriter {
 public:
  explicit BlockWriter(WritableFile* out) : out_(out) { block_.reserve(kBlockSize); }

  void Add(std::string_view bytes) {
    while (!bytes.empty()) {
      if (block_.size() == kBlockSize) Flush();
      size_t count = std::min(bytes.size(), kBlockSize - block_.size());
      block_.append(bytes.substr(0, count));
      bytes.remove_prefix(count);
    }
  }

  void AddMapped(std::string_view bytes, const ByteMap& map) {
    while (!bytes.empty()) {
      if (block_.size() == kBlockSize) Flush();
      size_t count = std::min(bytes.size(), kBlockSize - block_.size());
      size_t start = block_.size();
      block_.resize(start + count);
      char* to = block_.data() + start;
      for (size_t i = 0; i < count; ++i) to[i] = static_cast<char>(map[Bytes(bytes.data())[i]]);
      bytes.remove_prefix(count);
    }
  }

  // A large block is handed on as it is, after what was collected.
  void AddBlock(std::string_view bytes) {
    Flush();
    if (status_.ok()) status_ = out_->Append(bytes);
  }

  Status Finish() {
    Flush();
    return status_;
  }

 private:
  static constexpr size_t kBlockSize = 1 << 16;

  void Flush() {
    if (!block_.empty() && status_.ok()) status_ = out_->Append(block_);
    block_.clear();
  }

  WritableFile* out_;
  std::string block_;
  Status status_;
};

// Collects a chunk of output in a string.
struct StringWriter {
  std::string* out;

  void Add(std::string_view bytes) { out->append(bytes); }
  void AddMapped(std::string_view bytes, const ByteMap& map) {
    size_t start = out->size();
    out->resize(start + bytes.size());
    char* to = out->data() + start;
    for (size_t i = 0; i < bytes.size(); ++i)
      to[i] = static_cast<char>(map[Bytes(bytes.data())[i]]);
  }
};

// Written as read, but with the text after the first "@" (at `at`, or npos
// when there is none) lower-cased.
template <typename Writer>
void WriteRecord(std::string_view record, size_t at, Writer* writer) {
  if (at == std::string_view::npos) {
    writer->Add(record);
  } else {
    writer->Add(record.substr(0, at + 1));
    writer->AddMapped(record.substr(at + 1), Maps().lower);
  }
  writer->Add("\r\n");
}

bool StartsWithUpper(std::string_view line, std::string_view upperPrefix) {
  return line.size() >= upperPrefix.size() &&
         EqualUpper(line.substr(0, upperPrefix.size()), upperPrefix);
}

}  // namespace

GroupingAction ActionFor(int32_t groups, int32_t members) {
  if (groups <= 1) return GroupingAction::kLeaveAlone;
  if (members < kMinimumMembersToGroup) return GroupingAction::kTooFewNames;
  return GroupingAction::kRewrite;
}

// Walks the text by which groups of one size are ordered: for each member
// its domain lower-cased, 0x00, its local part and 0x01 (a record without
// "@": the record and 0x01), optionally behind the member count written with
// at least eight digits. It yields the text in spans, each with its byte
// map, so that the text never has to exist.
class GroupedList::GroupTextReader {
 public:
  GroupTextReader(const GroupedList& list, const Run& group, bool withCount)
      : list_(list), position_(group.first), end_(group.first + group.count) {
    if (withCount) {
      std::string digits = std::to_string(group.count);
      if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
      std::memcpy(digits_, digits.data(), digits.size());
      digitCount_ = digits.size();
      part_ = kCount;
    }
  }

  // The next span of the text; false at its end. Spans may be empty.
  bool Next(MappedText* span) {
    static constexpr unsigned char kDomainEnd = 0x00, kMemberEnd = 0x01;
    const ByteMaps& maps = Maps();
    if (part_ == kCount) {
      *span = {Bytes(digits_), digitCount_, maps.identity.data()};
      part_ = kDomain;
      return true;
    }
    if (position_ == end_) return false;
    const Member& member = list_.members_[position_];
    std::string_view record = list_.Record(member);
    switch (part_) {
      case kDomain:
        at_ = member.hasAt() ? list_.AtOf(member) : std::string_view::npos;
        if (at_ != std::string_view::npos) {
          *span = {Bytes(record.data()) + at_ + 1, record.size() - at_ - 1, maps.lower.data()};
          part_ = kDomainSeparator;
        } else {
          *span = {Bytes(record.data()), record.size(), maps.identity.data()};
          part_ = kMemberSeparator;
        }
        return true;
      case kDomainSeparator:
        *span = {&kDomainEnd, 1, maps.identity.data()};
        part_ = kLocal;
        return true;
      case kLocal:
        *span = {Bytes(record.data()), at_, maps.identity.data()};
        part_ = kMemberSeparator;
        return true;
      case kMemberSeparator:
      default:
        *span = {&kMemberEnd, 1, maps.identity.data()};
        part_ = kDomain;
        ++position_;
        return true;
    }
  }

 private:
  enum Part { kCount, kDomain, kDomainSeparator, kLocal, kMemberSeparator };

  const GroupedList& list_;
  uint32_t position_, end_;
  Part part_ = kDomain;
  size_t at_ = 0;
  char digits_[16] = {};
  size_t digitCount_ = 0;
};

std::string_view GroupedList::Record(const Member& m) const {
  // An offset into the list's bytes, which are in memory: it fits.
  size_t offset = static_cast<size_t>(m.ref >> 24);
  const char* start = readable_.data() + offset;
  uint32_t length = m.ref & kFindInText;
  if (length != kFindInText) return {start, length};
  // A long record: its end is found again from the line rule.
  size_t rest = readable_.size() - offset;
  const void* cr = std::memchr(start, '\r', rest);
  return {start, cr ? static_cast<size_t>(static_cast<const char*>(cr) - start) : rest};
}

size_t GroupedList::AtOf(const Member& m) const {
  uint32_t at = (m.ref >> 12) & kFindInText;
  return at != kFindInText ? at : FindAt(Record(m));
}

bool GroupedList::Load(std::string_view listBytes) {
  *this = GroupedList();
  if (listBytes.size() >= uint64_t{1} << 40) return false;
  readable_ = listBytes.substr(0, ReadableLength(listBytes));
  // Every line but the last ends with a CR: reserving once keeps the member
  // array from doubling (and briefly holding twice its size) while it fills.
  members_.reserve(MostLines(readable_));

  LineReader reader(listBytes);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    if (line.size() > UINT32_MAX || members_.size() >= INT32_MAX) {
      *this = GroupedList();
      return false;
    }
    // Only "+" upper-cases to "+", so most lines are settled by their first
    // byte.
    if (!line.empty() && line[0] == '+' &&
        (StartsWithUpper(line, "+WELCOME=") || StartsWithUpper(line, "+ERRORS-TO:="))) {
      head_.push_back({line, HeadKind::kAsRead});
      continue;
    }
    bool untrimmed = !line.empty() && line.front() != ' ' && line.back() != ' ';
    std::string_view trimmed = untrimmed ? line : TrimBlanks(line);
    if (trimmed.size() == 6 && EqualUpper(trimmed, "CLOSED")) {
      // Whoever was listed before a CLOSED line moderates the list.
      for (const Member& moderator : members_) {
        head_.push_back({Record(moderator), HeadKind::kModerator});
      }
      head_.push_back({line, HeadKind::kClosed});
      members_.clear();
    } else if (!trimmed.empty()) {
      // Until RankDomains, `keyHigh` holds the position of the "@".
      size_t at = FindAt(line);
      uint64_t offset = static_cast<uint64_t>(line.data() - readable_.data());
      uint64_t atField = at == std::string_view::npos ? 0 : std::min<size_t>(at, kFindInText);
      uint64_t lengthField = std::min<size_t>(line.size(), kFindInText);
      members_.push_back({at == std::string_view::npos ? kNoAt : at, 0,
                          offset << 24 | atField << 12 | lengthField});
    }
  }
  if (!RankDomains()) {
    *this = GroupedList();
    return false;
  }
  SortAndGroup();
  return true;
}

bool GroupedList::RankDomains() {
  const ByteMaps& maps = Maps();
  auto domainOf = [this, &maps](const Member& m) {
    uint32_t at = static_cast<uint32_t>(m.keyHigh);
    std::string_view record = Record(m);
    return at != kNoAt ? MappedText{Bytes(record.data()) + at + 1, record.size() - at - 1,
                                    maps.domainFold.data()}
                       : MappedText{Bytes(record.data()), record.size(), maps.fold.data()};
  };
  // Until a member is looked up, its `keyHigh` holds the position of its
  // "@" and its `keyLow` the hash of its domain string.
  ForBothHalves(0, members_.size(), [&](size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i) members_[i].keyLow = MappedHash(domainOf(members_[i]));
  });
  // Looked up, it holds its domain's id + 1 in the high half of `keyHigh`,
  // which thus passes 32 bits.
  auto lookedUp = [](const Member& m) { return m.keyHigh > UINT32_MAX; };
  DomainTable domains;
  // Looks up members [begin, end) not looked up yet, adding unknown domains
  // to the table when `add`, else leaving their members for later. The
  // lookups land all over the table, so they are asked for ahead, in two
  // steps: the slot, and then the name it points to.
  auto lookUp = [&](size_t begin, size_t end, bool add) {
    constexpr size_t kSlotAhead = 16, kNameAhead = 8;
    for (size_t i = begin; i < end; ++i) {
      if (i + kSlotAhead < end && !lookedUp(members_[i + kSlotAhead])) {
        domains.PrefetchSlot(members_[i + kSlotAhead].keyLow);
      }
      if (i + kNameAhead < end && !lookedUp(members_[i + kNameAhead])) {
        domains.PrefetchName(members_[i + kNameAhead].keyLow);
      }
      Member& m = members_[i];
      if (lookedUp(m)) continue;
      uint32_t id = add ? domains.IdOf(domainOf(m), m.keyLow) : domains.Find(domainOf(m), m.keyLow);
      if (id == DomainTable::kFull) return false;
      if (id == DomainTable::kUnknown) continue;
      bool hasAt = m.keyHigh != kNoAt;
      MappedText local{Bytes(readable_.data()) + (m.ref >> 24),
                       hasAt ? static_cast<uint32_t>(m.keyHigh) : 0u, maps.fold.data()};
      uint64_t order = uint64_t{id + 1} << 1 | (hasAt ? 1 : 0);
      m.keyHigh = order << 32 | MappedWord(local, 0, 4);
      m.keyLow = MappedWord(local, 4, 8);
    }
    return true;
  };
  // The first members find most of the domains; the table then only has to
  // be read, which both threads can do at once, and the few members left
  // add the rest.
  const size_t seed = members_.size() / 8;
  if (!lookUp(0, seed, true)) return false;
  ForBothHalves(seed, members_.size(),
                [&](size_t begin, size_t end, int) { lookUp(begin, end, false); });
  if (!lookUp(seed, members_.size(), true)) return false;
  std::vector<uint32_t> rank = domains.TakeRanks();
  for (Member& m : members_) {
    uint64_t order = rank[(m.domainOrder() >> 1) - 1] << 1 | (m.domainOrder() & 1);
    m.keyHigh = order << 32 | (m.keyHigh & UINT32_MAX);
  }
  return true;
}

// Comparing the domain strings first, then whether there is an "@" (the
// 0x00 makes a key longer than the bare record), then the local parts gives
// the order of the keys compared byte by byte, as long as no record holds a
// 0x00.
int GroupedList::CompareMembers(const Member& a, const Member& b) const {
  if (a.keyHigh != b.keyHigh) return a.keyHigh < b.keyHigh ? -1 : 1;
  if (a.keyLow != b.keyLow) return a.keyLow < b.keyLow ? -1 : 1;
  // Every partition meets its pivot's own record once: no need to read it.
  if (a.ref == b.ref) return 0;
  if (!a.hasAt()) return 0;  // so neither has a local part
  constexpr size_t kPrefixBytes = 12;
  size_t atA = AtOf(a), atB = AtOf(b);
  // The prefixes hold every byte of the shorter local part.
  if (std::min(atA, atB) <= kPrefixBytes) return atA < atB ? -1 : atA > atB ? 1 : 0;
  return CompareFolded(Record(a).substr(kPrefixBytes, atA - kPrefixBytes),
                       Record(b).substr(kPrefixBytes, atB - kPrefixBytes));
}

struct GroupedList::MemberSortKeys {
  static constexpr int kWords = 2;
  const GroupedList& list;
  const Member* part;

  uint64_t Word(uint32_t index, int w) const {
    return w == 0 ? part[index].keyHigh : part[index].keyLow;
  }
  int Compare(uint32_t a, uint32_t b) const { return list.CompareMembers(part[a], part[b]); }
  bool SameText(uint32_t a, uint32_t b) const {
    return list.Record(part[a]) == list.Record(part[b]);
  }
};

// Groups that compare equal have the same text, member for member, so they
// write the same bytes: their order does not show.
struct GroupedList::GroupSortKeys {
  static constexpr int kWords = 1;
  const GroupedList& list;
  const Group* part;

  uint64_t Word(uint32_t, int) const { return 0; }  // the comparison decides all
  int Compare(uint32_t a, uint32_t b) const { return list.CompareGroups(part[a], part[b]); }
  bool SameText(uint32_t, uint32_t) const { return true; }
};

void GroupedList::SortAndGroup() {
  // The quicksort's treatment of equal keys (case variants of one address)
  // decides which of them is written first, so it must be this sort.
  Member* members = members_.data();
  QuickSortDescendingOnTwoThreads(
      members, static_cast<int64_t>(members_.size()),
      [this](const Member& a, const Member& b) { return CompareMembers(a, b); },
      // Parts whose partitions come out lopsided go through ranks: the same
      // order, without scans that take the square of their length.
      [this, members](int64_t lo, int64_t hi) {
        return SortPartThroughRanks(members, lo, hi, [this](const Member* part) {
          return MemberSortKeys{*this, part};
        });
      });

  // Consecutive keys of one domain form a group; a record without "@" is a
  // group by itself.
  for (uint32_t pos = 0; pos < members_.size(); ++pos) {
    uint32_t order = members_[pos].domainOrder();
    if (pos > 0 && (order & 1) && order == members_[pos - 1].domainOrder()) {
      ++groups_.back().run.count;
    } else {
      groups_.push_back({0, {pos, 1}});
    }
  }

  groupCount_ = static_cast<int32_t>(groups_.size());
  for (Group& group : groups_) {
    GroupTextReader reader(*this, group.run, false);
    MappedText span;
    int filled = 0;
    while (filled < 8 && reader.Next(&span)) {
      for (size_t i = 0; i < span.length && filled < 8; ++i, ++filled) {
        group.textPrefix |= uint64_t{span.map[span.bytes[i]]} << (56 - 8 * filled);
      }
    }
  }
}

int GroupedList::CompareGroups(const Group& a, const Group& b) const {
  // Counts below 10^8 are written with exactly eight digits, so their texts
  // order as the numbers do and, when equal, leave the decision to the
  // members. Longer counts must be compared as the texts they are.
  constexpr uint32_t kEightDigitLimit = 100000000;
  bool withCount = a.run.count >= kEightDigitLimit || b.run.count >= kEightDigitLimit;
  if (!withCount) {
    if (a.run.count != b.run.count) return a.run.count < b.run.count ? -1 : 1;
    if (a.textPrefix != b.textPrefix) return a.textPrefix < b.textPrefix ? -1 : 1;
  }
  // A partition's pivot meets its own group once.
  if (a.run.first == b.run.first) return 0;

  GroupTextReader readerA(*this, a.run, withCount), readerB(*this, b.run, withCount);
  MappedText spanA{}, spanB{};
  bool moreA = true, moreB = true;
  for (;;) {
    while (moreA && spanA.length == 0) moreA = readerA.Next(&spanA);
    while (moreB && spanB.length == 0) moreB = readerB.Next(&spanB);
    if (!moreA || !moreB) break;
    size_t common = std::min(spanA.length, spanB.length);
    int order = CompareMapped({spanA.bytes, common, spanA.map}, {spanB.bytes, common, spanB.map});
    if (order != 0) return order;
    spanA = {spanA.bytes + common, spanA.length - common, spanA.map};
    spanB = {spanB.bytes + common, spanB.length - common, spanB.map};
  }
  if (moreA == moreB) return 0;
  return moreA ? 1 : -1;
}

void GroupedList::Arrange(int32_t sessionSize) {
  const uint32_t session = static_cast<uint32_t>(std::max(sessionSize, 1));
  Group* groups = groups_.data();
  QuickSortDescendingOnTwoThreads(
      groups, static_cast<int64_t>(groups_.size()),
      [this](const Group& a, const Group& b) { return CompareGroups(a, b); },
      [this, groups](int64_t lo, int64_t hi) {
        return SortPartThroughRanks(groups, lo, hi, [this](const Group* part) {
          return GroupSortKeys{*this, part};
        });
      });

  // The pieces form a chain, so that the rest of a cut group can be put ten
  // places ahead of the cursor without moving anything: `ahead` is the piece
  // nine places after the cursor, and the rest goes right behind it. When the
  // chain is too short for that, the rest goes to the end, and the chain can
  // then never again reach ten places ahead, as it grows by at most one
  // piece per step.
  constexpr uint32_t kNone = kNoPiece;
  const size_t places = groups_.size();
  std::vector<Piece>& chain = chain_;
  chain.clear();
  // Each place visited adds at most one piece: the chain never grows (and
  // briefly holds two copies of itself).
  chain.reserve(2 * places);
  for (uint32_t g = 0; g < places; ++g) {
    chain.push_back({groups_[g].run, g + 1 < places ? g + 1 : kNone});
  }
  // The groups live on in the chain; their memory is better spent on it.
  std::vector<Group>().swap(groups_);
  if (chain.empty()) return;

  uint32_t tail = static_cast<uint32_t>(chain.size() - 1);
  uint32_t cursor = 0;
  // A cut-off rest goes this many places after its group: behind the piece
  // `ahead`, which walks that many places less one ahead of the cursor.
  // Nearer the end of the list than that, the rest goes last.
  constexpr uint32_t kRestPlacesAhead = 10;
  uint32_t ahead = chain.size() >= kRestPlacesAhead ? kRestPlacesAhead - 1 : kNone;
  // Only the places that existed when the walk began are visited.
  for (size_t place = 0; place < places; ++place) {
    if (chain[cursor].run.count > session) {
      Run rest{chain[cursor].run.first + session, chain[cursor].run.count - session};
      chain[cursor].run.count = session;
      uint32_t restIndex = static_cast<uint32_t>(chain.size());
      if (ahead != kNone) {
        chain.push_back({rest, chain[ahead].next});
        chain[ahead].next = restIndex;
        if (ahead == tail) tail = restIndex;
      } else {
        chain.push_back({rest, kNone});
        chain[tail].next = restIndex;
        tail = restIndex;
      }
    }
    cursor = chain[cursor].next;
    if (ahead != kNone) ahead = chain[ahead].next;
  }
}

std::vector<DomainRow> GroupedList::GroupTable() const {
  // The first pieces of the chain are the groups in order, each still
  // starting at its first member; together the groups cover the members.
  const size_t groups = std::min(chain_.size(), static_cast<size_t>(groupCount_));
  std::vector<uint32_t> starts;
  for (size_t g = 0; g < groups; ++g) starts.push_back(chain_[g].run.first);
  std::sort(starts.begin(), starts.end());
  std::vector<uint32_t> sessions(groups, 0);
  for (const Piece& piece : chain_) {
    size_t at = static_cast<size_t>(
        std::upper_bound(starts.begin(), starts.end(), piece.run.first) - starts.begin() - 1);
    ++sessions[at];
  }
  std::vector<DomainRow> table;
  table.reserve(groups);
  for (size_t g = 0; g < groups; ++g) {
    uint32_t first = chain_[g].run.first;
    size_t at =
        static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), first) - starts.begin());
    uint32_t end = at + 1 < starts.size() ? starts[at + 1] : static_cast<uint32_t>(members_.size());
    const Member& member = members_[first];
    std::string_view record = Record(member);
    DomainRow row;
    row.domain = member.hasAt() ? LowerCase(record.substr(AtOf(member) + 1)) : std::string(record);
    row.members = end - first;
    row.sessions = sessions[at];
    table.push_back(std::move(row));
  }
  return table;
}

// Walks the member positions of a run of pieces in writing order.
class GroupedList::SessionCursor {
 public:
  SessionCursor(const Run* pieces, size_t count) : pieces_(pieces), count_(count) { SkipEmpty(); }

  bool AtEnd() const { return piece_ == count_; }
  uint32_t position() const { return pieces_[piece_].first + offset_; }
  void Advance() {
    if (AtEnd()) return;
    ++offset_;
    SkipEmpty();
  }

 private:
  void SkipEmpty() {
    while (!AtEnd() && offset_ == pieces_[piece_].count) {
      ++piece_;
      offset_ = 0;
    }
  }

  const Run* pieces_;
  size_t count_;
  size_t piece_ = 0;
  uint32_t offset_ = 0;
};

void GroupedList::FormatPieces(const std::vector<Run>& runs, std::string* bytes) const {
  StringWriter writer{bytes};
  // The records lie all over the list's bytes, and the pieces all over the
  // member array: two cursors run ahead in writing order, the far one asking
  // for a member, the near one for the record it points to.
  constexpr int kMemberAhead = 64, kRecordAhead = 32;
  const Run* pieces = runs.data();
  size_t count = runs.size();
  SessionCursor farCursor(pieces, count), nearCursor(pieces, count), cursor(pieces, count);
  for (int i = 0; i < kMemberAhead; ++i) farCursor.Advance();
  for (int i = 0; i < kRecordAhead; ++i) nearCursor.Advance();
  for (; !cursor.AtEnd(); cursor.Advance(), nearCursor.Advance(), farCursor.Advance()) {
    if (!farCursor.AtEnd()) Prefetch(&members_[farCursor.position()]);
    if (!nearCursor.AtEnd()) {
      Prefetch(readable_.data() + (members_[nearCursor.position()].ref >> 24));
    }
    const Member& member = members_[cursor.position()];
    WriteRecord(Record(member), member.hasAt() ? AtOf(member) : std::string_view::npos, &writer);
  }
}

Status GroupedList::WriteTo(WritableFile* out) const {
  BlockWriter writer(out);
  for (const HeadLine& line : head_) {
    switch (line.kind) {
      case HeadKind::kAsRead:
        writer.Add(line.text);
        writer.Add("\r\n");
        break;
      case HeadKind::kModerator:
        WriteRecord(line.text, FindAt(line.text), &writer);
        break;
      case HeadKind::kClosed:
        writer.Add("CLOSED\r\n");
        break;
    }
  }
  // The members are written in chunks of kChunkMembers, made on two threads
  // and written in order. A chunk starts at a member of some piece: the
  // last pieces can be whole groups of any size.
  constexpr uint32_t kChunkMembers = 1 << 12;
  struct Place {
    uint32_t piece;
    uint32_t offset;
  };
  std::vector<Place> chunkStarts;
  uint64_t written = 0, nextStart = 0;
  for (uint32_t piece = chain_.empty() ? kNoPiece : 0; piece != kNoPiece;
       piece = chain_[piece].next) {
    uint64_t end = written + chain_[piece].run.count;
    for (; nextStart < end; nextStart += kChunkMembers) {
      chunkStarts.push_back({piece, static_cast<uint32_t>(nextStart - written)});
    }
    written = end;
  }
  FormatChunksInOrder(
      chunkStarts.size(),
      [&](size_t chunk, std::string* bytes) {
        // The chunk's own pieces, the first and last ones cut to it.
        uint64_t left = std::min<uint64_t>(kChunkMembers, written - chunk * kChunkMembers);
        std::vector<Run> runs;
        Place from = chunkStarts[chunk];
        for (uint32_t piece = from.piece, skip = from.offset; left > 0;
             piece = chain_[piece].next, skip = 0) {
          Run run = chain_[piece].run;
          uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(run.count - skip, left));
          runs.push_back({run.first + skip, count});
          left -= count;
        }
        FormatPieces(runs, bytes);
      },
      [&](std::string_view bytes) { writer.AddBlock(bytes); });
  return writer.Finish();
}

}  // namespace grenfel
