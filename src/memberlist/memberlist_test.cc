// The members list: the closed test, companion names, no member lost at any
// failed file operation, and lists written in parts like record by record.
#include "memberlist/memberlist.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "gtest/gtest.h"
#include "memberlist/change_report.h"
#include "services/console.h"
#include "services/fault_injection.h"
#include "services/scratch_folder.h"
#include "services/text.h"

namespace grenfel {
namespace {

TEST(MemberListTest, ClosedTestLooksAtTheFirst64KibOnly) {
  EXPECT_NE(IsClosedText("closed\r\nx@y\r\n"), 0);
  EXPECT_NE(IsClosedText("mod@x\r\nCLOSED"), 0);
  EXPECT_EQ(IsClosedText("mod@x\r\nClosed\r\nm@y\r\n"), 6);
  EXPECT_EQ(IsClosedText("mod@x\r\n CLOSED\r\n"), 0);
  EXPECT_EQ(IsClosedText("mod@x\nCLOSED\n"), 0);
  EXPECT_EQ(IsClosedText("CLOSED"), 0);
  std::string late(65536 - 4, 'a');
  EXPECT_EQ(IsClosedText(late + "\r\nCLOSED\r\n"), 0);
  EXPECT_NE(IsClosedText(late.substr(4) + "\r\nCLOSED\r\n"), 0);
}

TEST(MemberListTest, CompanionNameReplacesTheLastExtension) {
  EXPECT_EQ(CompanionName("members.lst"), "members.TMP");
  EXPECT_EQ(CompanionName("members"), "members.TMP");
  EXPECT_EQ(CompanionName("x.tmp"), "x.TM");
  EXPECT_EQ(CompanionName("x.TMP"), "x.TM");
  EXPECT_EQ(CompanionName("old.lists/members"), "old.TMP");
  EXPECT_EQ(CompanionName("a.b.c"), "a.b.TMP");
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// One file's state after a run that may have failed or died: its old bytes,
// or its complete new bytes, or (when the rewrite broke off) a companion
// that holds the complete new bytes and the mark.
::testing::AssertionResult NothingLost(const std::string& list, const std::string& oldBytes,
                                       const std::string& newBytes, bool runSucceeded) {
  std::string companion = CompanionName(list);
  bool hasCompanion = std::filesystem::exists(companion);
  std::string now = ReadBytes(list);
  std::string kept = hasCompanion ? ReadBytes(companion) : "";
  if (runSucceeded) {
    if (now == newBytes && !hasCompanion) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << list << ": run succeeded with a wrong result";
  }
  if (hasCompanion && kept == newBytes + "\x1A") return ::testing::AssertionSuccess();
  if (now == oldBytes || now == newBytes) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << list << ": damaged without a complete companion";
}

TEST(MemberListTest, NoFailureOrCrashAtAnyFileOperationLosesAMember) {
  const std::string listBytes =
      "mod@b\r\nCLOSED\r\nzed@x\r\n  Amy@y\r\n\r\nbob@x\r\namy@Y\r\n+WELCOME=hi\r\n"
      "carl@z\r\nBOB@X\r\ndora@x\r\n";
  const std::string excludeBytes = "nobody@x\r\nDORA@x\r\n";
  std::string console;
  CaptureConsole(&console);

  // A clean run gives the new bytes of both files.
  ScratchFolder clean;
  WriteBytes(clean / "m.lst", listBytes);
  WriteBytes(clean / "bad.lst", excludeBytes);
  ListOutcome cleanRun =
      ProcessList(RealFileSystem(), clean / "m.lst", "", clean / "bad.lst", true);
  ASSERT_TRUE(cleanRun.failure.ok()) << cleanRun.failure.cause.message;
  const std::string newList = ReadBytes(clean / "m.lst");
  const std::string newExclude = ReadBytes(clean / "bad.lst");
  ASSERT_NE(newList, listBytes);
  ASSERT_NE(newExclude, excludeBytes);

  for (auto mode : {FaultFileSystem::Mode::kError, FaultFileSystem::Mode::kCrash}) {
    for (int failAt = 1;; ++failAt) {
      ScratchFolder folder;
      const std::string list = folder / "m.lst", exclude = folder / "bad.lst";
      WriteBytes(list, listBytes);
      WriteBytes(exclude, excludeBytes);
      FaultFileSystem fs(RealFileSystem(), failAt, mode);
      ListOutcome run = ProcessList(&fs, list, "", exclude, true);
      if (!fs.fired()) {
        EXPECT_TRUE(run.failure.ok());
        break;
      }
      SCOPED_TRACE(::testing::Message()
                   << "failing operation " << failAt << " in "
                   << (mode == FaultFileSystem::Mode::kCrash ? "crash" : "error")
                   << " mode: " << run.failure.cause.message);
      EXPECT_FALSE(run.failure.ok()) << "an injected failure was reported as success";
      EXPECT_TRUE(NothingLost(exclude, excludeBytes, newExclude, false));
      EXPECT_TRUE(NothingLost(list, listBytes, newList, false));

      // A later run never empties or deletes a companion that holds data.
      if (std::filesystem::exists(CompanionName(list)) &&
          std::filesystem::file_size(CompanionName(list)) > 0) {
        std::string kept = ReadBytes(CompanionName(list));
        std::string before = ReadBytes(list);
        ListOutcome again = ProcessList(RealFileSystem(), list, "", "", true);
        EXPECT_FALSE(again.failure.ok());
        // Deleting complete new contents is advised only when the list
        // already holds them; else only copying them over the list.
        CompanionContents found = kept.back() != '\x1A'     ? CompanionContents::kIncomplete
                                  : kept == before + "\x1A" ? CompanionContents::kCompleteAndInList
                                                            : CompanionContents::kCompleteNotInList;
        EXPECT_EQ(again.failure.companionContents, found);
        EXPECT_EQ(ReadBytes(CompanionName(list)), kept);
        EXPECT_EQ(ReadBytes(list), before);
      }
    }
  }
  CaptureConsole(nullptr);
}

// A dry run of the list with a change report, on two threads or on this one
// only: what it would write, what it printed, the report and how it ended.
struct DryRun {
  std::string written, printed, report;
  RunFailure failure;
};
DryRun RunDry(const std::string& list, bool removeDuplicates, bool oneThread, std::string* console,
              const std::string& exclude = "") {
  DryRun run;
  ChangeReport report;
  ListRunMode mode;
  mode.dryRun = true;
  mode.writtenList = &run.written;
  mode.report = &report;
  mode.oneThread = oneThread;
  console->clear();
  run.failure = ProcessList(RealFileSystem(), list, "", exclude, removeDuplicates, mode).failure;
  run.printed = *console;
  run.report = report.text();
  return run;
}

// A long list is written in parts on two threads: it must give the bytes,
// the count of repeats and the report rows of the walk record by record.
// The list holds more blank lines than a part, so parts begin among the
// empty entries; every address comes in several spellings, so repeats are
// cut apart by the ends of parts, and one address comes so often that a
// whole part holds only its repeats (each must name the record kept in a
// part before); some records hold no "@".
TEST(MemberListTest, ListsWrittenInPartsMatchTheRecordByRecordWalk) {
  std::mt19937 random(5);
  std::string listBytes;
  for (int k = 0; k < 50000; ++k) listBytes += k % 3 == 0 ? "\r\n" : "   \r\n";
  for (int k = 0; k < 120000; ++k) {
    std::string record =
        "user" + std::to_string(random() % 40000) + "@Host" + std::to_string(random() % 7) + ".org";
    if (random() % 9 == 0) record = "note " + std::to_string(random() % 5000);
    if (k % 3 == 0) record = "user2@Host3.org";
    for (char& c : record) {
      if (random() % 3 == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    listBytes += (random() % 20 == 0 ? " " : "") + record + "\r\n";
  }
  std::string console;
  CaptureConsole(&console);
  ScratchFolder folder;
  WriteBytes(folder / "m.lst", listBytes);
  DryRun inParts = RunDry(folder / "m.lst", true, false, &console);
  DryRun byRecord = RunDry(folder / "m.lst", true, true, &console);
  CaptureConsole(nullptr);
  ASSERT_TRUE(inParts.failure.ok()) << inParts.failure.cause.message;
  ASSERT_TRUE(byRecord.failure.ok()) << byRecord.failure.cause.message;
  EXPECT_GT(inParts.written.size(), 1000000u);
  EXPECT_TRUE(inParts.written == byRecord.written);
  EXPECT_EQ(inParts.printed, byRecord.printed);
  EXPECT_TRUE(inParts.report == byRecord.report);
  EXPECT_NE(inParts.printed.find("duplicate records."), std::string::npos) << inParts.printed;

  // Every row names the lines that hold what it says: the line a repeat
  // came from holds it, the line of the record kept holds it in some
  // letter case, and a dropped empty line is blank.
  std::vector<std::string> lines(1);
  for (char c : listBytes) {
    if (c == '\r') lines.emplace_back();
    if (c != '\r' && c != '\n') lines.back() += c;
  }
  auto lineOf = [&](std::string_view place) -> std::string {
    EXPECT_EQ(place.substr(0, 5), "list:");
    size_t line = std::stoul(std::string(place.substr(5)));
    return line >= 1 && line < lines.size() ? std::string(TrimBlanks(lines[line - 1])) : "?";
  };
  size_t rows = 0;
  std::string_view report = inParts.report;
  for (size_t at = report.find("\r\n") + 2; at < report.size(); ++rows) {
    size_t end = report.find("\r\n", at);
    std::vector<std::string_view> fields;
    for (size_t field = at;; field = report.find('\t', field) + 1) {
      size_t tab = std::min(report.find('\t', field), end);
      fields.push_back(report.substr(field, tab - field));
      if (tab == end) break;
    }
    at = end + 2;
    ASSERT_EQ(fields.size(), 5u);
    if (fields[1] == "dropped-empty") {
      EXPECT_EQ(lineOf(fields[3]), "");
    } else {
      ASSERT_EQ(fields[1], "removed-duplicate");
      EXPECT_EQ(lineOf(fields[3]), fields[2]);
      EXPECT_TRUE(EqualUpper(lineOf(fields[4]), fields[2])) << fields[2];
    }
  }
  EXPECT_GT(rows, 70000u);
}

// A long list is read in two parts on two threads. Lines past the middle
// that change how the next ones are read (an errors-to line, a head block
// still open at the middle) must give what reading line by line gives, and
// so must records "CLOSED", empty records (whose lines the report names)
// and a Ctrl-Z, with and without an exclude list blanking records as they
// are read.
TEST(MemberListTest, ListsReadInTwoPartsMatchTheLineByLineReading) {
  std::mt19937 random(8);
  auto members = [&random](int count) {
    std::string bytes;
    for (int k = 0; k < count; ++k) {
      int kind = static_cast<int>(random() % 40);
      bytes += kind == 0   ? std::string("\r\n")
               : kind == 1 ? "+plus" + std::to_string(random() % 900) + "@x.org\r\n"
                           : " Member" + std::to_string(random() % 9000) + "@Host.org\r\n";
    }
    return bytes;
  };
  const std::string shapes[] = {
      members(20000),
      members(15000) + "+ERRORS-TO:=owner@x.org\r\n" + members(3000) + "CLOSED\r\n" + members(2000),
      "mod@x.org\r\nCLOSED\r\n" + members(15000) + "+Errors-To:=o@x.org\r\n" + members(5000),
      members(100) + "+ERRORS-TO:=o@x.org\r\n" + members(15000) + "closed\r\n" + members(5000),
      members(15000) + " closed \r\n" + members(5000),
      members(12000) + "\x1A\r\n \r\n",
  };
  std::string console;
  CaptureConsole(&console);
  std::string excludeBytes;
  for (int k = 0; k < 3000; ++k) {
    excludeBytes += (k % 2 ? "MEMBER" : "member") + std::to_string(k * 3) + "@host.ORG\r\n";
  }
  excludeBytes += "PLUS7@x.org\r\n";
  for (size_t shape = 0; shape < std::size(shapes); ++shape) {
    ScratchFolder folder;
    WriteBytes(folder / "m.lst", shapes[shape]);
    WriteBytes(folder / "x.lst", excludeBytes);
    for (const std::string& exclude : {std::string(), folder / "x.lst"}) {
      SCOPED_TRACE("shape " + std::to_string(shape) + (exclude.empty() ? "" : ", excluding"));
      DryRun inParts = RunDry(folder / "m.lst", false, false, &console, exclude);
      DryRun byLine = RunDry(folder / "m.lst", false, true, &console, exclude);
      EXPECT_TRUE(inParts.written == byLine.written);
      EXPECT_EQ(inParts.printed, byLine.printed);
      EXPECT_TRUE(inParts.report == byLine.report);
      EXPECT_EQ(inParts.failure.line, byLine.failure.line);
      EXPECT_EQ(inParts.failure.ok(), shape != 4);
      if (shape == 4) {
        EXPECT_EQ(inParts.failure.line, 15001);
      } else if (!exclude.empty()) {
        EXPECT_NE(inParts.printed.find("excluded records."), std::string::npos);
      }
    }
  }
  CaptureConsole(nullptr);
}

}  // namespace
}  // namespace grenfel
