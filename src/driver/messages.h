// The user's sentences, all written here from the facts the other modules
// return: the banner and usage, the lines of a run, every "* Error: " line
// of a check or of a failure, and the hints on standard error.
#ifndef GRENFEL_DRIVER_MESSAGES_H_
#define GRENFEL_DRIVER_MESSAGES_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "driver/command_tail.h"
#include "services/failure.h"

namespace grenfel {

// The error line for `failure` without its leading "* Error: ": it names the
// files in double quotes, says what was found and what was left unchanged,
// and how to mend it.
std::string FailureLine(const RunFailure& failure);

// The refusals of the checks of the named files, made before anything is
// read; each line is without its leading "* Error: ".

// Two of the named files are one file, however they are spelt.
enum class SameFiles { kExcludeIsList, kIncludeIsList, kIncludeIsExclude };
std::string SameFilesLine(SameFiles which, std::string_view first, std::string_view second);

// The file `name` (of role `role`, such as "include file") is the companion
// of `owner` (of role `ownerRole`), which the run creates and deletes.
std::string CompanionClashLine(std::string_view role, std::string_view name,
                               std::string_view ownerRole, std::string_view owner);

// A name that this system's file calls cannot take whole; `rewritten` when
// its companion's name counts too.
std::string NameTooLongLine(std::string_view name, bool rewritten);

// What is wrong with the report file's name: given twice, empty, too long,
// already there, or a file of the run (whose role, such as "the list file",
// is `runFile`).
enum class ReportName { kRepeated, kMissing, kTooLong, kExists, kRunFile };
std::string ReportNameLine(ReportName problem, std::string_view report,
                           std::string_view runFile = "");

// A file the run had mapped was cut short by another program: the whole
// line, "* Error: " included, that the file layer prints as the run stops.
std::string CutShortLine(const std::string& name);

// "* Error: " and the sentence: the line that a refusal or a failure prints.
std::string ErrorLine(std::string_view sentence);

// The lines of a run, in the order they may come.

// The first line of every run.
std::string BannerLine();
// The line that follows the banner for "--version".
std::string VersionLine();
// The usage text, line by line.
std::span<const std::string_view> UsageLines();

// A named file that is not there; whole lines, lead included, as that of
// the include file is written without its blank ("*Error:").
enum class NotFound { kExclude, kList, kInclude };
std::string NotFoundLine(NotFound which, std::string_view name);
// An include name that holds a blank: two lines.
std::span<const std::string_view> IncludeSpacesLines();
// For standard error after a name that was not found: what an option cut
// out of a word was taken as, then, once, where options are looked for.
std::string OptionInsideWordHint(const OptionInsideWord& found);
std::string_view OptionsAnywhereHint();

// The console titles of the two phases.
std::string SortingTitle(std::string_view listName);
std::string_view GroupingTitle();
// The grouping found too few members to group and left the list alone.
std::string_view TooFewNamesLine();
// The groups the grouping found: different domains and records without "@".
std::string FoundDomainsLine(int32_t groups);
std::string RuntimeLine(double seconds);
std::string_view DryRunLine();

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_MESSAGES_H_
