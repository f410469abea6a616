// The user's sentences for a run that stopped: every "* Error: " line that
// a failure of the list processing, the grouping or the report gives is
// written here, from the facts the modules return.
#ifndef GRENFEL_DRIVER_MESSAGES_H_
#define GRENFEL_DRIVER_MESSAGES_H_

#include <string>
#include <string_view>

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

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_MESSAGES_H_
