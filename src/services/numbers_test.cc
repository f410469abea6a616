// Numbers to text and back: rounding, masks, and reading as far as a text
// allows.
#include "services/numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace grenfel {
namespace {

TEST(NumberText, FifteenDigitsNoLeadingZeroExponentPastFifteen) {
  EXPECT_EQ(NumberText(1234), "1234");
  EXPECT_EQ(NumberText(0), "0");
  EXPECT_EQ(NumberText(-0.0), "0");
  EXPECT_EQ(NumberText(-5), "-5");
  EXPECT_EQ(NumberText(0.5), ".5");
  EXPECT_EQ(NumberText(-0.25), "-.25");
  EXPECT_EQ(NumberText(0.001), ".001");
  EXPECT_EQ(NumberText(2.0 / 3), ".666666666666667");
  EXPECT_EQ(NumberText(999999999999999), "999999999999999");
  EXPECT_EQ(NumberText(100000000000000.5), "100000000000000");  // tie to even
  EXPECT_EQ(NumberText(100000000000001.5), "100000000000002");
  EXPECT_EQ(NumberText(1000000000000005), "1E+15");
  EXPECT_EQ(NumberText(1000000000000015), "1.00000000000002E+15");
  EXPECT_EQ(NumberText(999999999999999.9), "1E+15");
  EXPECT_EQ(NumberText(-1.5e300), "-1.5E+300");
}

TEST(FormatNumber, MasksRoundTheTrueDecimalExpansion) {
  EXPECT_EQ(FormatNumber(1000, "0,"), "1,000");
  EXPECT_EQ(FormatNumber(1234567, "0,"), "1,234,567");
  EXPECT_EQ(FormatNumber(-1234, "0,"), "-1,234");
  EXPECT_EQ(FormatNumber(999999.5, "0,"), "1,000,000");
  EXPECT_EQ(FormatNumber(0, "0.0"), "0.0");
  EXPECT_EQ(FormatNumber(12.34, "0.0"), "12.3");
  EXPECT_EQ(FormatNumber(0.15, "0.0"), "0.1");  // stored just below .15
  EXPECT_EQ(FormatNumber(0.05, "0.0"), "0.1");  // stored just above .05
  EXPECT_EQ(FormatNumber(0.35, "0.0"), "0.3");  // stored just below .35
  EXPECT_EQ(FormatNumber(0.25, "0.0"), "0.2");
  EXPECT_EQ(FormatNumber(2.25, "0.0"), "2.2");
  EXPECT_EQ(FormatNumber(2.75, "0.0"), "2.8");
  EXPECT_EQ(FormatNumber(999.96, "0.0"), "1000.0");
  EXPECT_EQ(FormatNumber(-0.04, "0.0"), "0.0");
  EXPECT_EQ(FormatNumber(-0.06, "0.0"), "-0.1");
  EXPECT_EQ(FormatNumber(1.5, "00000000"), "00000002");
  EXPECT_EQ(FormatNumber(2.5, "00000000"), "00000002");
  EXPECT_EQ(FormatNumber(3.5, "00000000"), "00000004");
  EXPECT_EQ(FormatNumber(123456789, "00000000"), "123456789");
  EXPECT_EQ(FormatNumber(-7, "00000000"), "-00000007");
}

TEST(TextNumber, ReadsAsFarAsItCan) {
  EXPECT_EQ(TextNumber("25"), 25);
  EXPECT_EQ(TextNumber("25x"), 25);
  EXPECT_EQ(TextNumber("2.5"), 2.5);
  EXPECT_EQ(TextNumber("  7"), 7);
  EXPECT_EQ(TextNumber("\t\n 7"), 7);
  EXPECT_EQ(TextNumber("\r7"), 0);
  EXPECT_EQ(TextNumber("3 4"), 3);
  EXPECT_EQ(TextNumber("+.5"), 0.5);
  EXPECT_EQ(TextNumber("-"), 0);
  EXPECT_EQ(TextNumber("0.1"), 0.1);
  EXPECT_EQ(TextNumber("123456789012345678901234567890"), 1.2345678901234568e29);
  EXPECT_EQ(TextNumber("1D2"), 100);
  EXPECT_EQ(TextNumber("15d-1"), 1.5);
  EXPECT_EQ(TextNumber("1e"), 1);
  EXPECT_EQ(TextNumber("2E+x"), 2);
  // The exponent is capped at 9999 before it meets the fraction.
  EXPECT_EQ(TextNumber("." + std::string(9998, '0') + "1e10000"), 1);
  EXPECT_EQ(TextNumber("1e99999"), INFINITY);
  EXPECT_EQ(TextNumber("-1e400"), -INFINITY);
  EXPECT_EQ(TextNumber("1e-99999"), 0);
  EXPECT_EQ(TextNumber("&H10"), 16);
  EXPECT_EQ(TextNumber("&hfF"), 255);
  EXPECT_EQ(TextNumber("&B1012"), 5);
  EXPECT_EQ(TextNumber("&O17"), 15);
  EXPECT_EQ(TextNumber("&17"), 15);  // no base letter: octal, and the "1" is a digit
  EXPECT_EQ(TextNumber("&8"), 0);
  EXPECT_EQ(TextNumber("&"), 0);
}

}  // namespace
}  // namespace grenfel
