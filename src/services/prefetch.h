// A hint that memory at an address will be read soon, and the ring of
// hashes made ahead that the hash-table lookups ask with. They change no
// result, only speed; compilers without the builtin get nothing.
#ifndef GRENFEL_SERVICES_PREFETCH_H_
#define GRENFEL_SERVICES_PREFETCH_H_

#include <cstddef>
#include <cstdint>

namespace grenfel {

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Asks for the `length` bytes (at least 1) at `address`: its first and its
// last cache line. A record of a list crosses a line about half the time,
// and a copy that waits for its second line costs as much as the first.
inline void PrefetchSpan(const char* address, size_t length) {
  Prefetch(address);
  Prefetch(address + length - 1);
}

// Hashes made kAhead items before they are taken, each handed to `ask` as
// it is made, so that the memory it leads to (a slot, a filter word) is
// asked for early: the probes land all over their tables.
template <typename HashOf, typename Ask>
class HashesAhead {
 public:
  static constexpr size_t kAhead = 16;
  HashesAhead(size_t begin, size_t end, HashOf hashOf, Ask ask)
      : end_(end), hashOf_(hashOf), ask_(ask) {
    for (size_t i = begin; i < end && i < begin + kAhead; ++i) Make(i);
  }
  // The hash of item `i`; the items are taken in order from `begin` on.
  uint64_t Take(size_t i) {
    const uint64_t hash = ring_[i % kAhead];
    if (i + kAhead < end_) Make(i + kAhead);
    return hash;
  }
  // After Take(i), the hash of item j, i < j <= i + kAhead and j < end,
  // which is not taken yet: for a second step of asking ahead.
  uint64_t Peek(size_t j) const { return ring_[j % kAhead]; }

 private:
  void Make(size_t i) {
    ring_[i % kAhead] = hashOf_(i);
    ask_(ring_[i % kAhead]);
  }
  size_t end_;
  HashOf hashOf_;
  Ask ask_;
  uint64_t ring_[kAhead];
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_PREFETCH_H_
