// Texts seen through a byte map (lower-cased, folded, as they are), compared,
// hashed and cut into words without building the mapped copy.
#ifndef GRENFEL_GROUPING_MAPPED_TEXT_H_
#define GRENFEL_GROUPING_MAPPED_TEXT_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

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

inline uint64_t MappedHash(const MappedText& text) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < text.length; ++i) {
    hash = (hash ^ text.map[text.bytes[i]]) * 1099511628211ull;
  }
  return hash ^ (hash >> 29);
}

}  // namespace grenfel

#endif  // GRENFEL_GROUPING_MAPPED_TEXT_H_
