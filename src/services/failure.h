// Why a run stopped, as facts: which step failed, on which file and in what
// role, and the system's error. The modules return these; the driver's
// messages turn them into the user's sentences, in one place.
#ifndef GRENFEL_SERVICES_FAILURE_H_
#define GRENFEL_SERVICES_FAILURE_H_

#include <cstdint>
#include <string>

#include "services/fileio.h"

namespace grenfel {

// What a file is to the run; it decides what may be refused, what is left
// unchanged when it is, and how the user's sentences name the file.
enum class ListRole { kList, kInclude, kExclude };

// The step of the run that failed.
enum class FailedStep {
  kNone,
  // Opening or reading a named file (`cause` says why: not a regular file,
  // missing, held, ...).
  kReadFile,
  // A check of a file's contents refused it (`cause.code` says which check;
  // `line` is the line it found, where it names one).
  kCheckContents,
  // Creating the companion of `file`, or taking it over.
  kClaimCompanion,
  // Writing the companion's contents or putting them on disk.
  kWriteCompanion,
  // The buffer through which the list is copied could not be allocated.
  kAllocateCopyBuffer,
  // Looking at the held list just before rewriting it.
  kLookBeforeRewrite,
  // The list is no longer the file that was read.
  kCheckUnchanged,
  // Reserving room on disk for the list's new length.
  kMakeRoom,
  // Overwriting the list from its companion, or cutting it.
  kRewriteList,
  // Removing the companion after the list was rewritten.
  kRemoveCompanion,
  // Reading the exclude file again after it was sorted.
  kReadSortedExclude,
  // Loading the list's records for grouping (`cause.code` is
  // kTooManyRecords).
  kLoadForGrouping,
  // Writing the change report.
  kWriteReport,
};

// What a companion that already holds data was found to hold.
enum class CompanionContents {
  // Not complete new contents: the run that left it never touched the list.
  kIncomplete,
  // Complete new contents that the list already holds.
  kCompleteAndInList,
  // Complete new contents that the list does not hold.
  kCompleteNotInList,
};

struct RunFailure {
  FailedStep step = FailedStep::kNone;
  // What went wrong; its message, when there is one, is the system's
  // "call(name): reason".
  Status cause;
  // The file the step worked on, and its role.
  std::string file;
  ListRole role = ListRole::kList;
  // The companion of `file`, for the steps of a rewrite.
  std::string companion;
  // For kCheckContents: the line the check names (0 for none), and, for a
  // control line in an include file, whether it is an errors-to line (else a
  // line "CLOSED").
  int64_t line = 0;
  bool errorsToLine = false;
  // For kClaimCompanion with kCompanionHoldsData.
  CompanionContents companionContents = CompanionContents::kIncomplete;

  bool ok() const { return step == FailedStep::kNone; }
  static RunFailure None() { return RunFailure{}; }
  // The failure of `step` on `file` for `cause`.
  static RunFailure Of(FailedStep step, Status cause, std::string file,
                       ListRole role = ListRole::kList, std::string companion = "") {
    RunFailure failure;
    failure.step = step;
    failure.cause = std::move(cause);
    failure.file = std::move(file);
    failure.role = role;
    failure.companion = std::move(companion);
    return failure;
  }
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FAILURE_H_
