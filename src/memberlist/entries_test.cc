// The entry store against the reference quicksort, ties included, on random,
// lopsided and mostly sorted lists; the exclusion's lookup against a full scan.
#include "memberlist/entries.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "reference/procedures.h"
#include "services/fileio.h"
#include "services/text.h"

namespace grenfel {
namespace {

// Records built from few letters in both cases, so that equal keys,
// shared 8-byte prefixes and prefixes of each other are frequent.
std::vector<std::string> RandomRecords(std::mt19937& random, size_t count) {
  static const std::string kAlphabet("aAbB@+._ \x00\x8e\x84", 12);
  std::vector<std::string> stems = {"", "+", "someone.long@", "someone.lo", "ab@x.org"};
  std::vector<std::string> records;
  for (size_t i = 0; i < count; ++i) {
    std::string record = stems[random() % stems.size()];
    size_t length = random() % 12;
    for (size_t k = 0; k < length; ++k) record += kAlphabet[random() % kAlphabet.size()];
    if (random() % 10 == 0) record.clear();
    records.push_back(record);
  }
  return records;
}

std::string JoinLines(const std::vector<std::string>& records) {
  std::string bytes;
  for (const std::string& record : records) bytes += record + "\r\n";
  return bytes;
}

// Fills a store from file bytes the way the list reader does.
void AddLines(std::string_view bytes, EntryStore* store) {
  store->AddBuffer(ReadablePart(bytes));
  LineReader reader(ReadablePart(bytes));
  std::string_view line;
  while (reader.ReadLine(&line)) store->Add(TrimBlanks(line));
}

TEST(EntryStoreTest, SortGivesTheArrayQuicksortOrderIncludingEqualKeys) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> records = RandomRecords(random, 1 + random() % 400);
    std::string listBytes = JoinLines(records);
    std::vector<std::string> more = RandomRecords(random, random() % 50);
    std::string includeBytes = JoinLines(more);

    EntryStore store;
    AddLines(listBytes, &store);
    AddLines(includeBytes, &store);
    store.SortDescendingFolded(/*linesMatter=*/false);

    std::vector<std::string> expected = {""};
    for (const std::string& record : records) expected.emplace_back(TrimBlanks(record));
    for (const std::string& record : more) expected.emplace_back(TrimBlanks(record));
    SortTexts(expected, /*descending=*/true, /*fold=*/true);

    ASSERT_EQ(store.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(store.Text(i), expected[i]) << "round " << round << " index " << i;
    }
  }
}

// A sorted list followed by its reverse in other spellings, and an include
// list that adds the same again: the partitions come out lopsided and the
// sort takes another road, to the same order.
TEST(EntryStoreTest, LopsidedOrdersSortLikeTheArrayQuicksort) {
  std::mt19937 random(12);
  std::vector<std::string> records;
  for (int k = 0; k < 15000; ++k) {
    std::string record = "member" + std::to_string(100000 + k) + "@Example.org";
    if (k % 7 == 0) record += std::string(1 + k % 20, 'z');
    records.push_back(record);
  }
  std::sort(records.begin(), records.end(),
            [](const std::string& a, const std::string& b) { return CompareFolded(a, b) < 0; });
  for (size_t k = records.size(); k-- > 0;) {
    std::string variant = records[k];
    for (char& c : variant) c = random() % 2 ? static_cast<char>(UpperByte(c)) : c;
    records.push_back(variant);
  }
  std::string listBytes = JoinLines(records);
  EntryStore store;
  AddLines(listBytes, &store);
  store.SortDescendingFolded(/*linesMatter=*/false);

  std::vector<std::string> expected = {""};
  expected.insert(expected.end(), records.begin(), records.end());
  SortTexts(expected, /*descending=*/true, /*fold=*/true);
  ASSERT_EQ(store.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(store.Text(i), expected[i]) << i;
}

// Every record twice, the copies alike byte for byte, sorted and then in
// reverse: the order of equal texts changes no bytes written, but a change
// report names the line of each, so with lines mattering each record must
// end where the quicksort puts it, not merely one of equal text.
TEST(EntryStoreTest, EqualTextsFromDifferentLinesKeepTheQuicksortOrderWhenLinesMatter) {
  std::vector<std::string> records;
  for (int k = 0; k < 6000; ++k) records.push_back("m" + std::to_string(100000 + k) + "@x.org");
  for (size_t k = records.size(); k-- > 0;) records.push_back(records[k]);
  std::string listBytes = JoinLines(records);
  EntryStore store;
  AddLines(listBytes, &store);
  store.SortDescendingFolded(/*linesMatter=*/true);

  std::vector<std::string_view> expected = {std::string_view()};
  for (size_t k = 0, at = 0; k < records.size(); at += records[k].size() + 2, ++k) {
    expected.push_back(std::string_view(listBytes).substr(at, records[k].size()));
  }
  PlainQuickSortDescending(
      expected, [](std::string_view a, std::string_view b) { return CompareFolded(a, b); });
  ASSERT_EQ(store.size(), expected.size());
  for (size_t i = 1; i < expected.size(); ++i) {
    ASSERT_EQ(store.Text(i).data(), expected[i].data()) << "at " << i << ": " << expected[i];
  }
}

// Lists kept sorted and added to: new records at the end, a few sorted
// lists one after another, records blanked by an exclusion inside the runs,
// and runs that are all one key in many spellings. Each is sorted as the
// array quicksort sorts it, ties included.
TEST(EntryStoreTest, MostlySortedListsSortLikeTheArrayQuicksort) {
  std::mt19937 random(31);
  auto spelling = [&random](std::string record) {
    for (char& c : record) c = random() % 3 == 0 ? static_cast<char>(UpperByte(c)) : c;
    return record;
  };
  auto sortedRecords = [&](size_t count) {
    std::vector<std::string> records;
    for (size_t k = 0; k < count; ++k) {
      std::string record = "m" + std::to_string(random() % (count / 2)) + "@host.example";
      if (k % 9 == 0) record += std::string(1 + k % 12, 'q');
      if (k % 13 == 0) record = "+" + record;
      records.push_back(spelling(record));
    }
    std::stable_sort(
        records.begin(), records.end(),
        [](const std::string& a, const std::string& b) { return CompareFolded(a, b) < 0; });
    return records;
  };
  struct Case {
    std::vector<std::string> records;
    std::vector<size_t> blanked;  // entry indices
  };
  std::vector<Case> cases;
  // Long enough too for the merge on two threads, cut at the middle key,
  // and for the rank items to be packed and spread out in stretches.
  for (size_t count : {6000, 80000, 250000}) {
    Case daily{sortedRecords(count), {}};
    std::vector<std::string> added = sortedRecords(count / 100);
    std::shuffle(added.begin(), added.end(), random);
    for (size_t k = 0; k < 20; ++k) added.push_back(spelling(daily.records[random() % count]));
    daily.records.insert(daily.records.end(), added.begin(), added.end());
    cases.push_back(daily);
  }
  {
    Case lists;
    for (int part = 0; part < 3; ++part) {
      std::vector<std::string> records = sortedRecords(2000 + 500 * part);
      lists.records.insert(lists.records.end(), records.begin(), records.end());
    }
    cases.push_back(lists);
  }
  {
    // Two sorted lists, the second starting where the walk of a long list
    // is cut in two (at half the entries, rounded down to 64), and one
    // crossing the cut.
    for (size_t first : {40959, 30000}) {
      Case lists{sortedRecords(first), {}};
      std::vector<std::string> second = sortedRecords(81920 - first);
      lists.records.insert(lists.records.end(), second.begin(), second.end());
      cases.push_back(lists);
    }
  }
  for (size_t count : {5000, 70000}) {
    Case excluded{sortedRecords(count), {}};
    for (size_t k = 0; k < count / 16; ++k) excluded.blanked.push_back(1 + random() % count);
    excluded.records.insert(excluded.records.begin() + static_cast<std::ptrdiff_t>(count / 2), 40,
                            "");
    cases.push_back(excluded);
  }
  {
    Case oneKey;
    for (size_t k = 0; k < 5000; ++k) oneKey.records.push_back(spelling("same@key.example"));
    oneKey.records.push_back("a@first.example");
    cases.push_back(oneKey);
  }
  for (size_t c = 0; c < cases.size(); ++c) {
    std::string bytes = JoinLines(cases[c].records);
    EntryStore store;
    AddLines(bytes, &store);
    std::vector<std::string> expected = {""};
    expected.insert(expected.end(), cases[c].records.begin(), cases[c].records.end());
    for (size_t index : cases[c].blanked) {
      store.Blank(index);
      expected[index].clear();
    }
    store.SortDescendingFolded(/*linesMatter=*/false);
    SortTexts(expected, /*descending=*/true, /*fold=*/true);
    ASSERT_EQ(store.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(store.Text(i), expected[i]) << "case " << c << " index " << i;
    }
  }
}

TEST(EntryStoreTest, RecordsLongerThanTheLengthFieldComeBackWhole) {
  std::string longRecord(20 << 20, 'x');
  longRecord.back() = 'y';
  std::string bytes = "a@b\r\n  " + longRecord + "   \r\nc@d";
  EntryStore store;
  AddLines(bytes, &store);
  ASSERT_EQ(store.size(), 4u);
  EXPECT_EQ(store.Text(2), longRecord);
  store.SortDescendingFolded(/*linesMatter=*/false);
  EXPECT_EQ(store.Text(0), longRecord);
  EXPECT_EQ(store.Text(1), "c@d");
  EXPECT_EQ(store.Text(2), "a@b");
  EXPECT_EQ(store.Text(3), "");
}

// Records of 16 MiB and more keep no length in their reference; they meet
// records (and the empty entry) that share all the bytes of their prefixes.
TEST(EntryStoreTest, LongRecordsSharingTheirFirstBytesSortLikeTheArrayQuicksort) {
  const size_t kLong = 16 << 20;
  std::vector<std::string> records = {"x@y.com",
                                      "x@y.com" + std::string(kLong, '\0'),
                                      std::string(kLong, '\0'),
                                      "X@Y.COM" + std::string(kLong, '\0'),
                                      "x@y.com" + std::string(kLong, '\0') + "a",
                                      "x@y.com" + std::string(10, '\0'),
                                      std::string(17, '\0'),
                                      "",
                                      std::string(kLong - 1, 'q'),
                                      std::string(kLong - 2, 'q')};
  std::string bytes = JoinLines(records);
  EntryStore store;
  AddLines(bytes, &store);
  store.SortDescendingFolded(/*linesMatter=*/false);

  std::vector<std::string> expected = {""};
  expected.insert(expected.end(), records.begin(), records.end());
  SortTexts(expected, /*descending=*/true, /*fold=*/true);
  ASSERT_EQ(store.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(store.Text(i) == expected[i]) << "index " << i;
  }
}

// Every exclude key tried against every entry, in order: the slow way.
int64_t BlankNaively(const std::vector<std::string>& keys, std::vector<std::string>* entries,
                     std::vector<int64_t>* countAfterKey) {
  int64_t filtered = 0;
  countAfterKey->assign(keys.size(), 0);
  if (keys.empty() || keys[0].empty()) return 0;
  for (size_t k = 0; k < keys.size(); ++k) {
    std::string upperKey = UpperCase(keys[k]);
    for (size_t i = 1; i < entries->size(); ++i) {
      std::string& entry = (*entries)[i];
      if (entry.empty()) continue;
      std::string key = entry[0] == '+' ? entry.substr(1) : entry;
      if (UpperCase(key) == upperKey) {
        ++filtered;
        entry.clear();
      }
    }
    (*countAfterKey)[k] = filtered;
  }
  return filtered;
}

TEST(ExclusionTest, HashLookupBlanksWhatTheFullScanBlanks) {
  std::mt19937 random(11);
  for (int round = 0; round < 302; ++round) {
    // The last rounds are large enough for the entries to be looked up on
    // two threads.
    size_t size = round < 300 ? 1 + random() % 200 : 70000 + random() % 1000;
    std::vector<std::string> records = RandomRecords(random, size);
    std::string bytes = JoinLines(records);
    EntryStore store;
    AddLines(bytes, &store);

    std::vector<std::string> keyTexts;
    if (round % 3 == 0 && !records.empty()) {
      // A key that surely hits, in another letter case.
      keyTexts.push_back(LowerCase(TrimBlanks(records[0])));
    }
    if (round >= 300) {
      // Keys that hit in both halves.
      for (size_t at : {size / 4, size / 2 + 3, size - 1}) {
        keyTexts.push_back(UpperCase(TrimBlanks(records[at])));
      }
      // Enough keys for the filter in front of the slots to have many words,
      // spelled in either case (the code page pairs included).
      for (size_t at = 7; at < size; at += 191) {
        std::string_view record = TrimBlanks(records[at]);
        keyTexts.push_back(at % 2 ? LowerCase(record) : UpperCase(record));
      }
    }
    for (const std::string& raw : RandomRecords(random, random() % 40)) {
      keyTexts.emplace_back(TrimBlanks(raw));
    }
    ExcludeKeys keys;
    for (const std::string& key : keyTexts) keys.Add(key);

    std::vector<std::string> expected = {""};
    for (const std::string& record : records) expected.emplace_back(TrimBlanks(record));
    std::vector<int64_t> expectedCounts, counts;
    int64_t expectedFiltered = BlankNaively(keyTexts, &expected, &expectedCounts);

    EXPECT_EQ(BlankExcluded(keys, &store, &counts), expectedFiltered) << "round " << round;
    EXPECT_EQ(counts, expectedCounts) << "round " << round;
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(store.Text(i), expected[i]) << "round " << round << " index " << i;
    }
  }
}

}  // namespace
}  // namespace grenfel
