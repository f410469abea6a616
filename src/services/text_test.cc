#include "services/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace grenfel {
namespace {

using namespace std::string_literals;

TEST(TextTables, EveryByteFollowsTheCaseRules) {
  const int pairs[][2] = {{0x84, 0x8E}, {0x94, 0x99}, {0x81, 0x9A}, {0x82, 0x90},
                          {0xA4, 0xA5}, {0x86, 0x8F}, {0x87, 0x80}};
  for (int c = 0; c < 256; ++c) {
    int upper = c, lower = c, fold = c;
    if (c >= 'a' && c <= 'z') upper = fold = c - 32;
    if (c >= 'A' && c <= 'Z') lower = c + 32;
    for (const auto& p : pairs) {
      if (c == p[0]) upper = p[1];
      if (c == p[1]) lower = p[0];
    }
    EXPECT_EQ(kUpperTable[c], upper) << "byte " << c;
    EXPECT_EQ(kLowerTable[c], lower) << "byte " << c;
    EXPECT_EQ(kFoldTable[c], fold) << "byte " << c;
  }
  EXPECT_EQ(UpperCase("a\x84\xE4z"), "A\x8E\xE4Z");
  EXPECT_EQ(LowerCase("A\x8E\xC4Z"s + '\0'), "a\x84\xC4z"s + '\0');
  EXPECT_TRUE(EqualUpper("mIx\x81", "MiX\x9A"));
  EXPECT_FALSE(EqualUpper("a", "ab"));
  EXPECT_FALSE(EqualUpper("\xE4", "\xC4"));
}

TEST(TextCompare, ShorterFirstAndAsciiOnlyFold) {
  EXPECT_EQ(CompareFolded("Alice", "ALICE"), 0);
  EXPECT_GT(CompareFolded("_x", "zz"), 0);
  EXPECT_LT(CompareFolded("a-b", "A.B"), 0);
  EXPECT_LT(CompareFolded("ab", "AbC"), 0);
  EXPECT_GT(CompareFolded("\x80", "z"), 0);     // bytes are unsigned
  EXPECT_NE(CompareFolded("\x84", "\x8E"), 0);  // the sort fold leaves accents alone
}

TEST(TextCutting, EdgesOfMidLeftTrimStrip) {
  EXPECT_EQ(MidText("abc", 2), "bc");
  EXPECT_EQ(MidText("abc", 4, 1), "");
  EXPECT_EQ(MidText("abc", 0, 2), "");
  EXPECT_EQ(MidText("abc", -1), "c");
  EXPECT_EQ(MidText("abc", -3, 2), "ab");
  EXPECT_EQ(MidText("abc", -4), "");
  EXPECT_EQ(MidText("abc", 1, -1), "");
  EXPECT_EQ(LeftText("abc", 2), "ab");
  EXPECT_EQ(TrimBlanks("  \ta b\t  "), "\ta b\t");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(StripRepeats("\"\"my list.lst\"", "\""), "my list.lst");
  EXPECT_EQ(StripRepeats("\"\"\"", "\""), "");
  EXPECT_EQ(StripRepeats("ab", "abc"), "ab");
}

TEST(TextSearch, FindEdges) {
  EXPECT_EQ(FindText(1, "abc", ""), 1);
  EXPECT_EQ(FindText(3, "abc", ""), 3);
  EXPECT_EQ(FindText(4, "abc", ""), 0);
  EXPECT_EQ(FindText(1, "", "a"), 0);
  EXPECT_EQ(FindText(4, "abcabc", "bc"), 5);
  EXPECT_EQ(FindText(-1, "x.y.z", "."), 4);
  EXPECT_EQ(FindText(-2, "x.y.z", "."), 4);  // first four bytes: "x.y."
  EXPECT_EQ(FindText(-3, "x.y.z", "."), 2);
  EXPECT_EQ(FindText(-1, "abcabc", "bc"), 5);
  EXPECT_EQ(FindText(-2, "abcabc", "bc"), 2);  // "bc" at 5 is cut by the limit
}

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

TEST(Clock, SecondDigitAgreesWithTheTimeOfDay) {
  double seconds;
  char before, after;
  do {  // retried if the second changes between the readings
    before = ClockSecondDigit();
    seconds = SecondsOfDay();
    after = ClockSecondDigit();
  } while (before != after);
  EXPECT_GE(seconds, 0);
  EXPECT_LT(seconds, 86400);
  EXPECT_EQ(before, '0' + static_cast<int>(seconds) % 10);
}

}  // namespace
}  // namespace grenfel
