// Domain grouping of a list file: reads it held, groups it and rewrites it
// in place, or works out in memory what that would write.
#include "grouping/grouping.h"

#include <memory>
#include <new>
#include <stdexcept>

#include "grouping/grouped_list.h"
#include "memberlist/memberlist.h"
#include "services/console.h"
#include "services/rewrite.h"

namespace grenfel {
namespace {

RunFailure TooManyRecords(const std::string& listName) {
  return RunFailure::Of(FailedStep::kLoadForGrouping, Status::Error(ErrorCode::kTooManyRecords, ""),
                        listName);
}

GroupOutcome GroupList(FileSystem* fs, const std::string& listName, int32_t sessionSize) {
  // Held from this read to the end of the rewrite.
  std::unique_ptr<HeldFile> listFile;
  RunFailure failure = OpenListFile(fs, listName, ListRole::kList, &listFile);
  if (!failure.ok()) return {0, failure};

  auto list = std::make_unique<GroupedList>();
  if (!list->Load(listFile->bytes())) {
    return {0, TooManyRecords(listName)};
  }
  GroupOutcome outcome{list->groupCount(), {}};
  switch (ActionFor(list->groupCount(), list->memberCount())) {
    case GroupingAction::kLeaveAlone:
      return outcome;
    case GroupingAction::kTooFewNames:
      PrintText("+ Error: Not enough names to group.");
      PrintLineEnd();
      return outcome;
    case GroupingAction::kRewrite:
      break;
  }
  list->Arrange(sessionSize);

  std::unique_ptr<ListRewrite> rewrite;
  outcome.failure =
      ListRewrite::Begin(fs, listName, CompanionName(listName), listFile.get(), &rewrite);
  if (!outcome.failure.ok()) return outcome;
  Status written = list->WriteTo(rewrite->contents());
  // The members are views of the list's old bytes, which may be mapped: let
  // go of them before the list is written again.
  list.reset();
  outcome.failure = rewrite->Commit(written);
  return outcome;
}

GroupOutcome GroupBytes(const std::string& listName, std::string_view listBytes,
                        int32_t sessionSize, bool printLines, std::vector<DomainRow>* table) {
  GroupedList list;
  if (!list.Load(listBytes)) {
    return {0, TooManyRecords(listName)};
  }
  GroupOutcome outcome{list.groupCount(), {}};
  switch (ActionFor(list.groupCount(), list.memberCount())) {
    case GroupingAction::kLeaveAlone:
      return outcome;
    case GroupingAction::kTooFewNames:
      if (printLines) {
        PrintText("+ Error: Not enough names to group.");
        PrintLineEnd();
      }
      return outcome;
    case GroupingAction::kRewrite:
      break;
  }
  list.Arrange(sessionSize);
  if (table != nullptr) *table = list.GroupTable();
  return outcome;
}

}  // namespace

GroupOutcome GroupInMemory(const std::string& listName, std::string_view listBytes,
                           int32_t sessionSize, bool printLines, std::vector<DomainRow>* table) {
  try {
    return GroupBytes(listName, listBytes, sessionSize, printLines, table);
  } catch (const std::bad_alloc&) {
    DieOutOfMemory();
  } catch (const std::length_error&) {
    DieOutOfMemory();
  }
}

GroupOutcome GroupDomains(FileSystem* fs, const std::string& listName, int32_t sessionSize) {
  try {
    return GroupList(fs, listName, sessionSize);
  } catch (const std::bad_alloc&) {
    DieOutOfMemory();
  } catch (const std::length_error&) {
    // More than a 32-bit address space can index.
    DieOutOfMemory();
  }
}

}  // namespace grenfel
