// The grouping core checked against the grouping done the slow way, on
// joined strings, and on the edges of its packed fields.
#include "grouping/grouped_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "grouping/grouping.h"
#include "reference/procedures.h"
#include "services/text.h"

namespace grenfel {
namespace {

// Collects what is written.
class StringFile : public WritableFile {
 public:
  Status Append(std::string_view data) override {
    contents += data;
    return Status::Ok();
  }
  Status Sync() override { return Status::Ok(); }
  Status Close() override { return Status::Ok(); }

  std::string contents;
};

struct Grouping {
  int32_t groups = 0;
  GroupingAction action = GroupingAction::kLeaveAlone;
  std::string contents;  // only when rewritten
};

Grouping GroupFast(std::string_view bytes, int32_t sessionSize) {
  GroupedList list;
  EXPECT_TRUE(list.Load(ReadablePart(bytes)));
  Grouping result{list.groupCount(), ActionFor(list.groupCount(), list.memberCount()), ""};
  if (result.action == GroupingAction::kRewrite) {
    list.Arrange(sessionSize);
    StringFile out;
    EXPECT_TRUE(list.WriteTo(&out).ok());
    result.contents = out.contents;
  }
  return result;
}

// The grouping done the slow way, on separator-joined strings and with the
// array operations themselves: the reference the fast core must match for
// every record that holds neither 0x00 nor 0x01.
Grouping GroupByTheBook(std::string_view bytes, int32_t sessionSize) {
  const std::string kMemberEnd = "\x01";
  const std::string kDomainEnd(1, '\0');
  std::string head;
  std::vector<std::string> keys;
  LineReader reader(ReadablePart(bytes));
  std::string_view line;
  while (reader.ReadLine(&line)) {
    if (UpperCase(LeftText(line, 9)) == "+WELCOME=" ||
        UpperCase(LeftText(line, 12)) == "+ERRORS-TO:=") {
      head += std::string(line) + "\r\n";
    } else if (UpperCase(TrimBlanks(line)) == "CLOSED") {
      for (const std::string& key : keys) head += ToggleDomainKey(key) + "\r\n";
      head += "CLOSED\r\n";
      keys.clear();
    } else if (!TrimBlanks(line).empty()) {
      keys.push_back(ToggleDomainKey(line));
    }
  }
  SortTexts(keys, true, true);

  auto domainPart = [&](std::string_view text) {
    int64_t end = FindText(1, text, kDomainEnd);
    return end ? LeftText(text, end) : text;
  };
  std::vector<std::string> groups;
  for (const std::string& key : keys) {
    if (!groups.empty() && UpperCase(domainPart(key)) == UpperCase(domainPart(groups.back()))) {
      groups.back() += key + kMemberEnd;
    } else {
      groups.push_back(key + kMemberEnd);
    }
  }
  Grouping result{static_cast<int32_t>(groups.size()),
                  ActionFor(static_cast<int32_t>(groups.size()), static_cast<int32_t>(keys.size())),
                  ""};
  if (result.action != GroupingAction::kRewrite) return result;

  for (std::string& group : groups) {
    group = FormatNumber(static_cast<double>(CountText(group, kMemberEnd)), "00000000") + group;
  }
  SortTexts(groups, true, false);
  for (std::string& group : groups) group = std::string(MidText(group, 9));

  const size_t last = groups.size() - 1;
  for (size_t i = 0; i <= last; ++i) {
    if (CountText(groups[i], kMemberEnd) <= sessionSize) continue;
    int64_t cut = 0;
    for (int32_t k = 0; k < sessionSize; ++k) cut = FindText(cut + 1, groups[i], kMemberEnd);
    std::string rest(MidText(groups[i], cut + 1));
    groups[i] = std::string(LeftText(groups[i], cut));
    size_t before = groups.size();
    groups.resize(before + 1);
    if (i + 10 <= before) {
      InsertText(groups, i + 10, rest);
    } else {
      groups[before] = rest;
    }
  }

  result.contents = head;
  for (const std::string& group : groups) {
    size_t start = 0;
    for (size_t end; (end = group.find(kMemberEnd, start)) != std::string::npos; start = end + 1) {
      result.contents +=
          ToggleDomainKey(std::string_view(group).substr(start, end - start)) + "\r\n";
    }
  }
  return result;
}

// Random lists full of what makes keys tie, nest or change case: a few
// domains much larger than the rest, domains that begin other domains,
// case variants of one address, records without "@", trailing blanks, two
// "@", head lines and CLOSED lines.
class ListMaker {
 public:
  explicit ListMaker(uint32_t seed) : random_(seed) {}

  std::string Make(int members) {
    domains_.clear();
    int domainCount = Pick(1, 3) == 1 ? Pick(1, 4) : Pick(2, 60);
    for (int d = 0; d < domainCount; ++d) {
      if (d > 0 && Chance(25)) {
        // Nest it with one already made.
        std::string base = domains_[Pick(0, d - 1)];
        domains_.push_back(Chance(50) && base.size() > 1 ? base.substr(0, base.size() - 1)
                                                         : base + Word("a.-"));
      } else if (Chance(5)) {
        // Records longer than a member's length field holds.
        domains_.push_back(std::string(Pick(4090, 4100), 'd') + ".com");
      } else {
        domains_.push_back(Word("abcxyz.-_09\x84\x8E") + ".com");
      }
    }
    std::string text;
    // Moderators, once or twice over: only what follows the last CLOSED
    // line counts.
    for (int closings = Chance(40) ? Pick(1, 2) : 0; closings > 0; --closings) {
      for (int m = Pick(0, 4); m > 0; --m) {
        text += (Chance(20) ? "+WELCOME=moderated" : Address()) + "\r\n";
      }
      text += OneOf({"CLOSED", " closed ", "Closed", "cLoSeD  "}) + "\r\n";
    }
    int written = 0;
    while (written < members) {
      int kind = Pick(3, 100);
      if (kind <= 4) {
        text += OneOf({"+WELCOME=Hello", "+welcome=", "+Errors-To:=boss@Here.ORG", "+ERRORS-TO:=x",
                       " +WELCOME=a member", "+OTHER=a member"});
      } else if (kind <= 7) {
        text += OneOf({"", "   "});
      } else if (kind <= 12) {
        // A bare domain name ties with that domain's keys up to its "@".
        text += (Chance(50) ? MixCase(domains_[Pick(0, int(domains_.size()) - 1)])
                            : OneOf({"no-at", "NO-AT", "plain", "+x"})) +
                (Chance(30) ? "  " : "");
        ++written;
      } else {
        text += Address();
        ++written;
      }
      text += Chance(95) ? "\r\n" : "\r";
    }
    if (Chance(20)) text += "\x1A";
    return text;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int percent) { return Pick(1, 100) <= percent; }
  std::string OneOf(std::initializer_list<const char*> texts) {
    return *(texts.begin() + Pick(0, static_cast<int>(texts.size()) - 1));
  }
  std::string Word(std::string_view alphabet) {
    std::string word;
    for (int n = Pick(1, 4); n > 0; --n) word += alphabet[Pick(0, int(alphabet.size()) - 1)];
    return word;
  }
  std::string MixCase(std::string text) {
    for (char& c : text) {
      if (Chance(30)) {
        c = static_cast<char>(Chance(50) ? kUpperTable[uint8_t(c)] : kLowerTable[uint8_t(c)]);
      }
    }
    return text;
  }
  std::string Address() {
    // Skewed towards the first domains, so that some groups need cutting.
    double u = std::uniform_real_distribution<double>(0, 1)(random_);
    std::string domain = domains_[static_cast<size_t>(u * u * u * domains_.size())];
    // Long locals share their first twelve bytes, so the folded prefix of a
    // key cannot decide alone; a few pass the 4,094 bytes beyond which the
    // position of the "@" has to be found again.
    std::string local = std::string(Chance(5) ? " " : "") +
                        (Chance(20) ? OneOf({"Long.Name.", "Long.Name.Here."}) : "") +
                        (Chance(1) ? std::string(Pick(4090, 4100), 'q') : "") +
                        Word("abAB._1\x81\x9A");
    std::string address = MixCase(local) + "@" + MixCase(domain);
    if (Chance(3)) address += " ";
    if (Chance(3)) address += "@second";
    return address;
  }

  std::mt19937 random_;
  std::vector<std::string> domains_;
};

TEST(GroupedListTest, MatchesTheSeparatorJoinedGroupingOnRandomLists) {
  ListMaker maker(20240611);
  std::mt19937 random(7);
  const int32_t kSessions[] = {1, 2, 3, 5, 10, 17, 100, 5000};
  int rewritten = 0, tooFew = 0;
  for (int round = 0; round < 400; ++round) {
    int members = round % 2 ? std::uniform_int_distribution<int>(190, 215)(random)
                            : std::uniform_int_distribution<int>(0, 2500)(random);
    std::string list = maker.Make(members);
    int32_t session = kSessions[round % std::size(kSessions)];
    Grouping expected = GroupByTheBook(list, session), grouped = GroupFast(list, session);
    SCOPED_TRACE("round " + std::to_string(round) + ", session " + std::to_string(session));
    ASSERT_EQ(grouped.groups, expected.groups);
    ASSERT_EQ(grouped.action, expected.action);
    ASSERT_EQ(grouped.contents, expected.contents);
    rewritten += expected.action == GroupingAction::kRewrite;
    tooFew += expected.action == GroupingAction::kTooFewNames;
  }
  // The lists must reach every outcome, or the comparison proves little.
  EXPECT_GT(rewritten, 100);
  EXPECT_GT(tooFew, 20);
}

// Lists large enough for the sorts and the writing to use two threads, and
// with a few groups large enough to be written as pieces of any size.
TEST(GroupedListTest, LargeListsMatchTheSeparatorJoinedGrouping) {
  ListMaker maker(77);
  for (int32_t session : {3, 40000}) {
    std::string list = maker.Make(70000);
    Grouping expected = GroupByTheBook(list, session), grouped = GroupFast(list, session);
    SCOPED_TRACE("session " + std::to_string(session));
    ASSERT_EQ(expected.action, GroupingAction::kRewrite);
    ASSERT_EQ(grouped.groups, expected.groups);
    ASSERT_TRUE(grouped.contents == expected.contents);
  }
}

// Distinct addresses, as a list without duplicates holds them, the same with
// one pair of case variants and with a CLOSED line late in it: long shared
// local parts, records without "@" and a skew over the domains, at a size
// read and sorted on two threads.
TEST(GroupedListTest, ListsWithAndWithoutTiedKeysMatchTheSeparatorJoinedGrouping) {
  std::mt19937 random(5);
  std::vector<std::string> records;
  for (int k = 0; k < 90000; ++k) {
    // Skewed over the domains; long locals share far more than the twelve
    // bytes the key words hold.
    int d = static_cast<int>(std::uniform_int_distribution<int>(0, 999)(random));
    std::string local = (k % 3 == 0 ? "Long.Name.Here." : "") + std::to_string(k * 7919 % 90000);
    if (k % 500 == 0) {
      records.push_back("Solo" + std::to_string(k));
    } else {
      records.push_back(local + "@Dom" + std::to_string(d * d / 1000) + ".Org");
    }
  }
  std::shuffle(records.begin(), records.end(), random);
  std::string distinct;
  for (const std::string& record : records) distinct += record + "\r\n";
  std::string oneTie = distinct + LowerCase(records[4321]) + "\r\n";
  // A CLOSED line late in the list makes moderators of most of it.
  size_t late = distinct.find("\r\n", distinct.size() * 2 / 3) + 2;
  std::string closedLate = distinct.substr(0, late) + " Closed\r\n" + distinct.substr(late);
  for (const std::string* list : {&distinct, &oneTie, &closedLate}) {
    Grouping expected = GroupByTheBook(*list, 25), grouped = GroupFast(*list, 25);
    ASSERT_EQ(expected.action, GroupingAction::kRewrite);
    EXPECT_EQ(grouped.groups, expected.groups);
    EXPECT_TRUE(grouped.contents == expected.contents);
  }
}

// Members ascending and then descending in other letter cases, in few
// domains, and as many one-member domains the same way: the member sort and
// the group ordering meet lopsided partitions and take the road through
// ranks, to the same file.
TEST(GroupedListTest, LopsidedOrdersMatchTheSeparatorJoinedGrouping) {
  std::vector<std::string> up;
  for (int k = 0; k < 6000; ++k) {
    up.push_back("m" + std::to_string(100000 + k) + "@d" + std::to_string(k / 2000) + ".org");
  }
  for (int k = 0; k < 6000; ++k) up.push_back("x@solo" + std::to_string(100000 + k) + ".net");
  std::string list;
  for (const std::string& record : up) list += record + "\r\n";
  for (size_t k = up.size(); k-- > 0;)
    list += UpperCase(up[k].substr(0, 2)) + up[k].substr(2) + "\r\n";
  Grouping expected = GroupByTheBook(list, 10), grouped = GroupFast(list, 10);
  EXPECT_EQ(grouped.groups, expected.groups);
  EXPECT_TRUE(grouped.contents == expected.contents);
}

// Heavy ties at a size sorted on two threads: a few hundred addresses in
// many letter cases each, their locals sharing more than the key words hold,
// in file orders that leave the quicksort's choices among them visible.
TEST(GroupedListTest, ManyCaseVariantsOfFewAddressesMatchTheSeparatorJoinedGrouping) {
  std::mt19937 random(11);
  std::vector<std::string> records;
  for (int a = 0; a < 400; ++a) {
    std::string address = "Shared.Local.Part." + std::to_string(a % 40) + "@Host" +
                          std::to_string(a % 7) + (a % 3 ? ".org" : ".ORG");
    for (int variant = 0; variant < 180; ++variant) {
      std::string text = address;
      for (char& c : text) {
        if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
          c = static_cast<char>(kUpperTable[uint8_t(c)] == uint8_t(c) ? kLowerTable[uint8_t(c)]
                                                                      : kUpperTable[uint8_t(c)]);
        }
      }
      records.push_back(text);
    }
  }
  std::string shuffled, sortedThenReversed;
  std::vector<std::string> order = records;
  std::shuffle(order.begin(), order.end(), random);
  for (const std::string& record : order) shuffled += record + "\r\n";
  std::sort(order.begin(), order.end());
  for (const std::string& record : order) sortedThenReversed += record + "\r\n";
  for (auto r = order.rbegin(); r != order.rend(); ++r) sortedThenReversed += *r + "\r\n";
  for (const std::string* list : {&shuffled, &sortedThenReversed}) {
    Grouping expected = GroupByTheBook(*list, 10), grouped = GroupFast(*list, 10);
    ASSERT_EQ(expected.action, GroupingAction::kRewrite);
    EXPECT_EQ(grouped.groups, expected.groups);
    EXPECT_TRUE(grouped.contents == expected.contents);
  }
}

TEST(GroupedListTest, RecordsHoldingSeparatorBytesComeThroughIntact) {
  const std::string odd[] = {std::string("a\0b@Zero.ORG", 12), std::string("c@Do\x01main\0x", 11),
                             std::string("\x01\x01", 2), std::string("plain\0", 6)};
  std::string list;
  for (const std::string& record : odd) list += record + "\r\n";
  for (int m = 0; m < 300; ++m) {
    list += "m" + std::to_string(m) + "@d" + std::to_string(m % 3) + ".net\r\n";
  }

  Grouping grouped = GroupFast(list, 7);
  ASSERT_EQ(grouped.action, GroupingAction::kRewrite);
  EXPECT_EQ(grouped.groups, 3 + 4);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = grouped.contents.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(grouped.contents.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 304u);
  for (std::string record : odd) {
    if (size_t at = record.find('@'); at != std::string::npos) {
      record = record.substr(0, at + 1) + LowerCase(record.substr(at + 1));
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), record), 1) << record;
  }
}

}  // namespace
}  // namespace grenfel
