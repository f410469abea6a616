// Text rules every part of grenfel relies on: byte-wise comparison, the fixed
// case tables, cutting and searching with 1-based positions, numbers to text
// and back, and the clock.
//
// Text is bytes. Nothing here looks at the locale.
#ifndef GRENFEL_SERVICES_TEXT_H_
#define GRENFEL_SERVICES_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// Decimal text of a value rounded to 15 significant digits; no leading zero
// before a fraction point, exponent form beyond 15 integer digits.
std::string NumberText(double value);
// Masks in use: "0," (thousands), "0.0" (one decimal), "00000000" (zero
// padded to eight digits). Rounds the value's true decimal expansion, ties
// to even: 0.15 gives "0.1", 2.25 gives "2.2", 2.75 gives "2.8".
std::string FormatNumber(double value, std::string_view mask);
// Leading blanks, tabs and LFs skipped; sign, digits, fraction, exponent
// (E, e, D or d, capped at 9999); "&H", "&B", "&O"/"&Q" bases. Reads as far
// as it can; no digits give 0.
double TextNumber(std::string_view text);

// Local seconds since midnight, with milliseconds.
double SecondsOfDay();
// The last digit of the local clock's seconds: cheap enough to ask once per
// record when deciding whether to refresh a progress title.
char ClockSecondDigit();

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_TEXT_H_
