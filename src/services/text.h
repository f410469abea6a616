// Text rules every part of grenfel relies on: byte-wise comparison, the fixed
// case tables, and cutting and searching with 1-based positions. It also
// brings in numbers to text and back (numbers.h) and the clock (clock.h),
// so that one include serves the program's text work.
//
// Text is bytes. Nothing here looks at the locale.
#ifndef GRENFEL_SERVICES_TEXT_H_
#define GRENFEL_SERVICES_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "services/clock.h"
#include "services/numbers.h"

namespace grenfel {

// The case tables: a to z with A to Z, and seven letter pairs of code page
// 437 (0x84/0x8E, 0x94/0x99, 0x81/0x9A, 0x82/0x90, 0xA4/0xA5, 0x86/0x8F,
// 0x87/0x80). Every other byte maps to itself.
extern const unsigned char kUpperTable[256];
extern const unsigned char kLowerTable[256];
// The sort fold: only a to z become A to Z.
extern const unsigned char kFoldTable[256];

inline unsigned char UpperByte(unsigned char c) { return kUpperTable[c]; }
inline unsigned char LowerByte(unsigned char c) { return kLowerTable[c]; }
inline unsigned char FoldByte(unsigned char c) { return kFoldTable[c]; }

// The case tables eight bytes at a time, for words of bytes below 0x80
// only (AsciiOnly), where they change just a to z and A to Z. No sum below
// carries into the next byte.
namespace text_detail {
inline constexpr uint64_t kEveryByte = 0x0101010101010101ull;
inline constexpr uint64_t kHighBits = 0x8080808080808080ull;
}  // namespace text_detail
inline bool AsciiOnly(uint64_t word) { return (word & text_detail::kHighBits) == 0; }
inline uint64_t UpperAsciiWord(uint64_t word) {
  using namespace text_detail;
  // A byte from 'a' to 'z' reaches 0x80 when 0x1F is added, but not when
  // 0x05 is.
  const uint64_t lower = (word + 0x1F * kEveryByte) & ~(word + 0x05 * kEveryByte) & kHighBits;
  return word ^ (lower >> 2);
}
inline uint64_t LowerAsciiWord(uint64_t word) {
  using namespace text_detail;
  // A byte from 'A' to 'Z' reaches 0x80 when 0x3F is added, but not when
  // 0x25 is.
  const uint64_t upper = (word + 0x3F * kEveryByte) & ~(word + 0x25 * kEveryByte) & kHighBits;
  return word | (upper >> 2);
}
// kFoldTable eight bytes at a time, for any bytes: a byte from 0x80 on is
// kept out of the sums and never changes.
inline uint64_t FoldWord(uint64_t word) {
  using namespace text_detail;
  const uint64_t low = word & ~kHighBits;
  const uint64_t lower = (low + 0x1F * kEveryByte) & ~(low + 0x05 * kEveryByte) & ~word & kHighBits;
  return word ^ (lower >> 2);
}
// The bytes of a word in the other order: memory order to big-endian on a
// little-endian machine.
inline uint64_t SwapBytes(uint64_t word) {
  word = (word & 0x00FF00FF00FF00FFull) << 8 | (word >> 8 & 0x00FF00FF00FF00FFull);
  word = (word & 0x0000FFFF0000FFFFull) << 16 | (word >> 16 & 0x0000FFFF0000FFFFull);
  return word << 32 | word >> 32;
}
// Writes `length` bytes from `from`, lower-cased through kLowerTable, to
// `to`: the same place, or one that does not overlap it.
void LowerCaseInto(const char* from, size_t length, char* to);

// Byte-wise, unsigned, shorter-is-smaller, after mapping both sides
// through kFoldTable. Returns <0, 0 or >0.
int CompareFolded(std::string_view a, std::string_view b);

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// True when UpperCase(a) == UpperCase(b), without building either.
bool EqualUpper(std::string_view a, std::string_view b);

// 1-based cutting. A start of 0 or beyond the length gives "", a negative
// start counts from the end (-1 is the last byte); a count past the rest
// gives the rest.
std::string_view MidText(std::string_view text, int64_t start, int64_t count = INT32_MAX);
std::string_view LeftText(std::string_view text, int64_t count);

// Position (1-based) of needle at or after start, 0 when absent. A start of
// -k searches from the end within the first length-k+1 bytes: -1 finds the
// last occurrence.
int64_t FindText(int64_t start, std::string_view haystack, std::string_view needle);

// Removes byte 0x20 only, at both ends.
std::string_view TrimBlanks(std::string_view text);
// Removes every leading, then every trailing, repetition of piece.
std::string_view StripRepeats(std::string_view text, std::string_view piece);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_TEXT_H_
