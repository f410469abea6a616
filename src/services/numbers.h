// Numbers to text and back, as the program prints counts, percentages and
// times and reads numbers from its command line: decimal digits rounded
// from a value's true decimal expansion, never through the locale.
#ifndef GRENFEL_SERVICES_NUMBERS_H_
#define GRENFEL_SERVICES_NUMBERS_H_

#include <string>
#include <string_view>

namespace grenfel {

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

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_NUMBERS_H_
