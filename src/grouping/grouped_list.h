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

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memberlist/change_report.h"
#include "services/fileio.h"

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
  // Reads the lines of `listBytes`, which must outlive this object, then
  // sorts and groups the members. False when the list does not fit the
  // counts it keeps (a list of 1 TiB or more, a line of 4 GiB or more, 2^31
  // members, or 4 GiB of distinct domains); the object is then empty.
  bool Load(std::string_view listBytes);

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
  static constexpr uint32_t kNoAt = UINT32_MAX;

  // A member record: where it lies in the list's bytes, with what decides
  // most of its key order. The key is the domain lower-cased, a byte 0x00
  // and the local part, all folded; a record without "@" is its own key,
  // folded.
  struct Member {
    // The key's order as far as it is known without reading the text, to be
    // compared as one 128-bit number: the rank of the domain string among
    // all of them, shifted left once with the low bit set when the record
    // has an "@", then the first twelve bytes of the folded local part,
    // big-endian, zero padded.
    uint64_t keyHigh;  // domain order << 32 | local bytes 0 to 3
    uint64_t keyLow;   // local bytes 4 to 11
    // Offset in the list's bytes << 24 | position of the "@" << 12 | length
    // of the record. A field too small for its value holds kFindInText.
    uint64_t ref;

    uint32_t domainOrder() const { return static_cast<uint32_t>(keyHigh >> 32); }
    bool hasAt() const { return domainOrder() & 1; }
  };
  static constexpr uint32_t kFindInText = 0xFFF;

  std::string_view Record(const Member& m) const;
  // The position of the first "@" of a record that has one.
  size_t AtOf(const Member& m) const;

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
  // The members and the groups as the rank sort sees them.
  struct MemberSortKeys;
  struct GroupSortKeys;
  class SessionCursor;

  // Sets every member's key order. False when the
  // distinct domains pass 4 GiB.
  bool RankDomains();
  void SortAndGroup();
  int CompareMembers(const Member& a, const Member& b) const;
  int CompareGroups(const Group& a, const Group& b) const;
  // Appends the members of `runs`, in order, as written.
  void FormatPieces(const std::vector<Run>& runs, std::string* bytes) const;

  std::string_view readable_;  // the list's bytes up to the first Ctrl-Z
  std::vector<HeadLine> head_;
  // In file order while reading, in key order (descending) once sorted.
  std::vector<Member> members_;
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
