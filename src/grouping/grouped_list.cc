// Grouping's first half: the list's lines read into its head block and its
// members, the domains found and ranked, the members sorted and grouped.
#include "grouping/grouped_list.h"

#include <cstring>
#include <string>
#include <utility>

#include "services/prefetch.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

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

std::string_view GroupedList::Record(const Member& m) const {
  // An offset into the list's bytes, which are in memory: it fits.
  size_t offset = static_cast<size_t>(m.ref.offset());
  uint32_t length = m.ref.lengthField();
  if (length != RecordRef::kFindInText) return {readable_.data() + offset, length};
  // A long record: its end is found again from the line rule.
  return LineAt(readable_, offset);
}

size_t GroupedList::AtOf(const Member& m) const {
  uint32_t at = m.ref.atField();
  if (at == 0) return std::string_view::npos;
  return at != RecordRef::kFindInText ? at - 1 : Record(m).find('@');
}

MappedText GroupedList::DomainText(const Member& m) const {
  const ByteMaps& maps = Maps();
  std::string_view record = Record(m);
  size_t at = AtOf(m);
  if (at == std::string_view::npos) {
    return {Bytes(record.data()), record.size(), maps.fold.data()};
  }
  return {Bytes(record.data()) + at + 1, record.size() - at - 1, maps.domainFold.data()};
}

GroupedList::LinesRead GroupedList::ReadLines(std::string_view lines, size_t* filled,
                                              bool membersOnly) {
  // Counted here and handed back at the end: the other thread's count may
  // share a cache line with *filled, which a write per line would pass
  // between the cores.
  size_t count = *filled;
  LineReader reader(lines);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    if (line.size() > UINT32_MAX || count >= INT32_MAX) {
      *filled = count;
      return LinesRead::kTooMany;
    }
    // Only "+" upper-cases to "+", so most lines are settled by their first
    // byte.
    bool headLine = !line.empty() && line[0] == '+' &&
                    (StartsWithUpper(line, "+WELCOME=") || StartsWithUpper(line, "+ERRORS-TO:="));
    bool untrimmed = !line.empty() && line.front() != ' ' && line.back() != ' ';
    std::string_view trimmed = untrimmed ? line : TrimBlanks(line);
    bool closed = !headLine && trimmed.size() == 6 && EqualUpper(trimmed, "CLOSED");
    if ((headLine || closed) && membersOnly) {
      *filled = count;
      return LinesRead::kHeadLine;
    }
    if (headLine) {
      head_.push_back({line, HeadKind::kAsRead});
    } else if (closed) {
      // Whoever was listed before a CLOSED line moderates the list.
      for (size_t m = 0; m < count; ++m) {
        head_.push_back({Record(members_[m]), HeadKind::kModerator});
      }
      head_.push_back({line, HeadKind::kClosed});
      count = 0;
    } else if (!trimmed.empty()) {
      uint64_t offset = static_cast<uint64_t>(line.data() - readable_.data());
      members_[count++] = {{0, 0}, RecordRef::Make(offset, line.find('@'), line.size())};
    }
  }
  *filled = count;
  return LinesRead::kAll;
}

bool GroupedList::ReadAllLines() {
  // The lines after the first line end past the middle are read on the
  // other thread, into their own room behind that of the first ones. In a
  // list whose head is on top they are all members; where they are not,
  // they are read again here, after the first ones.
  const LineHalves halves = SplitAtMiddleLine(readable_);
  const std::string_view first = halves.first, second = halves.second;
  const size_t firstRoom = MostLines(first);
  // Every line but the last of each part ends with a CR: the array is made
  // once, never doubling (and briefly holding twice its size) while it fills.
  members_.resize(firstRoom + MostLines(second));
  const bool inParallel = !second.empty() && members_.size() < INT32_MAX;
  size_t filled = 0, secondFilled = firstRoom;
  LinesRead firstRead = LinesRead::kAll, secondRead = LinesRead::kHeadLine;
  ForBothHalves(0, inParallel ? readable_.size() : 0, [&](size_t, size_t, int half) {
    if (half == 0) {
      firstRead = ReadLines(first, &filled, false);
    } else if (inParallel) {
      secondRead = ReadLines(second, &secondFilled, true);
    }
  });
  if (firstRead != LinesRead::kAll || secondRead == LinesRead::kTooMany) return false;
  if (secondRead == LinesRead::kHeadLine) {
    if (ReadLines(second, &filled, false) != LinesRead::kAll) return false;
  } else if (filled != firstRoom) {
    std::copy(members_.begin() + static_cast<ptrdiff_t>(firstRoom),
              members_.begin() + static_cast<ptrdiff_t>(secondFilled),
              members_.begin() + static_cast<ptrdiff_t>(filled));
  }
  if (secondRead == LinesRead::kAll) filled += secondFilled - firstRoom;
  members_.resize(filled);
  return true;
}

bool GroupedList::Load(std::string_view readable) {
  *this = GroupedList();
  if (readable.size() >= RecordRef::kOffsetLimit) return false;
  readable_ = readable;
  if (!ReadAllLines() || !RankDomains()) {
    *this = GroupedList();
    return false;
  }
  SortAndGroup();
  return true;
}

bool GroupedList::LookUpDomains(DomainTable* domains, size_t begin, size_t end) {
  // The lookups land all over the table, so they are asked for ahead, in two
  // steps: the slot, and then the name it points to.
  constexpr size_t kNameAhead = 8;
  HashesAhead hashes(
      begin, end, [this](size_t i) { return MappedHash(DomainText(members_[i])); },
      [domains](uint64_t hash) { domains->PrefetchSlot(hash); });
  const unsigned char* fold = Maps().fold.data();
  for (size_t i = begin; i < end; ++i) {
    const uint64_t hash = hashes.Take(i);
    if (i + kNameAhead < end) domains->PrefetchName(hashes.Peek(i + kNameAhead));
    Member& m = members_[i];
    uint32_t id = domains->IdOf(DomainText(m), hash);
    if (id == DomainTable::kFull) return false;
    size_t at = AtOf(m);
    bool hasAt = at != std::string_view::npos;
    MappedText local{Bytes(readable_.data()) + m.ref.offset(), hasAt ? at : 0, fold};
    m.key.high = uint64_t{MemberKey::DomainOrder(id + 1, hasAt)} << MemberKey::kDomainOrderShift |
                 MappedWord(local, 0, 4);
    m.key.low = MappedWord(local, 4, 8);
  }
  return true;
}

bool GroupedList::RankDomains() {
  // Each thread finds the domains of its half of the members in a table of
  // its own; the two are then ranked together, so that a domain both halves
  // hold has one rank.
  const size_t count = members_.size();
  // Each half's table is read at every lookup and written at every new
  // domain, each on its own thread.
  OwnCacheLine<DomainTable> tables[2];
  bool found[2] = {false, false};
  ForBothHalves(0, count, [&](size_t begin, size_t end, int half) {
    found[half] = LookUpDomains(&tables[half].value, begin, end);
  });
  if (!found[0] || !found[1]) return false;
  std::vector<uint32_t> ranks[2];
  DomainTable* both[2] = {&tables[0].value, &tables[1].value};
  std::vector<uint32_t>* rankOf[2] = {&ranks[0], &ranks[1]};
  DomainTable::RankTogether(both, rankOf);
  ForBothHalves(0, count, [&](size_t begin, size_t end, int half) {
    const std::vector<uint32_t>& rank = ranks[half];
    for (size_t i = begin; i < end; ++i) {
      MemberKey& key = members_[i].key;
      key.SetDomainOrder(MemberKey::DomainOrder(rank[key.domainNumber() - 1], key.hasAt()));
    }
  });
  return true;
}

// Comparing the domain strings first, then whether there is an "@" (the
// 0x00 makes a key longer than the bare record), then the local parts gives
// the order of the keys compared byte by byte, as long as no record holds a
// 0x00.
int GroupedList::CompareMembers(const Member& a, const Member& b) const {
  if (a.key.high != b.key.high) return a.key.high < b.key.high ? -1 : 1;
  if (a.key.low != b.key.low) return a.key.low < b.key.low ? -1 : 1;
  // Every partition meets its pivot's own record once: no need to read it.
  if (a.ref.packed == b.ref.packed) return 0;
  if (!a.key.hasAt()) return 0;  // so neither has a local part
  constexpr size_t kPrefixBytes = 12;
  size_t atA = AtOf(a), atB = AtOf(b);
  // The prefixes hold every byte of the shorter local part.
  if (std::min(atA, atB) <= kPrefixBytes) return atA < atB ? -1 : atA > atB ? 1 : 0;
  return CompareFolded(Record(a).substr(kPrefixBytes, atA - kPrefixBytes),
                       Record(b).substr(kPrefixBytes, atB - kPrefixBytes));
}

void GroupedList::SortAndGroup() {
  SortMembers();

  // Consecutive keys of one domain form a group; a record without "@" is a
  // group by itself.
  for (uint32_t pos = 0; pos < members_.size(); ++pos) {
    const MemberKey& key = members_[pos].key;
    if (pos > 0 && key.hasAt() && key.domainOrder() == members_[pos - 1].key.domainOrder()) {
      ++groups_.back().run.count;
    } else {
      groups_.push_back({0, {pos, 1}});
    }
  }
  groupCount_ = static_cast<int32_t>(groups_.size());
  SetGroupPrefixes();
}

}  // namespace grenfel
