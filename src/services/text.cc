#include "services/text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <system_error>

#include "services/local_time.h"

namespace grenfel {

// Written out in full so that no code page or locale can slip in: a to z,
// A to Z and the seven code page 437 pairs, every other byte to itself.
// clang-format off
const unsigned char kUpperTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x80, 0x9A, 0x90, 0x83, 0x8E, 0x85, 0x8F, 0x80, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x99, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA5, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};

const unsigned char kLowerTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x87, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x84, 0x86,
    0x82, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x94, 0x81, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA4, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};

const unsigned char kFoldTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};
// clang-format on

int CompareFolded(std::string_view a, std::string_view b) {
  size_t shorter = std::min(a.size(), b.size());
  for (size_t k = 0; k < shorter; ++k) {
    int x = FoldByte(static_cast<unsigned char>(a[k]));
    int y = FoldByte(static_cast<unsigned char>(b[k]));
    if (x != y) return x - y;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

std::string MapBytes(std::string_view text, const unsigned char* table) {
  std::string out(text.size(), '\0');
  for (size_t k = 0; k < text.size(); ++k) {
    out[k] = static_cast<char>(table[static_cast<unsigned char>(text[k])]);
  }
  return out;
}

}  // namespace

std::string UpperCase(std::string_view text) { return MapBytes(text, kUpperTable); }

std::string LowerCase(std::string_view text) { return MapBytes(text, kLowerTable); }

bool EqualUpper(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (UpperByte(static_cast<unsigned char>(a[k])) !=
        UpperByte(static_cast<unsigned char>(b[k]))) {
      return false;
    }
  }
  return true;
}

std::string_view MidText(std::string_view text, int64_t start, int64_t count) {
  int64_t length = static_cast<int64_t>(text.size());
  if (start < 0) start += length + 1;
  if (start < 1 || start > length || count <= 0) return {};
  int64_t rest = length - start + 1;
  return text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(std::min(count, rest)));
}

std::string_view LeftText(std::string_view text, int64_t count) { return MidText(text, 1, count); }

int64_t FindText(int64_t start, std::string_view haystack, std::string_view needle) {
  int64_t length = static_cast<int64_t>(haystack.size());
  if (length == 0 || start == 0) return 0;
  if (start > 0) {
    if (start > length) return 0;
    if (needle.empty()) return start;
    size_t at = haystack.find(needle, static_cast<size_t>(start - 1));
    return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
  }
  // Start -k: the last occurrence that lies wholly within the first
  // length - k + 1 bytes.
  int64_t searched = length + start + 1;
  if (searched < 1) return 0;
  if (needle.empty()) return searched;
  size_t at = haystack.substr(0, static_cast<size_t>(searched)).rfind(needle);
  return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

std::string_view TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string_view StripRepeats(std::string_view text, std::string_view piece) {
  if (text.empty() || piece.empty() || piece.size() > text.size()) return text;
  while (text.starts_with(piece)) text.remove_prefix(piece.size());
  while (text.ends_with(piece)) text.remove_suffix(piece.size());
  return text;
}

// ---- Numbers to text ----
//
// Both conversions work on the decimal digits of the value: first the value
// is brought to 18 significant digits (rounded to nearest, ties to even, from
// its exact binary value), then that digit string is rounded once more where
// the output ends. Rounding the digits rather than the double is what makes
// 0.15 (stored a little below) give "0.1" and 2.25 (exact) give "2.2".

namespace {

constexpr int kScaledDigits = 18;

// |value| = 0.d1d2...d18 x 10^(pointAt); digits is empty for zero.
struct Digits {
  std::string digits;
  int pointAt = 0;
};

Digits ScaledDigits(double value) {
  Digits out;
  value = std::fabs(value);
  if (value == 0) return out;
  // Scientific to_chars with a precision is correctly rounded from the exact
  // value, ties to even, and takes no notice of the locale.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific,
                              kScaledDigits - 1);
  std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  int exponent = 0;
  std::string_view tail = text.substr(e + 1);
  if (!tail.empty() && tail[0] == '+') tail.remove_prefix(1);
  std::from_chars(tail.data(), tail.data() + tail.size(), exponent);
  out.pointAt = exponent + 1;
  return out;
}

// The first `keep` digits, rounded by the ones dropped: above one half up,
// below down, exactly one half to the even last kept digit. The result can
// be one digit longer after a carry ("999" -> "1000"), or empty when all of
// it rounds away.
std::string RoundDigits(const std::string& digits, int64_t keep) {
  if (keep >= static_cast<int64_t>(digits.size())) return digits;
  if (keep < 0) return {};
  size_t kept = static_cast<size_t>(keep);
  std::string out = digits.substr(0, kept);
  char first = digits[kept];
  bool restZero = digits.find_first_not_of('0', kept + 1) == std::string::npos;
  bool lastOdd = !out.empty() && (out.back() - '0') % 2 == 1;
  bool up = first > '5' || (first == '5' && (!restZero || lastOdd));
  if (!up) return out;
  size_t k = out.size();
  while (k > 0 && out[k - 1] == '9') out[--k] = '0';
  if (k == 0) {
    out.insert(out.begin(), '1');
  } else {
    ++out[k - 1];
  }
  return out;
}

// Decimal digits of |value| x 10^places rounded to a whole number, without
// leading zeros; "0" when it rounds to nothing.
std::string ScaledWhole(double value, int places) {
  Digits d = ScaledDigits(value);
  if (d.digits.empty()) return "0";
  int64_t keep = static_cast<int64_t>(d.pointAt) + places;
  std::string whole = RoundDigits(d.digits, keep);
  if (whole.empty()) return "0";
  if (keep > static_cast<int64_t>(d.digits.size())) {
    whole.append(static_cast<size_t>(keep) - d.digits.size(), '0');
  }
  return whole;
}

// Not produced by the program's own counts; written so that a stray
// infinity from TextNumber still prints as something readable.
std::string NonFiniteText(double value) {
  if (std::isnan(value)) return "NAN";
  return value < 0 ? "-INF" : "INF";
}

}  // namespace

std::string NumberText(double value) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  Digits d = ScaledDigits(value);
  if (d.digits.empty()) return "0";
  constexpr int64_t kSignificant = 15;
  std::string digits = RoundDigits(d.digits, kSignificant);
  int pointAt = d.pointAt;
  if (static_cast<int64_t>(digits.size()) > kSignificant) {
    // A carry ran through every digit: 9.99...95 became 10.0...0.
    digits.pop_back();
    ++pointAt;
  }
  digits.erase(digits.find_last_not_of('0') + 1);

  std::string out = value < 0 ? "-" : "";
  if (pointAt > kSignificant) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    std::string exponent = std::to_string(pointAt - 1);
    out += "E+";
    if (exponent.size() < 2) out += '0';
    out += exponent;
  } else if (pointAt <= 0) {
    out += '.';
    out.append(static_cast<size_t>(-pointAt), '0');
    out += digits;
  } else {
    size_t whole = static_cast<size_t>(pointAt);
    if (digits.size() <= whole) {
      out += digits;
      out.append(whole - digits.size(), '0');
    } else {
      out += digits.substr(0, whole) + "." + digits.substr(whole);
    }
  }
  return out;
}

std::string FormatNumber(double value, std::string_view mask) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  // The mask is read in the usual way: zeros before the point give the
  // least number of whole digits, zeros after it the decimals, and a comma
  // in the whole part asks for thousands separators.
  size_t point = mask.find('.');
  std::string_view wholeMask = mask.substr(0, point);
  std::string_view fractionMask =
      point == std::string_view::npos ? std::string_view() : mask.substr(point + 1);
  size_t minWhole = static_cast<size_t>(std::count(wholeMask.begin(), wholeMask.end(), '0'));
  size_t places = static_cast<size_t>(std::count(fractionMask.begin(), fractionMask.end(), '0'));
  bool group = wholeMask.find(',') != std::string_view::npos;

  std::string digits = ScaledWhole(value, static_cast<int>(places));
  // A value that rounds to zero is written without a sign: -0.04 gives 0.0.
  bool negative = value < 0 && digits != "0";
  if (digits.size() < places + minWhole) {
    digits.insert(0, places + minWhole - digits.size(), '0');
  }
  std::string whole = digits.substr(0, digits.size() - places);
  std::string fraction = digits.substr(digits.size() - places);

  std::string out = negative ? "-" : "";
  if (group) {
    for (size_t k = 0; k < whole.size(); ++k) {
      if (k > 0 && (whole.size() - k) % 3 == 0) out += ',';
      out += whole[k];
    }
  } else {
    out += whole;
  }
  if (point != std::string_view::npos) out += "." + fraction;
  return out;
}

// ---- Text to number ----

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 99;
}

double BasedNumber(std::string_view text, int base) {
  double value = 0;
  for (char c : text) {
    int digit = DigitValue(c);
    if (digit >= base) break;
    value = value * base + digit;
  }
  return value;
}

}  // namespace

double TextNumber(std::string_view text) {
  size_t p = 0, n = text.size();
  while (p < n && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n')) ++p;

  if (p < n && text[p] == '&') {
    ++p;
    // H, B, O or Q picks the base; any other byte means octal and is left
    // to be read as a digit.
    int base = 8;
    char letter = p < n ? text[p] : '\0';
    if (letter == 'H' || letter == 'h') {
      base = 16;
      ++p;
    } else if (letter == 'B' || letter == 'b') {
      base = 2;
      ++p;
    } else if (letter == 'O' || letter == 'o' || letter == 'Q' || letter == 'q') {
      ++p;
    }
    return BasedNumber(text.substr(p), base);
  }

  bool negative = false;
  if (p < n && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  // The digits go to from_chars as one integer with a power of ten, so the
  // value is correctly rounded and no decimal point (or locale) is involved.
  std::string mantissa;
  int64_t scale = 0;
  while (p < n && text[p] >= '0' && text[p] <= '9') mantissa += text[p++];
  if (p < n && text[p] == '.') {
    ++p;
    while (p < n && text[p] >= '0' && text[p] <= '9') {
      mantissa += text[p++];
      --scale;
    }
  }
  if (p < n && (text[p] == 'E' || text[p] == 'e' || text[p] == 'D' || text[p] == 'd')) {
    size_t q = p + 1;
    bool negativeExponent = false;
    if (q < n && (text[q] == '+' || text[q] == '-')) negativeExponent = text[q++] == '-';
    int64_t exponent = 0;
    for (; q < n && text[q] >= '0' && text[q] <= '9'; ++q) {
      exponent = std::min<int64_t>(exponent * 10 + (text[q] - '0'), 9999);
    }
    scale += negativeExponent ? -exponent : exponent;
  }

  mantissa.erase(0, mantissa.find_first_not_of('0'));
  if (mantissa.empty()) return 0;
  char exponentText[24];
  auto written = std::to_chars(exponentText, exponentText + sizeof exponentText, scale);
  mantissa += 'e';
  mantissa.append(exponentText, written.ptr);

  double value = 0;
  auto result = std::from_chars(mantissa.data(), mantissa.data() + mantissa.size(), value,
                                std::chars_format::scientific);
  if (result.ec == std::errc::result_out_of_range) {
    // Past the range of a double: huge becomes infinity, tiny becomes zero.
    int64_t magnitude = scale + static_cast<int64_t>(mantissa.find('e'));
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

// ---- The clock ----

double SecondsOfDay() {
  using namespace std::chrono;
  auto sinceEpoch = system_clock::now().time_since_epoch();
  auto whole = floor<seconds>(sinceEpoch);
  auto millis = duration_cast<milliseconds>(sinceEpoch - whole).count();
  std::tm now = LocalTime(static_cast<std::time_t>(whole.count()));
  return (now.tm_hour * 3600000.0 + now.tm_min * 60000.0 + now.tm_sec * 1000.0 +
          static_cast<double>(millis)) /
         1000.0;
}

char ClockSecondDigit() {
  // Local time differs from the epoch count by whole minutes in every real
  // time zone, but the shift of the seconds is measured once rather than
  // assumed; after that a call costs one time() and no calendar work.
  static const int shift = [] {
    std::time_t t = std::time(nullptr);
    int epochSeconds = static_cast<int>((t % 60 + 60) % 60);
    return ((LocalTime(t).tm_sec - epochSeconds) % 60 + 60) % 60;
  }();
  std::time_t t = std::time(nullptr);
  int seconds = static_cast<int>(((t % 60 + 60) % 60 + shift) % 60);
  return static_cast<char>('0' + seconds % 10);
}

}  // namespace grenfel
