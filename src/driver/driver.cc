#include "driver/driver.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/messages.h"
#include "grouping/grouping.h"
#include "memberlist/change_report.h"
#include "memberlist/memberlist.h"
#include "services/console.h"
#include "services/text.h"

namespace grenfel {
namespace {

// The banner's number is the list format's; the package has its own version.
constexpr double kVersionNumber = 20081031;
#ifndef GRENFEL_PACKAGE_VERSION
#error "the build file passes the package version"
#endif
constexpr std::string_view kPackageVersion = GRENFEL_PACKAGE_VERSION;
constexpr double kSecondsPerDay = 86400;
// Session sizes from this value on do not fit a signed 32-bit count.
constexpr double kSessionSizeLimit = 2147483648.0;
constexpr int32_t kDefaultSessionSize = 10;

constexpr std::string_view kUsageLines[] = {
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
};

void PrintLine(std::string_view text) {
  PrintText(text);
  PrintLineEnd();
}

std::string Joined(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view piece : pieces) text += piece;
  return text;
}

std::string Quoted(std::string_view name) { return Joined({"\"", name, "\""}); }

size_t LeadingBlanks(std::string_view text) {
  size_t count = 0;
  while (count < text.size() && text[count] == ' ') ++count;
  return count;
}

// The tail without its characters from position `from` up to (not
// including) position `to`, blanks trimmed at both ends. Positions count
// from 1.
std::string CutAndTrim(std::string_view tail, int64_t from, int64_t to) {
  std::string joined(LeftText(tail, from - 1));
  joined += MidText(tail, to);
  return std::string(TrimBlanks(joined));
}

// Where an option starts in the tail, 0 when absent. The search runs on an
// upper-cased copy, which keeps every position, so options may be typed in
// either case.
int64_t FindOption(const std::string& tail, std::string_view option) {
  return FindText(1, UpperCase(tail), option);
}

// Notes an option whose cut, from position `from` up to `to`, has other
// characters right before or after it in the tail.
void NoteIfInsideWord(const std::string& tail, int64_t from, int64_t to, std::string option,
                      ParsedTail& parsed) {
  size_t begin = static_cast<size_t>(from - 1);
  size_t end = std::min(static_cast<size_t>(to - 1), tail.size());
  bool gluedBefore = begin > 0 && tail[begin - 1] != ' ';
  bool gluedAfter = end < tail.size() && tail[end] != ' ';
  if (!gluedBefore && !gluedAfter) return;
  size_t wordStart = tail.rfind(' ', begin);
  wordStart = wordStart == std::string::npos || begin == 0 ? 0 : wordStart + 1;
  size_t wordEnd = std::min(tail.find(' ', end), tail.size());
  parsed.optionsInsideWords.push_back(
      {std::string(TrimBlanks(std::string_view(tail).substr(begin, end - begin))),
       tail.substr(wordStart, wordEnd - wordStart), std::move(option)});
}

void TakeExcludeOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/B=");
  if (at == 0) return;
  parsed.excludeGiven = true;
  std::string_view after = MidText(tail, at + 3);
  std::string_view rest = TrimBlanks(after);
  std::string_view taken;
  if (!rest.empty() && rest.front() == '"') {
    // A quoted name may hold blanks; without its closing quote it is empty.
    int64_t closing = FindText(2, rest, "\"");
    taken = closing > 0 ? LeftText(rest, closing) : std::string_view();
  } else {
    int64_t blank = FindText(1, rest, " ");
    taken = blank > 0 ? LeftText(rest, blank - 1) : rest;
  }
  // The blanks between "/B=" and the name go with the cut: leaving them in
  // the count would leave the name's last characters behind in the tail.
  int64_t end = at + 3 + static_cast<int64_t>(LeadingBlanks(after) + taken.size());
  parsed.options.excludeName = std::string(StripRepeats(taken, "\""));
  NoteIfInsideWord(tail, at, end,
                   Joined({"/B= (exclude file ", Quoted(parsed.options.excludeName), ")"}), parsed);
  tail = CutAndTrim(tail, at, end);
}

void TakeDuplicatesOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/ND");
  if (at == 0) return;
  parsed.options.removeDuplicates = true;
  NoteIfInsideWord(tail, at, at + 3, "/ND (remove duplicates)", parsed);
  tail = CutAndTrim(tail, at, at + 3);
}

std::string GroupingOptionText(int32_t sessionSize) {
  return Joined({"/G (grouping, sessions of ", NumberText(sessionSize), ")"});
}

void TakeGroupingOption(std::string& tail, ParsedTail& parsed) {
  int64_t at = FindOption(tail, "/G");
  if (at == 0) return;
  double value = TextNumber(MidText(tail, at + 2));
  if (value > 0) {
    double whole = std::floor(value);
    // Too large to count sessions with: the default size applies instead.
    parsed.options.sessionSize = whole >= kSessionSizeLimit ? -1 : static_cast<int32_t>(whole);
    // The number and anything glued to it go, up to the next blank.
    int64_t end = FindText(at + 2, tail + " ", " ");
    int32_t shownSize =
        parsed.options.sessionSize > 0 ? parsed.options.sessionSize : kDefaultSessionSize;
    NoteIfInsideWord(tail, at, end, GroupingOptionText(shownSize), parsed);
    tail = CutAndTrim(tail, at, end);
  } else {
    // No usable number: only "/G" goes, and whatever followed it stays.
    parsed.options.sessionSize = -1;
    NoteIfInsideWord(tail, at, at + 2, GroupingOptionText(kDefaultSessionSize), parsed);
    tail = CutAndTrim(tail, at, at + 2);
  }
}

void SplitNames(const std::string& tail, RunOptions& options) {
  int64_t blank = FindText(1, tail, " ");
  if (blank == 0) {
    options.listName = tail;
    return;
  }
  // Only the leading blanks of the include name go: a trailing one stays
  // and fails the blank check.
  std::string_view rest = MidText(tail, blank);
  rest.remove_prefix(LeadingBlanks(rest));
  options.includeName = std::string(rest);
  options.listName = std::string(LeftText(tail, blank - 1));
}

// Refuses an include or exclude file that is the list itself, or each other,
// however it is spelt: the exclude file is rewritten in place and the list is
// emptied before it is written, so either way members would be lost.
bool RefuseSameFiles(FileSystem* fs, const RunOptions& options) {
  auto same = [fs](const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    FileInfo first, second;
    if (!fs->Stat(a, &first).ok() || !fs->Stat(b, &second).ok()) return false;
    return first.device == second.device && first.inode == second.inode;
  };
  const std::string& list = options.listName;
  const std::string& include = options.includeName;
  const std::string& exclude = options.excludeName;
  std::string line;
  if (same(exclude, list)) {
    line = SameFilesLine(SameFiles::kExcludeIsList, exclude, list);
  } else if (same(include, list)) {
    line = SameFilesLine(SameFiles::kIncludeIsList, include, list);
  } else if (same(include, exclude)) {
    line = SameFilesLine(SameFiles::kIncludeIsExclude, include, exclude);
  } else {
    return false;
  }
  PrintLine(Joined({"* Error: ", line}));
  return true;
}

// Where a file may be found by identity, it is; else by its name.
bool SameFileOrName(FileSystem* fs, const std::string& a, const std::string& b) {
  FileInfo first, second;
  if (fs->Stat(a, &first).ok() && fs->Stat(b, &second).ok()) {
    return first.device == second.device && first.inode == second.inode;
  }
  return a == b;
}

// Refuses a named file that is the companion of the list or of the exclude
// file: the run creates that companion beside its file and deletes it, and
// it must never be one of the user's files.
bool RefuseCompanionClash(FileSystem* fs, const RunOptions& options) {
  struct Named {
    const std::string& name;
    std::string_view role;
  };
  const Named named[] = {{options.listName, "list file"},
                         {options.includeName, "include file"},
                         {options.excludeName, "exclude file"}};
  for (const Named& owner : {named[0], named[2]}) {
    if (owner.name.empty()) continue;
    std::string companion = CompanionName(owner.name);
    for (const Named& file : named) {
      if (file.name.empty() || &file.name == &owner.name) continue;
      if (!SameFileOrName(fs, companion, file.name)) continue;
      PrintLine(
          Joined({"* Error: ", CompanionClashLine(file.role, file.name, owner.role, owner.name)}));
      return true;
    }
  }
  return false;
}

// Refuses a name that this system's file calls cannot take whole, or whose
// companion they cannot: a shortened name would lead to another file.
bool RefuseUnusableNames(FileSystem* fs, const RunOptions& options) {
  for (const std::string* name : {&options.listName, &options.includeName, &options.excludeName}) {
    if (name->empty()) continue;
    bool rewritten = name != &options.includeName;
    if (fs->NameUsable(*name) && (!rewritten || fs->NameUsable(CompanionName(*name)))) continue;
    PrintLine(Joined({"* Error: ", NameTooLongLine(*name, rewritten)}));
    return true;
  }
  return false;
}

// A name was not found. When options were cut out of the middle of a word,
// that is the likely cause: say so on standard error, where it cannot change
// the lines that scripts read from standard output.
int StopWithNameNotFound(const ParsedTail& parsed) {
  for (const OptionInsideWord& found : parsed.optionsInsideWords) {
    PrintErrorLine(Joined({"grenfel: hint: ", Quoted(found.taken), " in ", Quoted(found.word),
                           " was taken as the option ", found.option, "."}));
  }
  if (!parsed.optionsInsideWords.empty()) {
    PrintErrorLine(
        "grenfel: hint: options are found anywhere on the line, in any letter case, even inside "
        "a name; run from the list's folder with a plain name.");
  }
  return kExitUsage;
}

// Refuses a report file that cannot be written new: the report never
// replaces a file, least of all one the run reads or writes.
bool RefuseReportName(FileSystem* fs, const RunOptions& options, const LongOptions& longs) {
  const std::string& report = longs.reportName;
  std::string message;
  if (longs.reportRepeated) {
    message = ReportNameLine(ReportName::kRepeated, report);
  } else if (report.empty()) {
    message = ReportNameLine(ReportName::kMissing, report);
  } else if (!fs->NameUsable(report)) {
    message = ReportNameLine(ReportName::kTooLong, report);
  } else if (fs->Exists(report)) {
    message = ReportNameLine(ReportName::kExists, report);
  } else {
    struct Named {
      std::string name;
      std::string_view role;
    };
    std::vector<Named> named = {{options.listName, "the list file"},
                                {options.includeName, "the include file"},
                                {options.excludeName, "the exclude file"},
                                {CompanionName(options.listName), "the list's companion file"}};
    if (!options.excludeName.empty()) {
      named.push_back({CompanionName(options.excludeName), "the exclude file's companion file"});
    }
    for (const Named& file : named) {
      if (file.name.empty() || !SameFileOrName(fs, report, file.name)) continue;
      message = ReportNameLine(ReportName::kRunFile, report, file.role);
      break;
    }
    if (message.empty()) return false;
  }
  PrintLine(Joined({"* Error: ", message}));
  return true;
}

// Writes the whole report to a new file and puts it on disk; on any failure
// the file is removed, so it is never left half written.
RunFailure WriteReportFile(FileSystem* fs, const std::string& name, std::string_view text) {
  std::unique_ptr<WritableFile> file;
  Status s = fs->OpenForWriting(name, WriteMode::kCreateEmptyOnly, &file);
  bool created = s.ok();
  if (created) {
    fs->RemoveOnFault(name, true);
    s = file->Append(text);
    if (s.ok()) s = file->Sync();
    if (s.ok()) s = file->Close();
    if (s.ok()) s = fs->SyncFolderOf(name);
    file.reset();
    fs->RemoveOnFault(name, false);
  }
  if (s.ok()) return RunFailure::None();
  if (created) fs->Delete(name);
  return RunFailure::Of(FailedStep::kWriteReport, s, name);
}

int StopWithFailure(const RunFailure& failure) {
  PrintLine(Joined({"* Error: ", FailureLine(failure)}));
  return kExitFailed;
}

}  // namespace

bool FileExists(FileSystem* fs, const std::string& name) {
  // Asked here too: a file system that tests substitute need not refuse
  // such names.
  if (!NamesOneFile(name)) return false;
  return fs->Exists(name);
}

ParsedTail ParseCommandTail(std::string_view wholeTail) {
  ParsedTail parsed;
  const std::string restOfTail = TakeLongOptions(wholeTail, &parsed.longOptions);
  const std::string_view commandTail = restOfTail;
  if (commandTail == "--version") {
    parsed.showVersion = true;
    return parsed;
  }
  if (commandTail.empty() || commandTail.find('?') != std::string_view::npos ||
      commandTail == "--help" || commandTail == "-h") {
    parsed.showUsage = true;
    return parsed;
  }
  std::string tail(commandTail);
  TakeExcludeOption(tail, parsed);
  TakeDuplicatesOption(tail, parsed);
  TakeGroupingOption(tail, parsed);
  SplitNames(tail, parsed.options);
  return parsed;
}

double RunSeconds(double startSeconds, double endSeconds) {
  double elapsed = endSeconds - startSeconds;
  return elapsed < 0 ? elapsed + kSecondsPerDay : elapsed;
}

int RunDriver(std::string_view commandTail, FileSystem* fs) {
  PrintLine(Joined({"Quill's VARN Mailing List Optimizer version ", NumberText(kVersionNumber)}));

  ParsedTail parsed = ParseCommandTail(commandTail);
  if (parsed.showVersion) {
    PrintLine(Joined({"grenfel ", kPackageVersion}));
    return kExitOk;
  }
  if (parsed.showUsage) {
    for (std::string_view line : kUsageLines) PrintLine(line);
    return kExitOk;
  }

  RunOptions& options = parsed.options;
  if (RefuseUnusableNames(fs, options)) return kExitUsage;
  if (parsed.excludeGiven && !FileExists(fs, options.excludeName)) {
    PrintLine(Joined({"* Error: exclude file (", options.excludeName, ") not found."}));
    return StopWithNameNotFound(parsed);
  }
  if (options.includeName.find(' ') != std::string::npos) {
    PrintLine("* Error: Include filename may not contain spaces.");
    PrintLine("  Use /? on the command line for help.");
    return kExitUsage;
  }
  if (!FileExists(fs, options.listName)) {
    PrintLine(Joined({"* Error: File not found ", Quoted(options.listName)}));
    return StopWithNameNotFound(parsed);
  }
  if (!options.includeName.empty() && !FileExists(fs, options.includeName)) {
    PrintLine(Joined({"*Error: File not found ", Quoted(options.includeName)}));
    return StopWithNameNotFound(parsed);
  }
  if (RefuseSameFiles(fs, options)) return kExitUsage;
  if (RefuseCompanionClash(fs, options)) return kExitUsage;

  const LongOptions& longs = parsed.longOptions;
  if (longs.reportGiven && RefuseReportName(fs, options, longs)) return kExitUsage;

  SetTitle(Joined({"Grenfel : Sorting ", options.listName}));
  double startSeconds = SecondsOfDay();
  const int32_t sessionSize = options.sessionSize < 0 ? kDefaultSessionSize : options.sessionSize;
  const bool grouping = sessionSize > 0;
  const bool reporting = longs.reportGiven;
  ChangeReport report;
  bool reportWritten = false;
  // The list as the run writes it, when grouping must be worked out before
  // (or instead of) the grouping of the file.
  std::string written;
  std::vector<DomainRow> table;
  auto writeReport = [&]() {
    if (grouping) {
      if (!longs.dryRun) {
        GroupOutcome planned = GroupInMemory(options.listName, written, sessionSize, &table);
        if (!planned.failure.ok()) return planned.failure;
      }
      report.AddDomains(table);
    }
    RunFailure failure = WriteReportFile(fs, longs.reportName, report.text());
    reportWritten = failure.ok();
    return failure;
  };
  auto stopAfterReport = [&](const RunFailure& failure) {
    // The report tells of a rewrite that did not happen as it says.
    if (reportWritten) fs->Delete(longs.reportName);
    return StopWithFailure(failure);
  };

  ListRunMode mode;
  mode.dryRun = longs.dryRun;
  if (reporting) mode.report = &report;
  if (grouping && (longs.dryRun || reporting)) mode.writtenList = &written;
  if (reporting && !longs.dryRun) mode.beforeCut = writeReport;
  ListOutcome listed = ProcessList(fs, options.listName, options.includeName, options.excludeName,
                                   options.removeDuplicates, mode);
  if (!listed.failure.ok()) return stopAfterReport(listed.failure);
  // A list that was not rewritten was never cut: the report goes out now,
  // before grouping may cut it.
  if (reporting && !longs.dryRun && !reportWritten) {
    RunFailure failure = writeReport();
    if (!failure.ok()) return StopWithFailure(failure);
  }

  if (grouping) {
    SetTitle("Grenfel : Grouping");
    GroupOutcome grouped = longs.dryRun ? GroupInMemory(options.listName, written, sessionSize,
                                                        reporting ? &table : nullptr)
                                        : GroupDomains(fs, options.listName, sessionSize);
    if (!grouped.failure.ok()) return stopAfterReport(grouped.failure);
    if (grouped.tooFewNames) PrintLine("+ Error: Not enough names to group.");
    PrintLine(Joined({"*  Found ", FormatNumber(grouped.groups, "0,"), " different domain name",
                      grouped.groups == 1 ? "." : "s."}));
  }
  if (reporting && longs.dryRun) {
    RunFailure failure = writeReport();
    if (!failure.ok()) return StopWithFailure(failure);
  }

  double elapsed = RunSeconds(startSeconds, SecondsOfDay());
  PrintLine(Joined({"Runtime: ", FormatNumber(elapsed, "0.0"), " seconds."}));
  if (longs.dryRun) PrintLine("* Dry run: no file was changed.");
  return kExitOk;
}

}  // namespace grenfel
