// Grouping's second half: the groups put in order, largest first, cut into
// sessions, and the table of what became of each.
#include <algorithm>
#include <cstring>
#include <string>

#include "grouping/grouped_list.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

// Member counts below this are written with eight digits.
constexpr uint32_t kEightDigitLimit = 100000000;

}  // namespace

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
        at_ = list_.AtOf(member);
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

void GroupedList::SetGroupPrefixes() {
  ForBothHalves(0, groups_.size(), [this](size_t begin, size_t end, int) {
    for (size_t g = begin; g < end; ++g) {
      GroupTextReader reader(*this, groups_[g].run, false);
      MappedText span;
      int filled = 0;
      while (filled < 8 && reader.Next(&span)) {
        for (size_t i = 0; i < span.length && filled < 8; ++i, ++filled) {
          groups_[g].textPrefix |= uint64_t{span.map[span.bytes[i]]} << (56 - 8 * filled);
        }
      }
    }
  });
}

int GroupedList::CompareGroups(const Group& a, const Group& b) const {
  // Counts below kEightDigitLimit are written with exactly eight digits, so
  // their texts order as the numbers do and, when equal, leave the decision
  // to the members. Longer counts must be compared as the texts they are.
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
  // Groups that compare equal have the same text, member for member, so they
  // write the same bytes: any sort gives the one output. The groups stand in
  // descending order of their domains, which among groups of one size is
  // nearly the order of their texts: once sorted by size with that order
  // kept, a run of one size needs a sort of its own only where it is out of
  // order. Counts of nine digits or more compare as texts: those lists go
  // through the comparison sort alone.
  auto before = [this](const Group& a, const Group& b) { return CompareGroups(a, b) > 0; };
  const bool countsAsNumbers = std::all_of(groups_.begin(), groups_.end(), [](const Group& g) {
    return g.run.count < kEightDigitLimit;
  });
  if (!countsAsNumbers) {
    std::sort(groups_.begin(), groups_.end(), before);
  } else {
    std::stable_sort(groups_.begin(), groups_.end(),
                     [](const Group& a, const Group& b) { return a.run.count > b.run.count; });
    for (auto begin = groups_.begin(); begin != groups_.end();) {
      auto end = begin + 1;
      bool ordered = true;
      for (; end != groups_.end() && end->run.count == begin->run.count; ++end) {
        ordered = ordered && !before(*end, end[-1]);
      }
      if (!ordered) std::sort(begin, end, before);
      begin = end;
    }
  }
  CutIntoSessions(static_cast<uint32_t>(std::max(sessionSize, 1)));
}

void GroupedList::CutIntoSessions(uint32_t session) {
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
    size_t atSign = AtOf(member);
    row.domain = atSign != std::string_view::npos ? LowerCase(record.substr(atSign + 1))
                                                  : std::string(record);
    row.members = end - first;
    row.sessions = sessions[at];
    table.push_back(std::move(row));
  }
  return table;
}

}  // namespace grenfel
