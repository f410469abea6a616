// Dry runs and change reports end to end: a dry run touches no file and
// prints what the run prints; the report's rows name every change with the
// line it came from, and agree with the summary lines.
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

constexpr std::string_view kDryRunLine = "* Dry run: no file was changed.\r\n";

using Files = std::map<std::string, std::string>;

void Put(const ScratchDir& dir, const Files& files) {
  for (const auto& [name, bytes] : files) WriteFile(dir / name, bytes);
}

Files Snapshot(const ScratchDir& dir) {
  Files files;
  for (const std::string& name : dir.Entries()) files[name] = ReadFile(dir / name);
  return files;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

// The output of a completed dry run without its last two lines (run time
// and the dry-run line).
std::string WithoutDryRunEnd(const std::string& out) {
  std::string_view view = out;
  if (view.size() < kDryRunLine.size() ||
      view.substr(view.size() - kDryRunLine.size()) != kDryRunLine) {
    ADD_FAILURE() << "no dry-run line at the end of:\n" << out;
    return out;
  }
  return WithoutRuntime(out.substr(0, out.size() - kDryRunLine.size()));
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    pieces.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + separator.size();
  }
}

std::string MembersOf(std::string_view domain, int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) {
    char name[16];
    snprintf(name, sizeof name, "m%03d@", i);
    bytes += name + std::string(domain) + "\r\n";
  }
  return bytes;
}

TEST(DryRun, ChangesNoFileAndPrintsTheRunsLinesThenItsOwn) {
  const Files examples = {
      {"members.lst", ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/examples/members.lst")},
      {"new.lst", ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/examples/new.lst")},
      {"bad.lst", ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/examples/bad.lst")},
  };
  struct Case {
    std::string tail;
    Files files;
    int exitCode;
  };
  Files grouped = {{"g.lst", MembersOf("a.example", 150) + MembersOf("b.example", 80) + "\r\n"}};
  Files oneLine = {{"one.lst", "solo@x.org\r\n"}};
  Files leftover = examples;
  leftover["members.TMP"] = "someone's data";
  const Case cases[] = {
      {"members.lst new.lst /B=bad.lst /ND /G2 --dry-run", examples, 0},
      {"--dry-run members.lst /nd", examples, 0},
      {"g.lst /G --dry-run", grouped, 0},
      {"one.lst --dry-run /B=one.lst", oneLine, 1},
      {"one.lst --dry-run", oneLine, 0},
      {"members.lst new.lst --dry-run", leftover, 2},
      {"missing.lst --dry-run", examples, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    ScratchDir dry, real;
    Put(dry, c.files);
    Put(real, c.files);
    RunResult dryRun = RunTail(c.tail, dry.path());
    // The same tail as the long option leaves it.
    std::string realTail = c.tail;
    size_t at = realTail.find("--dry-run");
    realTail.erase(at > 0 ? at - 1 : at, 10);
    RunResult realRun = RunTail(std::string(realTail), real.path());
    EXPECT_EQ(dryRun.exitCode, c.exitCode);
    EXPECT_EQ(realRun.exitCode, c.exitCode);
    EXPECT_EQ(Snapshot(dry), c.files);
    if (c.exitCode == 0) {
      EXPECT_EQ(WithoutDryRunEnd(dryRun.out), WithoutRuntime(realRun.out));
    } else {
      EXPECT_EQ(dryRun.out, realRun.out);
    }
  }
}

TEST(Report, NamesEveryChangeWithItsLinesAndTheGroups) {
  // The exclude file: an empty line that its own processing drops, and
  // keys whose lines move when it is sorted.
  const std::string exclude = Lines({"zed@x.org", "", "  Amy@Y.com  "});
  // Lines 1 to 210 are members of two domains; 211 is excluded, 212 empty,
  // and 213 equals include line 2 for /ND (0x84 upper-cases to 0x8E) while
  // sorting after it.
  const std::string list = MembersOf("d1.com", 150) + MembersOf("d2.com", 60) +
                           Lines({"amy@y.com", "", "d\x8Ep@d2.com"});
  const std::string include = Lines({"new@d3.com", "d\x84p@d2.com", "zed@x.org"});
  const std::string expected =
      "file\tchange\trecord\tfrom\trelated\r\n"
      "exclude\tdropped-empty\t\texclude:2\t\r\n"
      "list\tadded-include\td\x84p@d2.com\tinclude:2\t\r\n"
      "list\tremoved-duplicate\td\x8Ep@d2.com\tlist:213\tinclude:2\r\n"
      "list\tadded-include\tnew@d3.com\tinclude:1\t\r\n"
      "list\tremoved-excluded\tamy@y.com\tlist:211\texclude:3\r\n"
      "list\tremoved-excluded\tzed@x.org\tinclude:3\texclude:1\r\n"
      "list\tdropped-empty\t\tlist:212\t\r\n"
      "\r\n"
      "domain\tmembers\tsessions\r\n"
      "d1.com\t150\t2\r\n"
      "d2.com\t61\t2\r\n"
      "d3.com\t1\t1\r\n";
  for (bool dry : {true, false}) {
    SCOPED_TRACE(dry ? "dry run" : "real run");
    ScratchDir dir;
    Put(dir, {{"m.lst", list}, {"i.lst", include}, {"x.lst", exclude}});
    RunResult run = RunTail(
        std::string("m.lst i.lst /B=x.lst /ND /G50 --report=r/g.tsv") + (dry ? " --dry-run" : ""),
        dir.path());
    // The report's folder does not exist: refused before anything is read.
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(ReadFile(dir / "m.lst"), list);
    // The exclude file was sorted before the report could be written.
    Put(dir, {{"x.lst", exclude}});
    run = RunTail(
        std::string("m.lst i.lst /B=x.lst /ND /G50 --report=g.tsv") + (dry ? " --dry-run" : ""),
        dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("   Removed 1 duplicate record.\r\n   Filtered 2 excluded records.\r\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFile(dir / "g.tsv"), expected);
    EXPECT_EQ(ReadFile(dir / "m.lst") == list, dry);
    EXPECT_FALSE(Exists(dir / "m.TMP"));
  }
}

TEST(Report, RefusedWhenItWouldReplaceAFile) {
  ScratchDir dir;
  const Files files = {{"m.lst", Lines({"b@x.org", "a@x.org"})}, {"old.tsv", "kept"}};
  Put(dir, files);
  for (const char* tail : {"m.lst --report=old.tsv", "m.lst --report=m.TMP", "m.lst --report=",
                           "m.lst --report=a.tsv --report=b.tsv", "m.lst --report=m.lst"}) {
    SCOPED_TRACE(tail);
    RunResult run = RunTail(tail, dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.substr(kBannerLine.size(), 9), "* Error: ");
    EXPECT_EQ(Snapshot(dir), files);
  }
  // A report name holding "/g" or "?" asks for nothing.
  RunResult run = RunTail("m.lst --report=x/g?.tsv", dir.path());
  EXPECT_EQ(run.exitCode, 2) << run.out;  // no folder "x"
  EXPECT_EQ(run.out.find("Found"), std::string::npos);
  EXPECT_EQ(run.out.find("Syntax"), std::string::npos);
  EXPECT_EQ(Snapshot(dir), files);
}

// The rows of one file and change, counted.
std::map<std::string, int> CountRows(const std::string& report) {
  std::map<std::string, int> counts;
  std::vector<std::string> lines = Split(report, "\r\n");
  for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    std::vector<std::string> columns = Split(lines[i], "\t");
    counts[columns[0] + " " + columns[1]] += 1;
  }
  return counts;
}

// The count of a summary line that follows the announcement of `name`.
int SummaryCount(const std::string& out, const std::string& name, std::string_view noun) {
  size_t from = out.find("* \"" + name + "\" has ");
  if (from == std::string::npos) return 0;
  size_t next = out.find("* \"", from + 1);
  std::string part = out.substr(from, next == std::string::npos ? std::string::npos : next - from);
  size_t at = part.find(std::string(noun) == "duplicate" ? "   Removed " : "   Filtered ");
  return at == std::string::npos ? 0 : std::stoi(part.substr(at + 11));
}

TEST(Report, CountsAgreeWithTheSummaryLinesOnGeneratedLists) {
  std::mt19937 random(18);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    auto address = [&] {
      static const char* kForms[] = {"ann@a.org", "Ann@A.org", "bob@b.net", "  bob@b.net",
                                     "cy@c.com",  "",          "+x@a.org",  "dee@a.org"};
      std::string text = kForms[random() % 8];
      if (random() % 3 == 0) text = "u" + std::to_string(random() % 40) + "@d.org";
      return text;
    };
    std::vector<std::string> list, include, exclude;
    for (int i = 0, n = 20 + random() % 300; i < n; ++i) list.push_back(address());
    for (int i = 0, n = random() % 40; i < n; ++i) include.push_back(address());
    for (int i = 0, n = 2 + random() % 10; i < n; ++i) exclude.push_back(address());
    ScratchDir dir;
    Put(dir, {{"m.lst", Lines(list)}, {"i.lst", Lines(include)}, {"x.lst", Lines(exclude)}});
    bool dry = round % 2 == 0;
    RunResult run =
        RunTail(std::string("m.lst i.lst /B=x.lst /ND --report=r.tsv") + (dry ? " --dry-run" : ""),
                dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out;
    std::map<std::string, int> rows = CountRows(ReadFile(dir / "r.tsv"));
    EXPECT_EQ(rows["list removed-duplicate"], SummaryCount(run.out, "m.lst", "duplicate"));
    EXPECT_EQ(rows["list removed-excluded"], SummaryCount(run.out, "m.lst", "excluded"));
    EXPECT_EQ(rows["exclude removed-duplicate"], SummaryCount(run.out, "x.lst", "duplicate"));
    if (!dry) {
      // Every record read is written, or has its row.
      size_t written = Split(ReadFile(dir / "m.lst"), "\r\n").size() - 1;
      EXPECT_EQ(written + rows["list removed-duplicate"] + rows["list removed-excluded"] +
                    rows["list dropped-empty"],
                list.size() + include.size());
    }
  }
}

}  // namespace
}  // namespace grenfel::e2e
