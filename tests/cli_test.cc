// The command line end to end: what the program prints, its exit code, and
// that a run stopped by a check leaves every file as it was.
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

// The lines, each ended with CR LF, after the banner line.
std::string Printed(std::initializer_list<std::string_view> lines) {
  std::string out(kBannerLine);
  for (std::string_view line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

const std::string kUsage = Printed({
    "Copyright (C) 2026 The grenfel developers.",
    "",
    "This tool sorts a members list file of email addresses with optional",
    "include and exclude lists.",
    "",
    "Syntax:",
    "  GRENFEL <listname.lst> [<include.lst>] [/B=<exclude.lst>] [/ND] [/G[#]]",
    "   /B=<file> = Blacklist file.",
    "   /ND       = Remove duplicate entries.",
    "   /G[#]     = Sort domains into groups. Optional number sets session size.",
    "               Default session size is 10.",
});

const std::string kIncludeHasBlank = Printed({
    "* Error: Include filename may not contain spaces.",
    "  Use /? on the command line for help.",
});

// The version in the build file's project() line.
std::string ProjectVersion() {
  std::string build = ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/CMakeLists.txt");
  std::string_view marker = "project(grenfel VERSION ";
  size_t at = build.find(marker);
  if (at == std::string::npos) return "(no project version in CMakeLists.txt)";
  at += marker.size();
  return build.substr(at, build.find_first_of(" )", at) - at);
}

struct Expectation {
  std::string_view tail;
  std::string out;
};

TEST(CliUsage, EmptyTailOrAnyQuestionMarkShowsUsageAndTouchesNothing) {
  ScratchDir dir;
  const std::string members = "b@x.org\r\na@x.org\r\n";
  WriteFile(dir / "members.lst", members);

  for (std::string_view tail :
       {"", "?", "members.lst /?", "members.lst /ND /G5 why?", "--help", "-h"}) {
    SCOPED_TRACE(tail);
    RunResult run = RunTail(tail, dir.path());
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.exitCode, 0);
  }
  // One empty argument still makes an empty tail.
  RunResult run = RunProgram({""}, dir.path());
  EXPECT_EQ(run.out, kUsage);
  // The version is the banner, then the package version of the build file;
  // a help word beside anything else is a file name like any other.
  run = RunTail("--version", dir.path());
  EXPECT_EQ(run.out, std::string(kBannerLine) + "grenfel " + ProjectVersion() + "\r\n");
  EXPECT_EQ(run.exitCode, 0);
  run = RunTail("--help members.lst", dir.path());
  EXPECT_EQ(run.out, std::string(kBannerLine) + "* Error: File not found \"--help\"\r\n");

  EXPECT_EQ(ReadFile(dir / "members.lst"), members);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"members.lst"});
}

TEST(CliChecks, FirstFailingCheckIsTheOnlyOneReportedAndNothingIsTouched) {
  ScratchDir dir;
  const std::string members = "b@x.org\r\na@x.org\r\n";
  WriteFile(dir / "members.lst", members);
  WriteFile(dir / "in.lst", "c@x.org\r\n");

  const Expectation cases[] = {
      // The exclude file is checked first, even before a missing list.
      {"/B=bad.lst nolist.lst", Printed({"* Error: exclude file (bad.lst) not found."})},
      {"members.lst /B=", Printed({"* Error: exclude file () not found."})},
      {"members.lst /B=\"my list.lst", Printed({"* Error: exclude file () not found."})},
      {"members.lst /B=*.lst", Printed({"* Error: exclude file (*.lst) not found."})},
      // A blank in the include name comes before the list's existence.
      {"nolist.lst a.lst b.lst", kIncludeHasBlank},
      {"members.lst in.lst ", kIncludeHasBlank},
      {"/ND", Printed({"* Error: File not found \"\""})},
      {"nolist.lst nonew.lst", Printed({"* Error: File not found \"nolist.lst\""})},
      // Quotes mean nothing outside "/B=": the name is split at its blank.
      {"\"my list.lst\"", Printed({"* Error: File not found \"\"my\""})},
      {"members.lst nonew.lst", Printed({"*Error: File not found \"nonew.lst\""})},
      // What an option leaves behind becomes the include name.
      {"members.lst /ND /ND", Printed({"*Error: File not found \"/ND\""})},
      {"members.lst /G 5", Printed({"*Error: File not found \"5\""})},
      {"members.lst /G0", Printed({"*Error: File not found \"0\""})},
      {"members.lst /g-3", Printed({"*Error: File not found \"-3\""})},
      {"members.lst /Gx", Printed({"*Error: File not found \"x\""})},
  };
  for (const Expectation& expected : cases) {
    SCOPED_TRACE(expected.tail);
    RunResult run = RunTail(expected.tail, dir.path());
    EXPECT_EQ(run.out, expected.out);
    EXPECT_EQ(run.exitCode, 1);
  }

  EXPECT_EQ(ReadFile(dir / "members.lst"), members);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.lst", "members.lst"}));
}

TEST(CliOptions, FoundInAnyCaseAnywhereAndTakenOutOfTheTail) {
  ScratchDir dir;
  // Empty files: the list processing and the grouping print nothing for
  // them, so the lines below are the driver's own.
  for (const char* name :
       {"members.lst", "in.lst", "x.lst", "bad.lst", "my list.lst", "listsood.lst"}) {
    WriteFile(dir / name, "");
  }
  const std::string plain = Printed({});
  const std::string grouped = Printed({"*  Found 0 different domain names."});

  const Expectation cases[] = {
      {"members.lst", plain},
      {"members.lst in.lst", plain},
      {"members.lst /nd /g5 /b=x.lst", grouped},
      {"members.lst/ND", plain},
      {"/G members.lst", grouped},
      {"members.lst /G2.9", grouped},
      {"members.lst /G99999999999", grouped},
      // Rounded down to 0: no grouping at all.
      {"members.lst /G0.5", plain},
      {"members.lst /B=\"my list.lst\"", plain},
      {"/B=\"my list.lst\"members.lst", plain},
      // The blank after "/B=" is cut with the name, leaving nothing behind.
      {"members.lst /B= bad.lst", plain},
      // With an option on the line the tail is trimmed, so the trailing
      // blank no longer reaches the include name.
      {"members.lst in.lst /ND ", plain},
      // "/g" inside a path is an option too: "ood.lst" is no number.
      {"lists/good.lst", grouped},
  };
  for (const Expectation& expected : cases) {
    SCOPED_TRACE(expected.tail);
    RunResult run = RunTail(expected.tail, dir.path());
    EXPECT_EQ(WithoutRuntime(run.out), expected.out);
    EXPECT_EQ(run.exitCode, 0);
  }

  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"bad.lst", "in.lst", "listsood.lst",
                                                     "members.lst", "my list.lst", "x.lst"}));
}

TEST(CliSameFile, IncludeOrExcludeThatIsTheListOrEachOtherIsRefused) {
  ScratchDir dir;
  const std::string members = "b@x.org\r\na@x.org\r\nc@x.org\r\n";
  const std::string include = "d@x.org\r\nb@x.org\r\n";
  WriteFile(dir / "members.lst", members);
  WriteFile(dir / "in.lst", include);
  ASSERT_EQ(link((dir / "members.lst").c_str(), (dir / "alias.lst").c_str()), 0);

  const Expectation cases[] = {
      {"members.lst /B=members.lst",
       Printed({"* Error: Exclude file \"members.lst\" is the list file \"members.lst\" itself; "
                "nothing was changed."})},
      {"members.lst ./members.lst",
       Printed({"* Error: Include file \"./members.lst\" is the list file \"members.lst\" "
                "itself; nothing was changed."})},
      {"members.lst alias.lst /B=in.lst",
       Printed({"* Error: Include file \"alias.lst\" is the list file \"members.lst\" itself; "
                "nothing was changed."})},
      {"members.lst in.lst /B=in.lst",
       Printed({"* Error: Include file \"in.lst\" and exclude file \"in.lst\" are the same "
                "file; nothing was changed."})},
  };
  for (const Expectation& expected : cases) {
    SCOPED_TRACE(expected.tail);
    RunResult run = RunTail(expected.tail, dir.path());
    EXPECT_EQ(run.out, expected.out);
    EXPECT_EQ(run.exitCode, 1);
  }

  EXPECT_EQ(ReadFile(dir / "members.lst"), members);
  EXPECT_EQ(ReadFile(dir / "in.lst"), include);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"alias.lst", "in.lst", "members.lst"}));
}

}  // namespace
}  // namespace grenfel::e2e
