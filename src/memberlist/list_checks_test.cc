// Which files and records the checks refuse; the exclusion against a scan
// of its keys.
#include "memberlist/list_checks.h"

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "memberlist/entries.h"
#include "services/text.h"

namespace grenfel {
namespace {

TEST(ListChecksTest, OnlyLineFeedsWithoutAnyCarriageReturnBeforeCtrlZAreRefused) {
  for (std::string_view refused : {"a\nb\n", "\n", "a\nb\x1A\r\n", "a\n\x1A"}) {
    RunFailure s = CheckLineEnds(ReadablePart(refused), "x.lst", ListRole::kList);
    EXPECT_EQ(s.cause.code, ErrorCode::kUnixLineEnds) << refused;
    EXPECT_EQ(s.file, "x.lst");
  }
  for (std::string_view kept : {"", "a", "a\r\n", "a\nb\r", "a\rb\n", "a\x1A\n", "\x1A\n\n"}) {
    EXPECT_TRUE(CheckLineEnds(ReadablePart(kept), "x.lst", ListRole::kList).ok()) << kept;
  }
}

TEST(ListChecksTest, ControlRecordsInAnyLetterCase) {
  for (std::string_view control :
       {"CLOSED", "closed", "cLoSeD", "+ERRORS-TO:=", "+errors-to:=x@y"}) {
    EXPECT_TRUE(IsControlRecord(control)) << control;
  }
  for (std::string_view record : {"", "CLOSE", "CLOSED.", "closed@x", "\tCLOSED",
                                  "+ERRORS-TO:", " +ERRORS-TO:=x", "+WELCOME=closed"}) {
    EXPECT_FALSE(IsControlRecord(record)) << record;
  }
  RunFailure s = CheckIncludeLines("a@b\r\n\n CLOSED\r\n  cLOSED  \r", "in.lst");
  EXPECT_EQ(s.cause.code, ErrorCode::kControlLineInInclude);
  EXPECT_EQ(s.line, 3);
  EXPECT_FALSE(s.errorsToLine);
  EXPECT_TRUE(CheckIncludeLines("x@y\r\n+Errors-To:=x@y", "in.lst").errorsToLine);
  EXPECT_TRUE(CheckIncludeLines(ReadablePart("a@b\r\nCLOSED.\r\n+Errors-To\r\n\x1A"
                                             "CLOSED"),
                                "in.lst")
                  .ok());
}

// Whether an exclude key names the record, by a scan of the keys: one
// equals it (without its leading "+"), letter case aside, and the first key
// is not empty.
bool ScanNamesRecord(const ExcludeKeys& keys, std::string_view record) {
  if (keys.size() == 0 || keys.Key(0).empty() || record.empty()) return false;
  std::string_view key = record[0] == '+' ? record.substr(1) : record;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (EqualUpper(keys.Key(k), key)) return true;
  }
  return false;
}

// The exclusion blanks a record exactly when a scan of the keys names it.
TEST(ListChecksTest, TheExclusionBlanksWhatAScanOfTheKeysNames) {
  std::mt19937 random(5);
  const std::string alphabet = "aA+b\x84\x8e ";
  auto word = [&] {
    std::string text;
    for (size_t n = random() % 4; n > 0; --n) text += alphabet[random() % alphabet.size()];
    return text;
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> keyTexts;
    for (size_t n = random() % 4; n > 0; --n) keyTexts.push_back(word());
    ExcludeKeys keys;
    for (const std::string& key : keyTexts) keys.Add(key);
    std::string record = word();
    while (!record.empty() && record.back() == ' ') record.pop_back();
    while (!record.empty() && record.front() == ' ') record.erase(0, 1);

    EntryStore store;
    store.AddBuffer(record);
    store.Add(record);
    std::vector<int64_t> counts;
    int64_t blanked = BlankExcluded(keys, &store, &counts);
    ASSERT_EQ(ScanNamesRecord(keys, record), blanked == 1) << "round " << round;
  }
}

}  // namespace
}  // namespace grenfel
