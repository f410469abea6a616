// The checks that refuse a run before it starts. Each check returns the
// sentence of its refusal, empty when it passes; only RefuseBeforeRun
// prints.
#include "driver/refusals.h"

#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "driver/messages.h"
#include "memberlist/memberlist.h"
#include "services/console.h"

namespace grenfel {
namespace {

void PrintLine(std::string_view text) {
  PrintText(text);
  PrintLineEnd();
}

// The existence test for a named file.
bool FileExists(FileSystem* fs, const std::string& name) {
  // Asked here too: a file system that tests substitute need not refuse
  // such names.
  if (!NamesOneFile(name)) return false;
  return fs->Exists(name);
}

bool SameFile(FileSystem* fs, const std::string& a, const std::string& b, bool orSameName) {
  FileInfo first, second;
  if (fs->Stat(a, &first).ok() && fs->Stat(b, &second).ok()) {
    return first.device == second.device && first.inode == second.inode;
  }
  return orSameName && a == b;
}

// Where a file may be found by identity, it is; else by its name.
bool SameFileOrName(FileSystem* fs, const std::string& a, const std::string& b) {
  return SameFile(fs, a, b, true);
}

// Refuses a name that this system's file calls cannot take whole, or whose
// companion they cannot: a shortened name would lead to another file.
std::string UnusableNameRefused(FileSystem* fs, const RunOptions& options) {
  for (const std::string* name : {&options.listName, &options.includeName, &options.excludeName}) {
    if (name->empty()) continue;
    bool rewritten = name != &options.includeName;
    if (fs->NameUsable(*name) && (!rewritten || fs->NameUsable(CompanionName(*name)))) continue;
    return NameTooLongLine(*name, rewritten);
  }
  return "";
}

// Refuses an include or exclude file that is the list itself, or each other,
// however it is spelt: the exclude file is rewritten in place and the list is
// emptied before it is written, so either way members would be lost.
std::string SameFilesRefused(FileSystem* fs, const RunOptions& options) {
  auto same = [fs](const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && SameFile(fs, a, b, false);
  };
  const std::string& list = options.listName;
  const std::string& include = options.includeName;
  const std::string& exclude = options.excludeName;
  if (same(exclude, list)) return SameFilesLine(SameFiles::kExcludeIsList, exclude, list);
  if (same(include, list)) return SameFilesLine(SameFiles::kIncludeIsList, include, list);
  if (same(include, exclude)) return SameFilesLine(SameFiles::kIncludeIsExclude, include, exclude);
  return "";
}

// Refuses a named file that is the companion of the list or of the exclude
// file: the run creates that companion beside its file and deletes it, and
// it must never be one of the user's files.
std::string CompanionClashRefused(FileSystem* fs, const RunOptions& options) {
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
      return CompanionClashLine(file.role, file.name, owner.role, owner.name);
    }
  }
  return "";
}

// Refuses a report file that cannot be written new: the report never
// replaces a file, least of all one the run reads or writes.
std::string ReportNameRefused(FileSystem* fs, const RunOptions& options, const LongOptions& longs) {
  const std::string& report = longs.reportName;
  if (longs.reportRepeated) return ReportNameLine(ReportName::kRepeated, report);
  if (report.empty()) return ReportNameLine(ReportName::kMissing, report);
  if (!fs->NameUsable(report)) return ReportNameLine(ReportName::kTooLong, report);
  if (fs->Exists(report)) return ReportNameLine(ReportName::kExists, report);
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
    return ReportNameLine(ReportName::kRunFile, report, file.role);
  }
  return "";
}

// A name was not found. When options were cut out of the middle of a word,
// that is the likely cause: say so on standard error, where it cannot change
// the lines that scripts read from standard output.
int StopWithNameNotFound(const ParsedTail& parsed, NotFound which, std::string_view name) {
  PrintLine(NotFoundLine(which, name));
  for (const OptionInsideWord& found : parsed.optionsInsideWords) {
    PrintErrorLine(OptionInsideWordHint(found));
  }
  if (!parsed.optionsInsideWords.empty()) PrintErrorLine(OptionsAnywhereHint());
  return kExitUsage;
}

int StopWithRefusal(std::string_view sentence) {
  PrintLine(ErrorLine(sentence));
  return kExitUsage;
}

}  // namespace

std::optional<int> RefuseBeforeRun(FileSystem* fs, const ParsedTail& parsed) {
  const RunOptions& options = parsed.options;
  std::string refusal = UnusableNameRefused(fs, options);
  if (!refusal.empty()) return StopWithRefusal(refusal);
  if (parsed.excludeGiven && !FileExists(fs, options.excludeName)) {
    return StopWithNameNotFound(parsed, NotFound::kExclude, options.excludeName);
  }
  if (options.includeName.find(' ') != std::string::npos) {
    for (std::string_view line : IncludeSpacesLines()) PrintLine(line);
    return kExitUsage;
  }
  if (!FileExists(fs, options.listName)) {
    return StopWithNameNotFound(parsed, NotFound::kList, options.listName);
  }
  if (!options.includeName.empty() && !FileExists(fs, options.includeName)) {
    return StopWithNameNotFound(parsed, NotFound::kInclude, options.includeName);
  }
  refusal = SameFilesRefused(fs, options);
  if (refusal.empty()) refusal = CompanionClashRefused(fs, options);
  if (refusal.empty() && parsed.longOptions.reportGiven) {
    refusal = ReportNameRefused(fs, options, parsed.longOptions);
  }
  if (!refusal.empty()) return StopWithRefusal(refusal);
  return std::nullopt;
}

}  // namespace grenfel
