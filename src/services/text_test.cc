// The case tables byte by byte, the folded comparison, and the edges of
// cutting and searching.
#include "services/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST(TextCase, WordRulesMatchTheTablesInEveryLane) {
  // Every byte in every lane, beside neighbours that would carry into it if
  // a sum were wrong.
  const unsigned char neighbours[] = {0x00, 0x7F, 0x80, 0xFF, 'z', 'Z'};
  for (int c = 0; c < 256; ++c) {
    for (int lane = 0; lane < 8; ++lane) {
      for (unsigned char around : neighbours) {
        unsigned char bytes[8];
        std::memset(bytes, around, 8);
        bytes[lane] = static_cast<unsigned char>(c);
        uint64_t word;
        std::memcpy(&word, bytes, 8);
        auto byteOf = [lane](uint64_t w) {
          unsigned char out[8];
          std::memcpy(out, &w, 8);
          return out[lane];
        };
        EXPECT_EQ(byteOf(FoldWord(word)), FoldByte(static_cast<unsigned char>(c))) << c;
        if (AsciiOnly(word)) {
          EXPECT_EQ(byteOf(UpperAsciiWord(word)), UpperByte(static_cast<unsigned char>(c))) << c;
          EXPECT_EQ(byteOf(LowerAsciiWord(word)), LowerByte(static_cast<unsigned char>(c))) << c;
        }
      }
    }
  }
  EXPECT_EQ(SwapBytes(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(TextCase, LowerCaseIntoMatchesTheTableAtEveryLength) {
  // Letters of both cases, the code page pairs and other bytes, at every
  // length and offset: whole words, the last word laid over done bytes, and
  // words that hold a byte from 0x80 on, which go byte by byte.
  const std::string alphabet = "aZ.@-0\x80\x8E\x99\xA5zA[`{\r";
  uint32_t seed = 1;
  for (size_t length = 0; length <= 40; ++length) {
    for (int trial = 0; trial < 50; ++trial) {
      std::string text;
      for (size_t k = 0; k < length; ++k) {
        seed = seed * 1103515245u + 12345u;
        // Half the trials stay below 0x80.
        size_t pick = (seed >> 16) % (trial % 2 == 0 ? 6 : alphabet.size());
        text.push_back(alphabet[pick]);
      }
      // In place, and into a copy of other bytes.
      std::string framed = "XX" + text + "YY";
      LowerCaseInto(framed.data() + 2, length, framed.data() + 2);
      EXPECT_EQ(framed, "XX" + LowerCase(text) + "YY") << "length " << length;
      std::string copy = "XX" + std::string(length, '#') + "YY";
      LowerCaseInto(text.data(), length, copy.data() + 2);
      EXPECT_EQ(copy, framed) << "length " << length;
    }
  }
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

}  // namespace
}  // namespace grenfel
