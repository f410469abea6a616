// The distinct domain strings of a list: each gets an id, in order of first
// appearance, and once all are known, its rank in ascending byte order.
#ifndef GRENFEL_GROUPING_DOMAIN_TABLE_H_
#define GRENFEL_GROUPING_DOMAIN_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "services/mapped_text.h"
#include "services/prefetch.h"

namespace grenfel {

// The strings are kept mapped, each behind its id and length, in one block
// of their own (far fewer bytes than the list), and the hash slots point
// right at them, so a lookup that was asked for ahead (PrefetchSlot, then
// PrefetchName) finds both in the cache. `hash` is always MappedHash of the
// text looked up.
class DomainTable {
 public:
  static constexpr uint32_t kFull = UINT32_MAX;
  static constexpr uint32_t kUnknown = UINT32_MAX - 1;

  DomainTable();

  void PrefetchSlot(uint64_t hash) const { Prefetch(&slots_[SlotOf(hash)]); }
  void PrefetchName(uint64_t hash) const {
    uint64_t held = slots_[SlotOf(hash)];
    if (held != 0) Prefetch(names_.data() + static_cast<uint32_t>(held));
  }

  // The id of the string, a new one when it is not known yet; kFull when the
  // strings would pass 4 GiB.
  uint32_t IdOf(const MappedText& text, uint64_t hash);

  // (*ranks[t])[id]: the position of the string that has `id` in
  // tables[t], among the distinct strings of both, in ascending order; a
  // string both hold has one rank. Ends the lookups: the slots are let go to
  // make room for the sort's keys.
  static void RankTogether(DomainTable* tables[2], std::vector<uint32_t>* ranks[2]);

 private:
  // The id of a known string, or kUnknown.
  uint32_t Find(const MappedText& text, uint64_t hash) const;
  // The block: from offset kFirstName on, each name as its id (4 bytes),
  // its length (4 bytes) and its mapped bytes. Offset 0 is never a name, so
  // a slot of 0 is free.
  static constexpr uint32_t kFirstName = 8;
  static constexpr uint32_t kNameHeader = 8;

  // Calls visit(offset) for every name, in the order they were added.
  template <typename Visit>
  void ForEachName(Visit visit) const {
    for (size_t offset = kFirstName; offset < names_.size();
         offset += kNameHeader + LengthAt(static_cast<uint32_t>(offset))) {
      visit(static_cast<uint32_t>(offset));
    }
  }

  uint32_t Read32(size_t offset) const;
  uint32_t IdAt(uint32_t offset) const { return Read32(offset); }
  uint32_t LengthAt(uint32_t offset) const { return Read32(offset + 4); }
  std::string_view ViewAt(uint32_t offset) const {
    return std::string_view(names_).substr(offset + kNameHeader, LengthAt(offset));
  }
  MappedText MappedAt(uint32_t offset) const {
    return {Bytes(names_.data()) + offset + kNameHeader, LengthAt(offset), Maps().identity.data()};
  }

  // The slot a hash starts at: the low bits of its high half, the half
  // that a slot keeps, as many as the table's size (a power of two, at most
  // 2^31 as the names fill at most 4 GiB) needs. A table that grows finds
  // the new slots from the old ones, without hashing a name again.
  static size_t SlotIn(uint64_t heldOrHash, size_t slotCount) {
    return static_cast<size_t>(heldOrHash >> 32) & (slotCount - 1);
  }
  size_t SlotOf(uint64_t hash) const { return SlotIn(hash, slots_.size()); }
  // Fills the first free slot from the one `held` starts at.
  static void Place(std::vector<uint64_t>& slots, uint64_t held);

  std::vector<uint64_t> slots_;  // hash high half << 32 | offset of the name; 0 when free
  std::string names_;
  uint32_t count_ = 0;
};

}  // namespace grenfel

#endif  // GRENFEL_GROUPING_DOMAIN_TABLE_H_
