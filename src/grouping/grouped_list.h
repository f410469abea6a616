// The in-memory core of domain grouping: splits a list's bytes into its head
// block and its members, sorts and groups the members by domain, orders the
// groups by size, cuts them into delivery sessions and writes the result.
// It touches no file, so the order it gives can be checked on bytes alone.
//
// Members are kept as views of the list's bytes with a few numbers that
// decide most of their order; no separator-joined key is ever built, so
// records holding the bytes 0x00 or 0x01 come through intact.
#ifndef GRENFEL_GROUPING_GROUPED_LIST_H_
#define GRENFEL_GROUPING_GROUPED_LIST_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "grouping/domain_table.h"
#include "memberlist/change_report.h"
#include "services/fileio.h"
#include "services/mapped_text.h"
#include "services/unset_vector.h"

namespace grenfel {

// Fewer members than this are not worth grouping.
inline constexpr int32_t kMinimumMembersToGroup = 202;

// What grouping does with a list once its members are grouped.
enum class GroupingAction {
  kLeaveAlone,   // no group or a single one: nothing to reorder
  kTooFewNames,  // print the "Not enough names" line, leave the file
  kRewrite,
};
GroupingAction ActionFor(int32_t groups, int32_t members);

class GroupedList {
 public:
  // Reads the lines of `readable`, the readable part of a list's bytes
  // (ReadablePart), which must outlive this object, then
  // sorts and groups the members. False when the list does not fit the
  // counts it keeps (a list of 1 TiB or more, a line of 4 GiB or more, 2^31
  // members, or 4 GiB of distinct domains in either half of it); the object is
  // then empty.
  bool Load(std::string_view readable);

  // Different domains plus records without "@", among the members.
  int32_t groupCount() const { return groupCount_; }
  // Member records after the last CLOSED line.
  int32_t memberCount() const { return static_cast<int32_t>(members_.size()); }

  // Orders the groups, largest first, and cuts them into sessions of
  // `sessionSize` (at least 1) members. Call once, after Load.
  void Arrange(int32_t sessionSize);

  // The groups in their order after Arrange: each one's domain as written
  // (lower-cased; a record without "@" stands for itself), its members and
  // the sessions it was cut into.
  std::vector<DomainRow> GroupTable() const;

  // Writes the head block, then every member in session order, each line
  // ended by CR LF. Call after Arrange. Stops writing at the first failed
  // Append and returns its status.
  Status WriteTo(WritableFile* out) const;

 private:
  // What decides most of a member's order without reading its text, compared
  // as one 128-bit number, `high` first. The member's key is its domain
  // lower-cased, a byte 0x00 and its local part, all folded; a record
  // without "@" is its own key, folded.
  struct MemberKey {
    // The domain order (upper 32 bits), then the first four bytes of the
    // folded local part, big-endian, zero padded.
    uint64_t high;
    // The folded local part's bytes 4 to 11, big-endian, zero padded.
    uint64_t low;

    static constexpr int kDomainOrderShift = 32;
    // The domain order: the domain's number shifted left once, with the low
    // bit set when the record has an "@" (its key is then longer than the
    // bare text). The number is the domain's id + 1 while domains are being
    // found (0: not found yet), its rank among all domains afterwards.
    static uint32_t DomainOrder(uint32_t number, bool hasAt) {
      return number << 1 | (hasAt ? 1u : 0u);
    }
    uint32_t domainOrder() const { return static_cast<uint32_t>(high >> kDomainOrderShift); }
    uint32_t domainNumber() const { return domainOrder() >> 1; }
    bool hasAt() const { return domainOrder() & 1; }
    void SetDomainOrder(uint32_t order) {
      high = uint64_t{order} << kDomainOrderShift | (high & UINT32_MAX);
    }
  };

  // Where a record lies in the list's bytes, in one word: the offset of its
  // first byte, then the at field (0 when the record has no "@", else the
  // position of the "@" + 1), then its length. A field too small for its
  // value holds kFindInText, and the value is found again in the text.
  struct RecordRef {
    static constexpr int kLengthBits = 12, kAtBits = 12;
    static constexpr uint32_t kFindInText = (1u << kLengthBits) - 1;
    static_assert(kAtBits == kLengthBits, "one marker serves both fields");
    static constexpr uint64_t kOffsetLimit = uint64_t{1} << (64 - kAtBits - kLengthBits);
    uint64_t packed;

    // `at` is npos for a record without "@"; `offset` below kOffsetLimit.
    static RecordRef Make(uint64_t offset, size_t at, size_t length) {
      uint64_t atField = at == std::string_view::npos ? 0 : std::min<uint64_t>(at + 1, kFindInText);
      uint64_t lengthField = std::min<uint64_t>(length, kFindInText);
      return {offset << (kAtBits + kLengthBits) | atField << kLengthBits | lengthField};
    }
    uint64_t offset() const { return packed >> (kAtBits + kLengthBits); }
    uint32_t atField() const { return static_cast<uint32_t>(packed >> kLengthBits) & kFindInText; }
    uint32_t lengthField() const { return static_cast<uint32_t>(packed) & kFindInText; }
  };

  // A member record: its key, set once the domains are ranked (all zero
  // before), and where its text lies.
  struct Member {
    MemberKey key;
    RecordRef ref;
  };

  std::string_view Record(const Member& m) const;
  // The position of the first "@", or npos.
  size_t AtOf(const Member& m) const;
  // The text the domain number stands for: the domain lower-cased and
  // folded, or the whole record folded when it has no "@".
  MappedText DomainText(const Member& m) const;

  enum class HeadKind : uint8_t { kAsRead, kModerator, kClosed };
  struct HeadLine {
    std::string_view text;
    HeadKind kind;
  };

  // Consecutive members: a whole group, or a piece cut from one.
  struct Run {
    uint32_t first;
    uint32_t count;
  };

  struct Group {
    // The first eight bytes of the group's text (see GroupTextReader),
    // big-endian: it settles most comparisons between groups of one size.
    uint64_t textPrefix;
    Run run;
  };

  class GroupTextReader;
  class SessionCursor;

  // How ReadLines ended.
  enum class LinesRead { kAll, kTooMany, kHeadLine };
  // Reads `lines`, whole lines of the readable bytes, into the head block
  // and the member array from (*filled) on. With `membersOnly`, stops at
  // the first line that belongs to the head block (kHeadLine).
  LinesRead ReadLines(std::string_view lines, size_t* filled, bool membersOnly);
  // Reads every line; false when the list does not fit the counts.
  bool ReadAllLines();
  // Sets every member's key order. False when the distinct domains of
  // either half of the members pass 4 GiB.
  bool RankDomains();
  // Gives members [begin, end) the id + 1 of their domain in `domains`,
  // adding the domains it does not know yet; false when it is full.
  bool LookUpDomains(DomainTable* domains, size_t begin, size_t end);
  void SortAndGroup();
  // Sorts the members in descending key order, members of equal keys in the
  // quicksort's order.
  void SortMembers();
  // Whether, once sorted, members of equal keys differ in text: only then
  // does the quicksort's order among them show.
  bool DifferentTextsTie() const;
  // Sorts the sorted members again as the quicksort leaves them from file
  // order.
  void SortTiesAsTheQuicksort();
  // Sets every group's textPrefix.
  void SetGroupPrefixes();
  // Cuts the ordered groups into the chain of pieces.
  void CutIntoSessions(uint32_t sessionSize);
  int CompareMembers(const Member& a, const Member& b) const;
  int CompareGroups(const Group& a, const Group& b) const;
  // Appends the head block as written.
  void FormatHead(std::string* bytes) const;
  // Appends the members of `runs`, in order, as written.
  void FormatPieces(const std::vector<Run>& runs, std::string* bytes) const;

  std::string_view readable_;  // the list's bytes up to the first Ctrl-Z
  std::vector<HeadLine> head_;
  // In file order while reading, in key order (descending) once sorted.
  // Made in one go before the two threads that read the lines fill it.
  UnsetVector<Member> members_;
  std::vector<Group> groups_;  // until Arrange
  int32_t groupCount_ = 0;
  // Session order after Arrange: pieces of the groups, linked in writing
  // order from index 0.
  static constexpr uint32_t kNoPiece = UINT32_MAX;
  struct Piece {
    Run run;
    uint32_t next;
  };
  std::vector<Piece> chain_;
};

}  // namespace grenfel

#endif  // GRENFEL_GROUPING_GROUPED_LIST_H_
