#include "driver/driver.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "gtest/gtest.h"
#include "services/console.h"
#include "services/scratch_folder.h"
#include "services/text.h"

namespace grenfel {
namespace {

struct TailCase {
  std::string_view tail;
  std::string_view list;
  std::string_view include;
  std::string_view exclude;
  bool removeDuplicates;
  int32_t sessionSize;
};

TEST(ParseCommandTail, TakesOptionsOutInTheirOrderAndSplitsTheNames) {
  const TailCase cases[] = {
      {"members.lst new.lst /B=bad.lst /ND /G5", "members.lst", "new.lst", "bad.lst", true, 5},
      {"/g5/nd/b=bad.lst members.lst", "members.lst", "", "bad.lst", true, 5},
      // "/B=" goes first, so a "/G" inside its name is part of the name.
      {"members.lst /B=/G5", "members.lst", "", "/G5", false, 0},
      {"members.lst /G2.9", "members.lst", "", "", false, 2},
      {"members.lst /G0.5", "members.lst", "", "", false, 0},
      {"members.lst /G2147483647", "members.lst", "", "", false, 2147483647},
      {"members.lst /G2147483648", "members.lst", "", "", false, -1},
      {"members.lst /G1e9999", "members.lst", "", "", false, -1},
      // The number may stand after blanks, which keeps it in the tail.
      {"members.lst /G 5", "members.lst", "5", "", false, 5},
      {"members.lst /G7x new.lst", "members.lst", "new.lst", "", false, 7},
      {"members.lst /B=\"my list.lst\" new.lst", "members.lst", "new.lst", "my list.lst", false, 0},
      {"members.lst /B=\"\"bad.lst\"", "members.lst", "bad.lst\"", "", false, 0},
      {"members.lst /B=\"my list.lst", "members.lst", "\"my list.lst", "", false, 0},
      {"members.lst /B=   bad.lst", "members.lst", "", "bad.lst", false, 0},
      {"members.lst /B=bad.lst   new.lst  ", "members.lst", "new.lst", "bad.lst", false, 0},
      // Without an option nothing trims the tail.
      {"members.lst   new.lst ", "members.lst", "new.lst ", "", false, 0},
      {" members.lst", "", "members.lst", "", false, 0},
      {"members.lst\tnew.lst", "members.lst\tnew.lst", "", "", false, 0},
  };
  for (const TailCase& expected : cases) {
    SCOPED_TRACE(expected.tail);
    ParsedTail parsed = ParseCommandTail(expected.tail);
    EXPECT_FALSE(parsed.showUsage);
    EXPECT_EQ(parsed.options.listName, expected.list);
    EXPECT_EQ(parsed.options.includeName, expected.include);
    EXPECT_EQ(parsed.options.excludeName, expected.exclude);
    EXPECT_EQ(parsed.excludeGiven, UpperCase(expected.tail).find("/B=") != std::string::npos);
    EXPECT_EQ(parsed.options.removeDuplicates, expected.removeDuplicates);
    EXPECT_EQ(parsed.options.sessionSize, expected.sessionSize);
  }
  EXPECT_TRUE(ParseCommandTail("").showUsage);
  EXPECT_TRUE(ParseCommandTail("members.lst /B=what?.lst").showUsage);
  EXPECT_FALSE(ParseCommandTail(" ").showUsage);
}

TEST(ParseCommandTail, NotesOptionsCutFromInsideAWord) {
  auto noted = [](std::string_view tail) {
    std::string text;
    for (const OptionInsideWord& found : ParseCommandTail(tail).optionsInsideWords) {
      text += found.taken + " in " + found.word + " as " + found.option + "\n";
    }
    return text;
  };
  // Options standing alone, a quoted exclude name with a blank, a number
  // after /G: nothing to explain.
  EXPECT_EQ(noted("members.lst new.lst /B=bad.lst /ND /G5"), "");
  EXPECT_EQ(noted("members.lst /b=\"my list.lst\" /g"), "");
  EXPECT_EQ(noted("members.lst /B=   bad.lst"), "");
  EXPECT_EQ(noted("lists/good.lst"), "/g in lists/good.lst as /G (grouping, sessions of 10)\n");
  EXPECT_EQ(noted("members.lst /Gx"), "/G in /Gx as /G (grouping, sessions of 10)\n");
  EXPECT_EQ(noted("members.lst/ND"), "/ND in members.lst/ND as /ND (remove duplicates)\n");
  EXPECT_EQ(noted("old/b=x.lst members.lst"),
            "/b=x.lst in old/b=x.lst as /B= (exclude file \"x.lst\")\n");
  // Each option is looked at in the tail the one before it left: once
  // "/nd/b=bad.lst" is gone, "/g5" stands alone.
  EXPECT_EQ(noted("/g5/nd/b=bad.lst members.lst"),
            "/b=bad.lst in /g5/nd/b=bad.lst as /B= (exclude file \"bad.lst\")\n"
            "/nd in /g5/nd as /ND (remove duplicates)\n");
  EXPECT_EQ(noted("a/g7b.lst"), "/g7b.lst in a/g7b.lst as /G (grouping, sessions of 7)\n");
}

TEST(RunSeconds, RunPastMidnightStaysPositive) {
  EXPECT_DOUBLE_EQ(RunSeconds(100.25, 112.5), 12.25);
  EXPECT_NEAR(RunSeconds(86399.5, 0.3), 0.8, 1e-9);
}

// A run on real files that the list processing and the grouping leave
// silent (an empty list): the titles follow the phases, and a run stopped
// by a check sets none.
TEST(RunDriver, TitlesFollowThePhases) {
  // No "/G" or other option may show in the path that the tail names.
  ScratchFolder folder;
  if (folder.path().find(' ') != std::string::npos) GTEST_SKIP() << "a blank in " << folder.path();
  const std::string list = folder / "members.lst";
  FILE* file = fopen(list.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fclose(file);

  std::string out, titles;
  CaptureConsole(&out, &titles);
  int grouped = RunDriver(list + " /G", RealFileSystem());
  std::string groupedTitles = titles;
  titles.clear();
  int stopped = RunDriver(folder / "missing.lst", RealFileSystem());
  std::string stoppedTitles = titles;
  CaptureConsole(nullptr);

  EXPECT_EQ(grouped, kExitOk);
  EXPECT_EQ(groupedTitles, "Grenfel : Sorting " + list + "\nGrenfel : Grouping\n");
  EXPECT_EQ(stopped, kExitUsage);
  EXPECT_EQ(stoppedTitles, "");
}

TEST(ParseCommandTail, LongOptionsAreWholeWordsTakenOutFirst) {
  ParsedTail parsed = ParseCommandTail("m.lst --dry-run in.lst --report=x/g?.tsv /ND");
  EXPECT_TRUE(parsed.longOptions.dryRun);
  EXPECT_EQ(parsed.longOptions.reportName, "x/g?.tsv");
  EXPECT_FALSE(parsed.showUsage);
  EXPECT_EQ(parsed.options.sessionSize, 0);
  EXPECT_EQ(parsed.options.listName, "m.lst");
  EXPECT_EQ(parsed.options.includeName, "in.lst");
  // Taking one out trims the tail, as the short options do.
  EXPECT_EQ(ParseCommandTail("m.lst in.lst --dry-run ").options.includeName, "in.lst");
  // Anything else stays: a word that only holds the option, a quoted one.
  parsed = ParseCommandTail("m.lst x--dry-run");
  EXPECT_FALSE(parsed.longOptions.dryRun);
  EXPECT_EQ(parsed.options.includeName, "x--dry-run");
  EXPECT_FALSE(ParseCommandTail("m.lst \"--dry-run\"").longOptions.dryRun);
  EXPECT_TRUE(ParseCommandTail("--report=a --report=b m.lst").longOptions.reportRepeated);
  EXPECT_TRUE(ParseCommandTail("--dry-run").showUsage);
  EXPECT_TRUE(ParseCommandTail("--dry-run --version").showVersion);
}

}  // namespace
}  // namespace grenfel
