// The fast sorts against the plain array quicksort of the reference
// procedures, on random and lopsided input, on one thread and on two.
#include "services/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference/procedures.h"
#include "services/text.h"

namespace grenfel {
namespace {

// Texts as the ranking sees them: folded 8-byte words, then the folded
// comparison. With one word, ties of the first eight bytes go to the
// comparison sort.
template <int Words>
struct TextKeys {
  static constexpr int kWords = Words;
  const std::vector<std::string>& texts;

  uint64_t Word(uint32_t index, int w) const {
    const std::string& text = texts[index];
    uint64_t word = 0;
    for (size_t k = 8 * static_cast<size_t>(w); k < 8 * static_cast<size_t>(w) + 8; ++k) {
      word = word << 8 | (k < text.size() ? FoldByte(static_cast<unsigned char>(text[k])) : 0);
    }
    return word;
  }
  int Compare(uint32_t a, uint32_t b) const { return CompareFolded(texts[a], texts[b]); }
  bool SameText(uint32_t a, uint32_t b) const { return texts[a] == texts[b]; }
};

template <int Words>
std::vector<std::string> FastSorted(const std::vector<std::string>& texts) {
  RankedOrder order = RankedDescendingOrder(texts.size(), TextKeys<Words>{texts});
  std::vector<std::string> sorted;
  for (size_t p = 0; p < order.size(); ++p) sorted.push_back(texts[PayloadOf(order[p])]);
  return sorted;
}

// A random spelling of `text`: a to z in either case.
std::string Respelled(std::mt19937& random, std::string text) {
  for (char& c : text) {
    if (random() % 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (random() % 2 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Keys that share long prefixes, hold bytes that only look like letters,
// zero bytes (which the zero padding of the words must not confuse), and
// are prefixes of each other.
std::string RandomKey(std::mt19937& random) {
  static const std::string kStems[] = {"", "a", "someone.longer@", "someone.lon", "x@y.org"};
  static const std::string kBytes("aAbBzZ@._[`\x00\x84\x8e\xff", 16);
  std::string key = kStems[random() % std::size(kStems)];
  size_t length = random() % (random() % 4 == 0 ? 30 : 6);
  for (size_t k = 0; k < length; ++k) key += kBytes[random() % kBytes.size()];
  return key;
}

bool FoldedLess(const std::string& a, const std::string& b) { return CompareFolded(a, b) < 0; }

// The fast path against the plain procedure, on every shape of input that
// the quicksort treats differently, small and large enough for two threads
// and for the jumping scans.
TEST(RankedDescendingOrder, GivesTheOrderOfThePlainQuicksort) {
  std::mt19937 random(15);
  enum Shape { kRandom, kAscending, kDescending, kUpDown, kAllEqual, kFewKeys, kShapes };
  const char* names[] = {"random", "ascending", "descending", "up-down", "all equal", "few keys"};
  for (size_t count : {1, 2, 3, 40, 5000, 70000}) {
    for (int shape = 0; shape < kShapes; ++shape) {
      std::vector<std::string> texts;
      if (shape == kUpDown) {
        // A sorted list followed by a reverse-sorted copy in other spellings.
        for (size_t k = 0; k < (count + 1) / 2; ++k) texts.push_back(RandomKey(random));
        std::sort(texts.begin(), texts.end(), FoldedLess);
        for (size_t k = texts.size(); k-- > 0 && texts.size() < count;) {
          texts.push_back(Respelled(random, texts[k]));
        }
      } else if (shape == kAllEqual || shape == kFewKeys) {
        std::vector<std::string> keys;
        for (int k = 0; k < (shape == kAllEqual ? 1 : 5); ++k) keys.push_back(RandomKey(random));
        for (size_t k = 0; k < count; ++k) {
          texts.push_back(Respelled(random, keys[random() % keys.size()] + "mixedCASE"));
        }
      } else {
        for (size_t k = 0; k < count; ++k) {
          // Every tenth a case variant of one before it.
          texts.push_back(k > 0 && random() % 10 == 0 ? Respelled(random, texts[random() % k])
                                                      : RandomKey(random));
        }
        if (shape == kAscending) std::stable_sort(texts.begin(), texts.end(), FoldedLess);
        if (shape == kDescending) {
          std::stable_sort(texts.begin(), texts.end(), FoldedLess);
          std::reverse(texts.begin(), texts.end());
        }
      }
      std::vector<std::string> expected = texts;
      SortTexts(expected, /*descending=*/true, /*fold=*/true);
      ASSERT_EQ(FastSorted<2>(texts), expected) << names[shape] << ", " << count;
      if (count <= 5000) {
        ASSERT_EQ(FastSorted<1>(texts), expected) << names[shape] << ", " << count;
      }
    }
  }
}

// The plain procedure on ranks: each item becomes a text of its rank's
// digits and 20 letters whose case spells its payload, so that items of one
// rank are equal keys, and sorted with SortTexts.
std::vector<uint32_t> PlainRankOrder(const std::vector<RankedItem>& items) {
  std::vector<std::string> texts;
  for (RankedItem item : items) {
    std::string text = std::to_string(RankOf(item));
    text.insert(0, 10 - text.size(), '0');
    for (int bit = 0; bit < 20; ++bit) text += PayloadOf(item) >> bit & 1 ? 'A' : 'a';
    texts.push_back(text);
  }
  SortTexts(texts, /*descending=*/true, /*fold=*/true);
  std::vector<uint32_t> payloads;
  for (const std::string& text : texts) {
    uint32_t payload = 0;
    for (int bit = 0; bit < 20; ++bit) payload |= uint32_t{text[10 + bit] == 'A'} << bit;
    payloads.push_back(payload);
  }
  return payloads;
}

// Orders where the plain scans walk the whole range for each swap, on one
// thread and on two (where the parts that wait go to the other thread):
// the jumping scans must give the same permutation, ties included.
TEST(QuickSortRanksDescending, LopsidedOrdersGiveThePlainPermutation) {
  std::mt19937 random(4);
  static_assert(2 * 40000 > kTwoThreadMinimum);
  for (uint32_t half : {3000u, 8000u, 40000u}) {
    // Up then down, each rank twice; down then up; up then down in steps
    // of three equal ranks; up then down with a few random ranks mixed in.
    for (int shape = 0; shape < 4; ++shape) {
      std::vector<RankedItem> items;
      for (uint32_t k = 0; k < 2 * half; ++k) {
        uint32_t step = k < half ? k : 2 * half - 1 - k;
        uint32_t rank = shape == 1 ? half - step : shape == 2 ? step / 3 : step;
        if (shape == 3 && random() % 500 == 0) rank = static_cast<uint32_t>(random() % half);
        items.push_back(MakeRankedItem(rank, k));
      }
      // The texts' quicksort takes too long on the longest: the same walk
      // on the items themselves stands in for it there.
      std::vector<uint32_t> expected;
      if (half < 10000) {
        expected = PlainRankOrder(items);
      } else {
        std::vector<RankedItem> plain = items;
        PlainQuickSortDescending(plain, [](RankedItem a, RankedItem b) {
          return static_cast<int64_t>(RankOf(a)) - static_cast<int64_t>(RankOf(b));
        });
        for (RankedItem item : plain) expected.push_back(PayloadOf(item));
      }
      for (RankScans scans : {RankScans::kOneByOne, RankScans::kInBlocks}) {
        std::vector<RankedItem> sorted = items;
        QuickSortRanksDescending(sorted.data(), sorted.size(), scans);
        std::vector<uint32_t> payloads;
        for (RankedItem item : sorted) payloads.push_back(PayloadOf(item));
        ASSERT_EQ(payloads, expected) << "shape " << shape << ", " << 2 * half << " items";
      }
    }
  }
}

// Orders whose scans stop at the edges of the range or walk long
// stretches, at lengths around the scans' steps: sorted either way, with
// ties, all equal, sorted with a random tail as a list grows daily, and
// scattered with ties; scanned item by item and in blocks.
TEST(QuickSortRanksDescending, LongAndShortScansGiveThePlainPermutation) {
  std::mt19937 random(5);
  std::vector<uint32_t> lengths;
  for (uint32_t n = 1; n <= 40; ++n) lengths.push_back(n);
  lengths.push_back(5000);
  for (uint32_t n : lengths) {
    for (int shape = 0; shape < 5; ++shape) {
      std::vector<RankedItem> items;
      for (uint32_t k = 0; k < n; ++k) {
        uint32_t rank = shape == 0 ? k : shape == 1 ? (n - k) / 2 : shape == 2 ? 7 : k;
        if (shape == 3 && k >= n - n / 10) rank = static_cast<uint32_t>(random() % n);
        if (shape == 4) rank = static_cast<uint32_t>(random() % (n / 2 + 1));
        items.push_back(MakeRankedItem(rank, k));
      }
      std::vector<uint32_t> expected = PlainRankOrder(items);
      for (RankScans scans : {RankScans::kOneByOne, RankScans::kInBlocks}) {
        std::vector<RankedItem> sorted = items;
        QuickSortRanksDescending(sorted.data(), sorted.size(), scans);
        std::vector<uint32_t> payloads;
        for (RankedItem item : sorted) payloads.push_back(PayloadOf(item));
        ASSERT_EQ(payloads, expected) << "shape " << shape << ", " << n << " items";
      }
    }
  }
}

// Scattered ranks with ties, long enough for both threads: both kinds of
// scans give the plain walk's permutation.
TEST(QuickSortRanksDescending, ScatteredRanksOnTwoThreadsGiveThePlainPermutation) {
  std::mt19937 random(6);
  std::vector<RankedItem> items;
  for (uint32_t k = 0; k < 3 * kTwoThreadMinimum; ++k) {
    items.push_back(MakeRankedItem(static_cast<uint32_t>(random() % kTwoThreadMinimum), k));
  }
  std::vector<RankedItem> plain = items;
  PlainQuickSortDescending(plain, [](RankedItem a, RankedItem b) {
    return static_cast<int64_t>(RankOf(a)) - static_cast<int64_t>(RankOf(b));
  });
  for (RankScans scans : {RankScans::kOneByOne, RankScans::kInBlocks}) {
    std::vector<RankedItem> sorted = items;
    QuickSortRanksDescending(sorted.data(), sorted.size(), scans);
    ASSERT_TRUE(sorted == plain);
  }
}

// Keys that leave everything to the comparison sort.
struct PartKeys {
  static constexpr int kWords = 1;
  const std::string* const* part;
  uint64_t Word(uint32_t, int) const { return 0; }
  int Compare(uint32_t a, uint32_t b) const { return CompareFolded(*part[a], *part[b]); }
  bool SameText(uint32_t a, uint32_t b) const { return *part[a] == *part[b]; }
};

// A quicksort on records, which hands its lopsided parts to the rank
// sort, gives the plain procedure's order on the orders that call for it,
// on one thread and on two.
TEST(QuickSortDescendingOnTwoThreads, LopsidedPartsThroughRanksKeepTheOrder) {
  std::mt19937 random(8);
  for (size_t half : {6000, 34000}) {
    std::vector<std::string> texts;
    for (size_t k = 0; k < half; ++k) texts.push_back("m" + std::to_string(1000000 + k));
    for (size_t k = half; k-- > 0;) texts.push_back(Respelled(random, texts[k]));
    std::vector<std::string> expected = texts;
    SortTexts(expected, /*descending=*/true, /*fold=*/true);

    std::vector<const std::string*> items;
    for (const std::string& text : texts) items.push_back(&text);
    int lopsidedParts = 0;
    QuickSortDescendingOnTwoThreads(
        items.data(), static_cast<int64_t>(items.size()),
        [](const std::string* a, const std::string* b) { return CompareFolded(*a, *b); },
        [&](int64_t lo, int64_t hi) {
          ++lopsidedParts;
          return SortPartThroughRanks(
              items.data(), lo, hi, [](const std::string* const* part) { return PartKeys{part}; });
        });
    std::vector<std::string> sorted;
    for (const std::string* item : items) sorted.push_back(*item);
    EXPECT_GT(lopsidedParts, 0);
    ASSERT_EQ(sorted, expected) << 2 * half << " items";
  }
}

TEST(SwapIntoBins, EveryItemEndsInItsBinAndNoneIsLost) {
  std::mt19937 random(11);
  // Even bins, one bin holding most items, and empty bins between.
  for (int skew : {0, 1, 2}) {
    constexpr unsigned kBins = 64;
    std::vector<uint32_t> items(20000);
    for (uint32_t& item : items) {
      uint32_t bin = random() % kBins;
      if (skew == 1 && random() % 10 != 0) bin = 7;
      if (skew == 2) bin &= ~3u;
      item = bin << 24 | static_cast<uint32_t>(random() & 0xFFFFFF);
    }
    auto binOf = [](uint32_t item) { return item >> 24; };
    uint32_t count[kBins] = {}, start[kBins], next[kBins];
    for (uint32_t item : items) ++count[binOf(item)];
    for (uint32_t b = 0, at = 0; b < kBins; ++b) {
      start[b] = next[b] = at;
      at += count[b];
    }
    std::vector<uint32_t> before = items;
    SwapIntoBins(items.data(), kBins, start, count, next, binOf);
    SCOPED_TRACE("skew " + std::to_string(skew));
    for (uint32_t b = 0; b < kBins; ++b) {
      ASSERT_EQ(next[b], start[b] + count[b]);
      for (uint32_t p = start[b]; p < next[b]; ++p) ASSERT_EQ(binOf(items[p]), b);
    }
    std::sort(before.begin(), before.end());
    std::sort(items.begin(), items.end());
    EXPECT_TRUE(items == before);
  }
}

// Large arrays, where the second thread takes part: equal keys end in the
// order of the plain procedure, whatever the shape of the input.
TEST(TextSort, TwoThreadsGiveThePlainOrder) {
  struct Item {
    uint32_t key;
    uint32_t serial;
    bool operator==(const Item&) const = default;
  };
  auto byKey = [](const Item& a, const Item& b) { return a.key < b.key ? -1 : a.key > b.key; };
  std::mt19937 random(99);
  for (int shape = 0; shape < 5; ++shape) {
    std::vector<Item> items(shape == 4 ? 70000 : 400000);
    for (uint32_t k = 0; k < items.size(); ++k) {
      uint32_t key = shape == 0   ? random() % 7      // few keys, many ties
                     : shape == 1 ? random()          // nearly all distinct
                     : shape == 2 ? 5                 // all equal
                     : shape == 3 ? k / 3             // rising, in runs
                                  : random() % 1000;  // just past the threshold
      items[k] = {key, k};
    }
    std::vector<Item> expected = items;
    PlainQuickSortDescending(expected, byKey);
    QuickSortDescendingOnTwoThreads(items.data(), static_cast<int64_t>(items.size()), byKey);
    ASSERT_TRUE(items == expected) << "shape " << shape;
    ASSERT_TRUE(std::is_sorted(items.begin(), items.end(),
                               [](const Item& a, const Item& b) { return a.key > b.key; }));
  }
  // A failure on either thread (out of memory, say) reaches the caller, and
  // neither thread is left waiting for the other.
  for (int failAt : {10, 3000000}) {
    std::vector<Item> items(400000);
    for (uint32_t k = 0; k < items.size(); ++k) items[k] = {static_cast<uint32_t>(random()), k};
    std::atomic<int> calls = 0;
    auto failing = [&](const Item& a, const Item& b) {
      if (++calls == failAt) throw std::runtime_error("no memory");
      return byKey(a, b);
    };
    EXPECT_THROW(
        QuickSortDescendingOnTwoThreads(items.data(), static_cast<int64_t>(items.size()), failing),
        std::runtime_error);
  }
}

}  // namespace
}  // namespace grenfel
