// Grouping of list files through a file system in memory: what is
// rewritten, what is left alone and the lines printed.
#include "grouping/grouping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/console.h"
#include "services/fault_injection.h"
#include "services/memory_fs.h"

namespace grenfel {
namespace {

std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// "m<first>@<domain>" to "m<last>@<domain>", either way round, numbers of
// three digits.
std::vector<std::string> Numbered(int first, int last, const std::string& domain) {
  std::vector<std::string> lines;
  for (int step = first > last ? -1 : 1, m = first;; m += step) {
    std::string number = std::to_string(m);
    lines.push_back("m" + std::string(3 - number.size(), '0') + number + "@" + domain);
    if (m == last) break;
  }
  return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class GroupingTest : public ::testing::Test {
 protected:
  void SetUp() override { CaptureConsole(&printed_); }
  void TearDown() override { CaptureConsole(nullptr); }

  GroupOutcome Group(const std::string& list, int32_t sessionSize, FileSystem* fs = nullptr) {
    fs_.files["list.lst"] = list;
    return GroupDomains(fs ? fs : &fs_, "list.lst", sessionSize);
  }

  MemoryFileSystem fs_;
  std::string printed_;
};

// A closed list with head lines on both sides of its CLOSED line, one large
// domain written in three cases and single members that order by their
// group texts, one of them holding a 0x00 byte.
const std::string kClosedList =
    Crlf({"+welcome=Hi there", "mod@Mods.ORG", "  closed ", "+ERRORS-TO:=Boss@X.com",
          " +WELCOME=not head", "+OTHER", "Two@at@Sign.COM", "pad@Trail.net ", "pad@trail.net",
          std::string("zero\0byte@Zero.org", 18)}) +
    Crlf(Numbered(0, 69, "Big.com") + Numbered(70, 139, "BIG.COM") + Numbered(140, 199, "big.com"));

TEST_F(GroupingTest, RewritesHeadBlockThenSessions) {
  GroupOutcome outcome = Group(kClosedList, 60);
  ASSERT_TRUE(outcome.failure.ok()) << outcome.failure.cause.message;
  EXPECT_EQ(outcome.groups, 7);
  EXPECT_EQ(printed_, "");
  // The rest of big.com goes to the end, beyond the places the pass visits,
  // so it stays whole although it holds more than 60.
  std::string expected =
      Crlf({"+welcome=Hi there", "mod@mods.org", "CLOSED", "+ERRORS-TO:=Boss@X.com"}) +
      Crlf(Numbered(199, 140, "big.com")) +
      Crlf({std::string("zero\0byte@zero.org", 18), "pad@trail.net ", "pad@trail.net",
            "Two@at@sign.com", "+OTHER", " +WELCOME=not head"}) +
      Crlf(Numbered(139, 0, "big.com"));
  EXPECT_EQ(fs_.files["list.lst"], expected);
  EXPECT_EQ(fs_.files.size(), 1u) << "the companion file must be gone";

  fs_.files.clear();
  EXPECT_EQ(GroupDomains(&fs_, "missing.lst", 10).groups, 0);
  EXPECT_TRUE(fs_.files.empty());
}

// A grouping planned ahead (for a report) is written only where the list
// holds the bytes it was planned from; otherwise the list is grouped anew.
TEST_F(GroupingTest, APlannedGroupingIsWrittenOnlyOverTheBytesItWasPlannedFrom) {
  const std::string other = Crlf(Numbered(0, 150, "a.org") + Numbered(0, 150, "b.org"));
  for (const std::string& planned : {kClosedList, other}) {
    KeptGroupPlan plan;
    std::vector<DomainRow> table;
    GroupOutcome ahead = PlanGrouping("list.lst", planned, 60, &table, &plan);
    EXPECT_FALSE(table.empty());
    fs_.files["list.lst"] = kClosedList;
    GroupOutcome outcome = GroupDomains(&fs_, "list.lst", 60, plan.get());
    const std::string withPlan = fs_.files["list.lst"];
    EXPECT_EQ(Group(kClosedList, 60).groups, outcome.groups);
    EXPECT_EQ(withPlan, fs_.files["list.lst"]);
    EXPECT_EQ(ahead.groups, planned == other ? 2 : 7);
  }
}

TEST_F(GroupingTest, NeverLosesTheListWhateverFails) {
  GroupOutcome clean = Group(kClosedList, 60);
  ASSERT_TRUE(clean.failure.ok());
  const std::string grouped = fs_.files["list.lst"];
  ASSERT_NE(grouped, kClosedList);

  for (auto mode : {FaultFileSystem::Mode::kError, FaultFileSystem::Mode::kCrash}) {
    for (int failAt = 1;; ++failAt) {
      SCOPED_TRACE("failing operation " + std::to_string(failAt));
      fs_.files.clear();
      FaultFileSystem faulty(&fs_, failAt, mode);
      GroupOutcome outcome = Group(kClosedList, 60, &faulty);
      const std::string& list = fs_.files["list.lst"];
      bool companionKept = fs_.files.count("list.TMP") > 0;
      if (!faulty.fired()) {
        // Every operation has been failed once.
        EXPECT_TRUE(outcome.failure.ok());
        EXPECT_GT(failAt, 3);
        break;
      }
      // A list cut short by a failed rewrite is fine only while the
      // companion holds its complete new contents.
      bool companionComplete = companionKept && fs_.files["list.TMP"] == grouped + "\x1A";
      EXPECT_TRUE(list == kClosedList || list == grouped || companionComplete) << list;
      if (mode == FaultFileSystem::Mode::kError) {
        EXPECT_FALSE(outcome.failure.ok()) << "an error must be reported";
        EXPECT_NE(outcome.failure.file.find("list.lst"), std::string::npos) << outcome.failure.file;
        // A partial companion must have been removed.
        EXPECT_TRUE(!companionKept || companionComplete);
      }
      EXPECT_EQ(printed_, "");
    }
  }

  // A companion that holds data is somebody's: it and the list stay as
  // they are.
  fs_.files.clear();
  fs_.files["list.TMP"] = "left over\r\n";
  GroupOutcome refused = Group(kClosedList, 60);
  EXPECT_FALSE(refused.failure.ok());
  EXPECT_EQ(refused.groups, 7);
  EXPECT_EQ(fs_.files["list.lst"], kClosedList);
  EXPECT_EQ(fs_.files["list.TMP"], "left over\r\n");
}

// Too few members to group: the outcome says so, for the driver to print,
// and the list stays as it is, on disk and in memory alike.
TEST_F(GroupingTest, TooFewNamesIsAFactNotALine) {
  const std::string tooFew = Crlf(Numbered(100, 298, "one.com") + Numbered(300, 300, "two.com"));
  GroupOutcome outcome = Group(tooFew, 10);
  ASSERT_TRUE(outcome.failure.ok());
  EXPECT_TRUE(outcome.tooFewNames);
  EXPECT_EQ(outcome.groups, 2);
  EXPECT_EQ(fs_.files["list.lst"], tooFew);
  std::vector<DomainRow> table;
  GroupOutcome planned = GroupInMemory("list.lst", tooFew, 10, &table);
  EXPECT_TRUE(planned.tooFewNames);
  EXPECT_EQ(planned.groups, 2);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(printed_, "");

  // Enough members, or a single domain that is left alone: no such fact.
  EXPECT_FALSE(Group(kClosedList, 60).tooFewNames);
  EXPECT_FALSE(GroupInMemory("list.lst", kClosedList, 60, &table).tooFewNames);
  EXPECT_EQ(table.size(), 7u);
  EXPECT_FALSE(Group(Crlf(Numbered(0, 9, "one.com")), 10).tooFewNames);
}

}  // namespace
}  // namespace grenfel
