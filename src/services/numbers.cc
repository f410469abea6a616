// Numbers to text and back; see numbers.h.
#include "services/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace grenfel {

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

// A number written after "&": H, B, O or Q picks the base; any other byte
// means octal and is left to be read as a digit.
double AmpersandNumber(std::string_view text) {
  size_t p = 0, n = text.size();
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

}  // namespace

double TextNumber(std::string_view text) {
  size_t p = 0, n = text.size();
  while (p < n && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n')) ++p;

  if (p < n && text[p] == '&') return AmpersandNumber(text.substr(p + 1));

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

}  // namespace grenfel
