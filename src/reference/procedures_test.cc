// The literal procedures on their own: the text edges, the sort's examples
// and equal-key order, the clock and the domain keys.
#include "reference/procedures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "services/text.h"

namespace grenfel {
namespace {

using namespace std::string_literals;

TEST(ReferenceText, CompareRightCountInsertEdges) {
  EXPECT_LT(CompareText("abc", "abd"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_LT(CompareText("B", "a"), 0);
  EXPECT_LT(CompareText("", "a"), 0);
  EXPECT_GT(CompareText("\x80", "z"), 0);  // bytes are unsigned
  EXPECT_LT(CompareText("a\0b"s, "a\0c"s), 0);

  EXPECT_EQ(RightText("abc", 0), "");
  EXPECT_EQ(RightText("abc", 2), "bc");
  EXPECT_EQ(RightText("abc", 3), "abc");

  EXPECT_EQ(CountText("aaaa", "aa"), 2);
  EXPECT_EQ(CountText("aaa", "aa"), 1);
  EXPECT_EQ(CountText("abc", ""), 0);

  std::vector<std::string> array = {"a", "b", "c", "d"};
  InsertText(array, 1, "new");
  EXPECT_EQ(array, (std::vector<std::string>{"a", "new", "b", "c"}));
  InsertText(array, 3, "end");
  EXPECT_EQ(array, (std::vector<std::string>{"a", "new", "b", "end"}));
  InsertText(array, 4, "outside");
  EXPECT_EQ(array, (std::vector<std::string>{"a", "new", "b", "end"}));
}

// The algorithm as written down, recursing into both parts in turn.
template <typename Compare>
void ReferenceSort(std::vector<std::string>& a, int64_t lo, int64_t hi, Compare compare) {
  const std::string pivot = a[lo + (hi - lo) / 2];
  int64_t i = lo, j = hi;
  while (i <= j) {
    while (compare(a[i], pivot) > 0 && i < hi) ++i;
    while (compare(pivot, a[j]) > 0 && j > lo) --j;
    if (i > j) break;
    if (i < j) std::swap(a[i], a[j]);
    ++i;
    --j;
  }
  if (lo < j) ReferenceSort(a, lo, j, compare);
  if (i < hi) ReferenceSort(a, i, hi, compare);
}

TEST(TextSort, ExamplesAndEqualKeyOrderMatchTheRecursiveWalk) {
  std::vector<std::string> fruit = {"pear", "Apple", "fig", ""};
  SortTexts(fruit, true, true);
  EXPECT_EQ(fruit, (std::vector<std::string>{"pear", "fig", "Apple", ""}));
  std::vector<std::string> marks = {"zz", "_x", "Zy"};
  SortTexts(marks, true, true);
  EXPECT_EQ(marks, (std::vector<std::string>{"_x", "zz", "Zy"}));
  SortTexts(marks, false, false);
  EXPECT_EQ(marks, (std::vector<std::string>{"Zy", "_x", "zz"}));

  // Few distinct keys in many letter-case spellings: the order of equal
  // keys is where a different walk would show.
  const char* words[] = {"", "a", "A", "ab", "aB", "Ab", "AB", "b", "B", "_", "ba", "BA"};
  auto folded = [](const std::string& a, const std::string& b) { return CompareFolded(a, b); };
  auto exact = [](const std::string& a, const std::string& b) { return CompareText(a, b); };
  auto rising = [](const std::string& a, const std::string& b) { return -CompareFolded(a, b); };
  std::mt19937 random(2024);
  for (int round = 0; round < 400; ++round) {
    std::vector<std::string> items(random() % (round < 300 ? 40 : 3000));
    for (auto& item : items) item = words[random() % std::size(words)];
    int mode = round % 3;  // descending folded, descending exact, ascending folded
    std::vector<std::string> expected = items;
    if (expected.size() > 1) {
      int64_t hi = static_cast<int64_t>(expected.size()) - 1;
      if (mode == 0) ReferenceSort(expected, 0, hi, folded);
      if (mode == 1) ReferenceSort(expected, 0, hi, exact);
      if (mode == 2) ReferenceSort(expected, 0, hi, rising);
    }
    SortTexts(items, mode != 2, mode != 1);
    ASSERT_EQ(items, expected) << "round " << round;
    for (size_t k = 1; k < items.size(); ++k) {
      int order = mode == 1 ? exact(items[k - 1], items[k]) : folded(items[k - 1], items[k]);
      ASSERT_TRUE(mode == 2 ? order <= 0 : order >= 0) << "round " << round;
    }
  }
}

TEST(ReferenceClock, ClockTextAgreesWithTheSecondDigit) {
  std::string text;
  char before, after;
  do {  // retried if the second changes between the readings
    before = ClockSecondDigit();
    text = ClockText();
    after = ClockSecondDigit();
  } while (before != after);
  ASSERT_EQ(text.size(), 8u);
  EXPECT_EQ(text[2], ':');
  EXPECT_EQ(text[5], ':');
  EXPECT_LE(text.substr(0, 2), "23");
  EXPECT_LE(text.substr(3, 2), "59");
  EXPECT_EQ(text[7], before);
  double seconds = SecondsOfDay();
  EXPECT_GE(seconds, 0);
  EXPECT_LT(seconds, 86400);
}

TEST(ReferenceToggleDomainKey, TurnsAddressesIntoKeysAndBack) {
  const std::string key = std::string("\x84x@example.com") + '\0' + "Us\x8Er";
  EXPECT_EQ(ToggleDomainKey("Us\x8Er@\x8EX@Example.COM"), key);
  EXPECT_EQ(ToggleDomainKey(key), "Us\x8Er@\x84x@example.com");
  EXPECT_EQ(ToggleDomainKey(std::string("a\0b@C", 5)), "b@C@a");
  EXPECT_EQ(ToggleDomainKey("@"), std::string(1, '\0'));
  EXPECT_EQ(ToggleDomainKey("no address"), "no address");
  EXPECT_EQ(ToggleDomainKey(""), "");
}

}  // namespace
}  // namespace grenfel
