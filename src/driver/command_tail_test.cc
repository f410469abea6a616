// The reading of the command tail: which options are taken out, what the
// names are afterwards, and what is noted for the hints.
#include "driver/command_tail.h"

#include <string>
#include <string_view>

#include "driver/messages.h"
#include "gtest/gtest.h"
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
  // The facts noted, as the hint on standard error tells them.
  auto noted = [](std::string_view tail) {
    std::string text;
    for (const OptionInsideWord& found : ParseCommandTail(tail).optionsInsideWords) {
      std::string hint = OptionInsideWordHint(found);
      EXPECT_EQ(hint.rfind("grenfel: hint: ", 0), 0u) << hint;
      text += hint.substr(15) + "\n";
    }
    return text;
  };
  // Options standing alone, a quoted exclude name with a blank, a number
  // after /G: nothing to explain.
  EXPECT_EQ(noted("members.lst new.lst /B=bad.lst /ND /G5"), "");
  EXPECT_EQ(noted("members.lst /b=\"my list.lst\" /g"), "");
  EXPECT_EQ(noted("members.lst /B=   bad.lst"), "");
  EXPECT_EQ(
      noted("lists/good.lst"),
      "\"/g\" in \"lists/good.lst\" was taken as the option /G (grouping, sessions of 10).\n");
  EXPECT_EQ(noted("members.lst /Gx"),
            "\"/G\" in \"/Gx\" was taken as the option /G (grouping, sessions of 10).\n");
  EXPECT_EQ(noted("members.lst/ND"),
            "\"/ND\" in \"members.lst/ND\" was taken as the option /ND (remove duplicates).\n");
  EXPECT_EQ(
      noted("old/b=x.lst members.lst"),
      "\"/b=x.lst\" in \"old/b=x.lst\" was taken as the option /B= (exclude file \"x.lst\").\n");
  // Each option is looked at in the tail the one before it left: once
  // "/nd/b=bad.lst" is gone, "/g5" stands alone.
  EXPECT_EQ(noted("/g5/nd/b=bad.lst members.lst"),
            "\"/b=bad.lst\" in \"/g5/nd/b=bad.lst\" was taken as the option /B= (exclude file "
            "\"bad.lst\").\n"
            "\"/nd\" in \"/g5/nd\" was taken as the option /ND (remove duplicates).\n");
  // A number that asks for no grouping, or one too large, shows the default.
  EXPECT_EQ(
      noted("a/g0.5b.lst"),
      "\"/g0.5b.lst\" in \"a/g0.5b.lst\" was taken as the option /G (grouping, sessions of 10).\n");
  EXPECT_EQ(noted("a/g1e9999b.lst"),
            "\"/g1e9999b.lst\" in \"a/g1e9999b.lst\" was taken as the option /G (grouping, "
            "sessions of 10).\n");
  EXPECT_EQ(
      noted("a/g7b.lst"),
      "\"/g7b.lst\" in \"a/g7b.lst\" was taken as the option /G (grouping, sessions of 7).\n");
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
