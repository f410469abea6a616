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
    // The moves land all over the new slots: each is asked for a few moves
    // ahead, or every move would wait for its own.
    constexpr size_t kAhead = 16;
    const size_t old = slots_.size();
    for (size_t i = 0; i < old; ++i) {
      if (i + kAhead < old && slots_[i + kAhead] != 0) {
        Prefetch(&grown[SlotIn(slots_[i + kAhead], grown.size())]);
      }
      if (slots_[i] != 0) Place(grown, slots_[i]);
    }
    slots_.swap(grown);
  }
  Place(slots_, (hash >> 32 << 32) | offset);
  return id;
}

void DomainTable::Place(std::vector<uint64_t>& slots, uint64_t held) {
  const size_t mask = slots.size() - 1;
  size_t slot = SlotIn(held, slots.size());
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  slots[slot] = held;
}

void DomainTable::RankTogether(DomainTable* tables[2], std::vector<uint32_t>* ranks[2]) {
  struct Key {
    uint64_t prefix;  // the first eight bytes, big-endian, zero padded
    uint32_t offset;
  };
  // Key a of table ta against key b of table tb: <0, 0 or >0.
  auto compare = [](const DomainTable& ta, const Key& a, const DomainTable& tb, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return ta.ViewAt(a.offset).compare(tb.ViewAt(b.offset));
  };
  // Each table's strings are sorted on a thread of their own, then the two
  // orders are walked together. Distinct strings of one table never tie, so
  // any sort gives the one order: this one takes n log n steps on every
  // order.
  std::vector<Key> keys[2];
  ForBothHalves(0, tables[0]->count_ + tables[1]->count_, [&](size_t, size_t, int t) {
    DomainTable& table = *tables[t];
    std::vector<uint64_t>().swap(table.slots_);
    keys[t].reserve(table.count_);
    table.ForEachName([&](uint32_t offset) {
      std::string_view name = table.ViewAt(offset);
      keys[t].push_back(
          {MappedWord({Bytes(name.data()), name.size(), Maps().identity.data()}, 0, 8), offset});
    });
    std::sort(keys[t].begin(), keys[t].end(),
              [&](const Key& a, const Key& b) { return compare(table, a, table, b) < 0; });
  });
  ranks[0]->assign(keys[0].size(), 0);
  ranks[1]->assign(keys[1].size(), 0);
  size_t a = 0, b = 0;
  for (uint32_t rank = 0; a < keys[0].size() || b < keys[1].size(); ++rank) {
    int order = a == keys[0].size()   ? 1
                : b == keys[1].size() ? -1
                                      : compare(*tables[0], keys[0][a], *tables[1], keys[1][b]);
    if (order <= 0) {
      (*ranks[0])[tables[0]->IdAt(keys[0][a].offset)] = rank;
      ++a;
    }
    if (order >= 0) {
      (*ranks[1])[tables[1]->IdAt(keys[1][b].offset)] = rank;
      ++b;
    }
  }
}

}  // namespace grenfel
