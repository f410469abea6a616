// Texts seen through a byte map (lower-cased, folded, as they are), compared,
// hashed and cut into words without building the mapped copy.
#ifndef GRENFEL_SERVICES_MAPPED_TEXT_H_
#define GRENFEL_SERVICES_MAPPED_TEXT_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace grenfel {

using ByteMap = std::array<unsigned char, 256>;

// The byte maps under the comparisons. A domain is lower-cased before it is
// folded; a record without "@" is its own key and only folded.
struct ByteMaps {
  ByteMap identity;
  ByteMap lower;
  ByteMap fold;
  ByteMap domainFold;  // kFoldTable after kLowerTable
};

const ByteMaps& Maps();

struct MappedText {
  const unsigned char* bytes;
  size_t length;
  const unsigned char* map;
};

inline const unsigned char* Bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

inline int CompareMapped(const MappedText& a, const MappedText& b) {
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
inline uint64_t MappedWord(const MappedText& text, size_t start, size_t count) {
  uint64_t word = 0;
  for (size_t i = start; i < start + count; ++i) {
    word = word << 8 | (i < text.length ? text.map[text.bytes[i]] : 0);
  }
  return word;
}

// Bytes `start` to `start + 8` of the mapped text (all of them below its
// length), the first in the lowest byte.
inline uint64_t MappedLittleWord(const MappedText& text, size_t start) {
  const unsigned char* bytes = text.bytes + start;
  const unsigned char* map = text.map;
  uint64_t word = 0;
  for (int k = 0; k < 8; ++k) word |= uint64_t{map[bytes[k]]} << (8 * k);
  return word;
}

// A hash of the mapped bytes, mixed eight at a time: the words are made
// from independent lookups, so only one multiplication a word waits for the
// one before.
inline uint64_t MappedHash(const MappedText& text) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  uint64_t hash = 14695981039346656037ull ^ text.length;
  size_t i = 0;
  for (; i + 8 <= text.length; i += 8) {
    hash = (hash ^ MappedLittleWord(text, i)) * kMultiplier;
    hash ^= hash >> 32;
  }
  uint64_t last = 0;
  for (size_t k = 0; i + k < text.length; ++k) {
    last |= uint64_t{text.map[text.bytes[i + k]]} << (8 * k);
  }
  hash = (hash ^ last) * kMultiplier;
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  return hash ^ (hash >> 33);
}

// Whether `mapped` holds the bytes of `text` mapped, for texts of one length.
inline bool MappedEqual(const unsigned char* mapped, const MappedText& text) {
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= text.length; i += 8) {
      uint64_t word;
      std::memcpy(&word, mapped + i, 8);
      if (word != MappedLittleWord(text, i)) return false;
    }
  }
  for (; i < text.length; ++i) {
    if (mapped[i] != text.map[text.bytes[i]]) return false;
  }
  return true;
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_MAPPED_TEXT_H_
