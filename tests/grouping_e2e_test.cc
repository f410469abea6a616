// Domain grouping end to end: the program sorts the list, then groups it;
// the lines it prints and the list it leaves, byte for byte.
#include <cctype>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// "<prefix><number>@<domain>" for the numbers from `first` to `last`, either
// way round.
std::vector<std::string> Numbered(const std::string& prefix, int first, int last,
                                  const std::string& domain) {
  std::vector<std::string> lines;
  for (int step = first > last ? -1 : 1, n = first;; n += step) {
    lines.push_back(prefix + std::to_string(n) + "@" + domain);
    if (n == last) break;
  }
  return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a run over an open list of `records` lines prints before the
// grouping's own lines and the run-time line.
std::string ListLines(int records) {
  return std::string(kBannerLine) + "* \"list.lst\" has " + std::to_string(records) +
         " records.\r\n   Reading, Sorting, Writing.\r\n";
}

struct GroupedRun {
  std::string out;  // without the run-time line
  std::string list;
  std::vector<std::string> entries;
};

GroupedRun GroupIn(const std::string& list, const std::string& tail) {
  ScratchDir dir;
  WriteFile(dir / "list.lst", list);
  RunResult run = RunTail(tail, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  return {WithoutRuntime(run.out), ReadFile(dir / "list.lst"), dir.Entries()};
}

// Fifteen domains: A with 150 members, B with 30, C with 12, and D to O with
// one each, D's name the highest. The default session size is 10.
TEST(GroupingE2e, CutsLargeDomainsIntoSessionsSpreadTenPiecesApart) {
  auto domainOf = [](char name) {
    return name <= 'C' ? std::string(1, name) + ".Example"
                       : std::string(1, 'o' - (name - 'D')) + ".test";
  };
  struct Domain {
    char name;
    int members;
  };
  std::vector<Domain> domains = {{'A', 150}, {'B', 30}, {'C', 12}};
  for (char name = 'D'; name <= 'O'; ++name) domains.push_back({name, 1});
  std::vector<std::string> records;
  for (const Domain& d : domains) {
    records = records + Numbered("u", 100, 99 + d.members, domainOf(d.name));
  }
  // Out of order on purpose: the list processing sorts it first.
  std::vector<std::string> shuffled;
  for (size_t i = 0; i < records.size(); ++i) shuffled.push_back(records[(i * 7) % records.size()]);

  std::vector<int> next(128, 0);
  for (const Domain& d : domains) next[d.name] = 99 + d.members;
  std::vector<std::string> expected;
  auto take = [&](char name, int count) {
    int from = next[name];
    next[name] -= count;
    std::string domain = domainOf(name);
    for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    expected = expected + Numbered("u", from, from - count + 1, domain);
  };
  take('A', 10), take('B', 10), take('C', 10);
  for (char name = 'D'; name <= 'J'; ++name) take(name, 1);
  take('A', 10), take('B', 10), take('C', 2);
  for (char name = 'K'; name <= 'O'; ++name) take(name, 1);
  take('A', 130), take('B', 10);

  GroupedRun run = GroupIn(Crlf(shuffled), "list.lst /G");
  EXPECT_EQ(run.out, ListLines(204) + "*  Found 15 different domain names.\r\n");
  EXPECT_EQ(run.list, Crlf(expected));
  EXPECT_EQ(run.entries, std::vector<std::string>{"list.lst"});
}

// The lists are sorted already, so that the list processing writes them
// back as they are and any change comes from the grouping.
TEST(GroupingE2e, GroupsFromTwoHundredAndTwoMembersAndTwoDomains) {
  const std::string tooFew =
      Crlf(Numbered("m", 100, 299, "one.com") + Numbered("m", 300, 300, "two.com"));
  GroupedRun run = GroupIn(tooFew, "list.lst /G500");
  EXPECT_EQ(run.out, ListLines(201) +
                         "+ Error: Not enough names to group.\r\n"
                         "*  Found 2 different domain names.\r\n");
  EXPECT_EQ(run.list, tooFew);

  run = GroupIn(tooFew + "m301@two.com\r\n", "list.lst /G500");
  EXPECT_EQ(run.out, ListLines(202) + "*  Found 2 different domain names.\r\n");
  EXPECT_EQ(run.list,
            Crlf(Numbered("m", 299, 100, "one.com") + Numbered("m", 301, 300, "two.com")));

  // One domain in any mix of letter case is one group: nothing to do.
  const std::string oneDomain =
      Crlf(Numbered("m", 100, 199, "Example.COM") + Numbered("m", 200, 299, "example.com") +
           Numbered("m", 300, 399, "EXAMPLE.com"));
  run = GroupIn(oneDomain, "list.lst /g3");
  EXPECT_EQ(run.out, ListLines(300) + "*  Found 1 different domain name.\r\n");
  EXPECT_EQ(run.list, oneDomain);
  EXPECT_EQ(run.entries, std::vector<std::string>{"list.lst"});
}

}  // namespace
}  // namespace grenfel::e2e
