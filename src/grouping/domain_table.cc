// The domain table's hash slots, name block and ranking.
#include "grouping/domain_table.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "services/two_threads.h"

namespace grenfel {

DomainTable::DomainTable() : slots_(1024, 0), names_(kFirstName, '\0') {}

uint32_t DomainTable::Read32(size_t offset) const {
  uint32_t value;
  std::memcpy(&value, &names_[offset], 4);
  return value;
}

uint32_t DomainTable::Find(const MappedText& text, uint64_t hash) const {
  size_t mask = slots_.size() - 1;
  for (size_t slot = SlotOf(hash);; slot = (slot + 1) & mask) {
    uint64_t held = slots_[slot];
    if (held == 0) return kUnknown;
    if ((held >> 32) != (hash >> 32)) continue;
    uint32_t offset = static_cast<uint32_t>(held);
    if (LengthAt(offset) == text.length &&
        MappedEqual(Bytes(names_.data()) + offset + kNameHeader, text)) {
      return IdAt(offset);
    }
  }
}

uint32_t DomainTable::IdOf(const MappedText& text, uint64_t hash) {
  if (uint32_t known = Find(text, hash); known != kUnknown) return known;
  if (names_.size() + kNameHeader + text.length > UINT32_MAX) return kFull;
  uint32_t id = count_++;
  uint32_t offset = static_cast<uint32_t>(names_.size());
  names_.resize(offset + kNameHeader + text.length);
  std::memcpy(&names_[offset], &id, 4);
  uint32_t length = static_cast<uint32_t>(text.length);
  std::memcpy(&names_[offset + 4], &length, 4);
  for (size_t i = 0; i < text.length; ++i) {
    names_[offset + kNameHeader + i] = static_cast<char>(text.map[text.bytes[i]]);
  }
  // At most half the slots are taken, so the probes stay short.
  if (uint64_t{count_} * 2 > slots_.size()) {
    std::vector<uint64_t> grown(slots_.size() * 2, 0);
    for (uint64_t held : slots_) {
      if (held != 0) Place(grown, held);
    }
    slots_.swap(grown);
  }
  Place(slots_, (hash >> 32 << 32) | offset);
  return id;
}

bool DomainTable::AddAll(DomainTable other, std::vector<uint32_t>* idHere) {
  // Only the other table's names are read: its slots go first, and the
  // block of names here grows once, to at most what both hold.
  std::vector<uint64_t>().swap(other.slots_);
  names_.reserve(std::min<size_t>(names_.size() + other.names_.size(), UINT32_MAX));
  std::vector<uint32_t> offsets;
  offsets.reserve(other.count_);
  other.ForEachName([&](uint32_t offset) { offsets.push_back(offset); });
  HashesAhead hashes(
      0, offsets.size(), [&](size_t i) { return MappedHash(other.MappedAt(offsets[i])); },
      [this](uint64_t hash) { PrefetchSlot(hash); });
  idHere->assign(other.count_, 0);
  for (size_t i = 0; i < offsets.size(); ++i) {
    uint32_t id = IdOf(other.MappedAt(offsets[i]), hashes.Take(i));
    if (id == kFull) return false;
    (*idHere)[other.IdAt(offsets[i])] = id;
  }
  return true;
}

void DomainTable::Place(std::vector<uint64_t>& slots, uint64_t held) {
  const size_t mask = slots.size() - 1;
  size_t slot = SlotIn(held, slots.size());
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  slots[slot] = held;
}

std::vector<uint32_t> DomainTable::TakeRanks() {
  std::vector<uint64_t>().swap(slots_);
  struct Key {
    uint64_t prefix;  // the first eight bytes, big-endian, zero padded
    uint32_t offset;
  };
  std::vector<Key> keys;
  keys.reserve(count_);
  ForEachName([&](uint32_t offset) {
    std::string_view name = ViewAt(offset);
    keys.push_back(
        {MappedWord({Bytes(name.data()), name.size(), Maps().identity.data()}, 0, 8), offset});
  });
  // Distinct strings never tie, so any sort gives the one order: this one
  // takes n log n steps on every order. Each half is sorted on its own
  // thread, then the two are merged.
  auto ascending = [this](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return ViewAt(a.offset) < ViewAt(b.offset);
  };
  const size_t secondHalf = MiddleOf(0, keys.size());
  ForBothHalves(0, keys.size(), [&](size_t begin, size_t end, int) {
    std::sort(keys.begin() + static_cast<ptrdiff_t>(begin),
              keys.begin() + static_cast<ptrdiff_t>(end), ascending);
  });
  std::inplace_merge(keys.begin(), keys.begin() + static_cast<ptrdiff_t>(secondHalf), keys.end(),
                     ascending);
  std::vector<uint32_t> rank(keys.size());
  for (uint32_t r = 0; r < keys.size(); ++r) rank[IdAt(keys[r].offset)] = r;
  return rank;
}

}  // namespace grenfel
