// The user's sentences: each one is put together here, byte for byte as
// the list keeper and the scripts that read the output know it.
#include "driver/messages.h"

#include <string_view>

#include "services/text.h"

namespace grenfel {
namespace {

// The banner's number is the list format's; the package has its own version.
constexpr double kVersionNumber = 20081031;
#ifndef GRENFEL_PACKAGE_VERSION
#error "the build file passes the package version"
#endif
constexpr std::string_view kPackageVersion = GRENFEL_PACKAGE_VERSION;

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

constexpr std::string_view kIncludeSpacesLines[] = {
    "* Error: Include filename may not contain spaces.",
    "  Use /? on the command line for help.",
};

std::string Quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// How a sentence names a file of this role.
std::string RoleName(ListRole role) {
  switch (role) {
    case ListRole::kInclude:
      return "include file";
    case ListRole::kExclude:
      return "exclude file";
    case ListRole::kList:
      break;
  }
  return "list";
}

// "The list "m.lst"", "the include file "in.lst"", ...
std::string Named(const RunFailure& f) { return RoleName(f.role) + " " + Quoted(f.file); }

// What a file that cannot be read leaves: nothing has been written yet.
std::string UnreadLeftUnchanged(ListRole role) {
  return role == ListRole::kList ? "it was left unchanged." : "the list was left unchanged.";
}

// What a refusal of a file's contents leaves: the exclude file is prepared
// before the list is read, so its refusal comes before anything was done to
// either.
std::string RefusedLeftUnchanged(ListRole role) {
  switch (role) {
    case ListRole::kInclude:
      return "the list was left unchanged";
    case ListRole::kExclude:
      return "it and the list were left unchanged";
    case ListRole::kList:
      break;
  }
  return "it was left unchanged";
}

std::string ReadFileLine(const RunFailure& f) {
  if (f.cause.code == ErrorCode::kNotRegularFile) {
    return "The " + Named(f) + " is not a regular file (" + f.cause.message + "); " +
           UnreadLeftUnchanged(f.role);
  }
  return "Cannot read the " + Named(f) + " (" + f.cause.message + "); " +
         UnreadLeftUnchanged(f.role);
}

std::string ContentsLine(const RunFailure& f) {
  switch (f.cause.code) {
    case ErrorCode::kUnixLineEnds:
      return "The " + Named(f) +
             " ends its lines with LF alone, as Unix tools write them (it holds line feeds and "
             "no carriage return), so it would read as one single line; " +
             RefusedLeftUnchanged(f.role) +
             ". Convert its line ends to CR LF first, for example with sed -i 's/$/\\r/' " +
             Quoted(f.file) + ", and run again.";
    case ErrorCode::kControlLineInInclude:
      return "The include file " + Quoted(f.file) + " holds at line " +
             NumberText(static_cast<double>(f.line)) + " " +
             (f.errorsToLine ? "an errors-to line (\"+ERRORS-TO:=\"): merged as a member, it "
                               "would turn the whole list into its head block on the next run"
                             : "a line \"CLOSED\": merged as a member, it would make the members "
                               "above it moderators on the next run") +
             "; the list was left unchanged. Remove that line from the include file.";
    case ErrorCode::kClosedRecordInOpenList:
      return "The " + Named(f) + " is not closed, yet its line " +
             NumberText(static_cast<double>(f.line)) +
             " would be written as the record \"CLOSED\", which would make the members above it "
             "moderators on the next run; " +
             RefusedLeftUnchanged(f.role) +
             ". To close the list, put that line within its first 65,536 bytes, without blanks "
             "and with CR LF before and after it; otherwise remove it.";
    default:
      break;
  }
  // Data after a Ctrl-Z byte.
  return "The " + Named(f) +
         " holds data after a Ctrl-Z byte, which ends its readable text: what follows would be "
         "lost; " +
         UnreadLeftUnchanged(f.role);
}

// A companion that cannot be claimed. One that holds data is someone's
// data: the advice to delete it is given only when that loses nothing.
std::string ClaimCompanionLine(const RunFailure& f) {
  const std::string companion = Quoted(f.companion), list = Quoted(f.file);
  if (f.cause.code != ErrorCode::kCompanionHoldsData) {
    return "Cannot create the companion file " + companion + " (" + f.cause.message +
           "); the list " + list + " was left unchanged.";
  }
  switch (f.companionContents) {
    case CompanionContents::kCompleteAndInList:
      return "The companion file " + companion + " holds the complete new contents of " + list +
             ", which the list already holds: delete the companion and run again. Both files "
             "were left unchanged.";
    case CompanionContents::kCompleteNotInList:
      return "The companion file " + companion + " holds the complete new contents of " + list +
             " from an earlier run that did not finish: copy it over the list (its last byte, a "
             "Ctrl-Z, does no harm), then delete it and run again. Both files were left "
             "unchanged.";
    case CompanionContents::kIncomplete:
      break;
  }
  return "The companion file " + companion + " already exists and holds data; " + list +
         " was not touched by the run that left it, so it can be deleted. Both files were left "
         "unchanged.";
}

}  // namespace

std::string SameFilesLine(SameFiles which, std::string_view first, std::string_view second) {
  switch (which) {
    case SameFiles::kExcludeIsList:
      return "Exclude file " + Quoted(first) + " is the list file " + Quoted(second) +
             " itself; nothing was changed.";
    case SameFiles::kIncludeIsList:
      return "Include file " + Quoted(first) + " is the list file " + Quoted(second) +
             " itself; nothing was changed.";
    case SameFiles::kIncludeIsExclude:
      break;
  }
  return "Include file " + Quoted(first) + " and exclude file " + Quoted(second) +
         " are the same file; nothing was changed.";
}

std::string CompanionClashLine(std::string_view role, std::string_view name,
                               std::string_view ownerRole, std::string_view owner) {
  return "The " + std::string(role) + " " + Quoted(name) + " is the companion file of the " +
         std::string(ownerRole) + " " + Quoted(owner) +
         ", which the run creates and deletes beside it; nothing was changed. Rename it and run "
         "again.";
}

std::string NameTooLongLine(std::string_view name, bool rewritten) {
  return "The name " + Quoted(name) + (rewritten ? " (or its companion file's name)" : "") +
         " is too long for this system to use whole; nothing was changed. Use a shorter path, "
         "for example from the list's own folder.";
}

std::string ReportNameLine(ReportName problem, std::string_view report, std::string_view runFile) {
  switch (problem) {
    case ReportName::kRepeated:
      return "--report= was given more than once; nothing was changed. Give one report file.";
    case ReportName::kMissing:
      return "--report= needs a file name, as in --report=changes.tsv; nothing was changed.";
    case ReportName::kTooLong:
      return "The report file name " + Quoted(report) +
             " is too long for this system to use whole; nothing was changed.";
    case ReportName::kExists:
      return "The report file " + Quoted(report) +
             " already exists; nothing was changed. Name a new file, or move the old one away "
             "first.";
    case ReportName::kRunFile:
      break;
  }
  return "The report file " + Quoted(report) + " is " + std::string(runFile) +
         "; nothing was changed. Name another file.";
}

std::string FailureLine(const RunFailure& f) {
  const std::string list = Quoted(f.file), companion = Quoted(f.companion);
  const std::string& reason = f.cause.message;
  switch (f.step) {
    case FailedStep::kNone:
      break;
    case FailedStep::kReadFile:
      return ReadFileLine(f);
    case FailedStep::kCheckContents:
      return ContentsLine(f);
    case FailedStep::kClaimCompanion:
      return ClaimCompanionLine(f);
    case FailedStep::kWriteCompanion:
      return "Cannot write the companion file " + companion + " (" + reason + "); the list " +
             list + " was left unchanged.";
    case FailedStep::kAllocateCopyBuffer:
      return "Not enough memory to rewrite the list " + list +
             "; it was left unchanged and the companion removed.";
    case FailedStep::kLookBeforeRewrite:
      return "Cannot look at the list " + list + " before rewriting it (" + reason +
             "); nothing was written to it, and it was left unchanged.";
    case FailedStep::kCheckUnchanged:
      return "The list " + list +
             " changed during the run (another program wrote, replaced or removed it); nothing "
             "was written to it, and it was left as that program made it. Run again.";
    case FailedStep::kMakeRoom:
      return "Cannot make room to rewrite the list " + list + " (" + reason +
             "); it was left unchanged and the companion removed. Free some room (or make the "
             "list writable) and run again.";
    case FailedStep::kRewriteList:
      return "Rewriting the list " + list + " failed (" + reason +
             "); its complete new contents are in " + companion +
             ", which was kept: copy it over the list.";
    case FailedStep::kRemoveCompanion:
      return "The list " + list + " was rewritten, but its companion file " + companion +
             " could not be removed (" + reason + "); delete it before the next run.";
    case FailedStep::kReadSortedExclude:
      return "Cannot read the exclude file " + list + " again after sorting it (" + reason +
             "); the list was left unchanged.";
    case FailedStep::kLoadForGrouping:
      return "The list " + list +
             " holds more or longer records than grouping can count; it was left unchanged.";
    case FailedStep::kWriteReport:
      return "Cannot write the report file " + list + " (" + reason +
             "); the list was left unchanged.";
  }
  return "";
}

std::string ErrorLine(std::string_view sentence) { return "* Error: " + std::string(sentence); }

std::string CutShortLine(const std::string& name) {
  return ErrorLine("The file \"" + name +
                   "\" was cut short by another program while the run was reading it; the run "
                   "stopped, and that file and the list are as they were left. Run again.");
}

std::string BannerLine() {
  return "Quill's VARN Mailing List Optimizer version " + NumberText(kVersionNumber);
}

std::string VersionLine() { return "grenfel " + std::string(kPackageVersion); }

std::span<const std::string_view> UsageLines() { return kUsageLines; }

std::string NotFoundLine(NotFound which, std::string_view name) {
  switch (which) {
    case NotFound::kExclude:
      return "* Error: exclude file (" + std::string(name) + ") not found.";
    case NotFound::kList:
      return "* Error: File not found " + Quoted(name);
    case NotFound::kInclude:
      break;
  }
  return "*Error: File not found " + Quoted(name);
}

std::span<const std::string_view> IncludeSpacesLines() { return kIncludeSpacesLines; }

std::string OptionInsideWordHint(const OptionInsideWord& found) {
  std::string option;
  switch (found.option) {
    case ShortOption::kExclude:
      option = "/B= (exclude file " + Quoted(found.excludeName) + ")";
      break;
    case ShortOption::kRemoveDuplicates:
      option = "/ND (remove duplicates)";
      break;
    case ShortOption::kGrouping:
      option = "/G (grouping, sessions of " + NumberText(found.sessionSize) + ")";
      break;
  }
  return "grenfel: hint: " + Quoted(found.taken) + " in " + Quoted(found.word) +
         " was taken as the option " + option + ".";
}

std::string_view OptionsAnywhereHint() {
  return "grenfel: hint: options are found anywhere on the line, in any letter case, even inside "
         "a name; run from the list's folder with a plain name.";
}

std::string SortingTitle(std::string_view listName) {
  return "Grenfel : Sorting " + std::string(listName);
}

std::string_view GroupingTitle() { return "Grenfel : Grouping"; }

std::string_view TooFewNamesLine() { return "+ Error: Not enough names to group."; }

std::string FoundDomainsLine(int32_t groups) {
  return "*  Found " + FormatNumber(groups, "0,") + " different domain name" +
         (groups == 1 ? "." : "s.");
}

std::string RuntimeLine(double seconds) {
  return "Runtime: " + FormatNumber(seconds, "0.0") + " seconds.";
}

std::string_view DryRunLine() { return "* Dry run: no file was changed."; }

}  // namespace grenfel
