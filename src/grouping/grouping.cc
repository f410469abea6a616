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

// Loads the readable part of the list's bytes into `list` and, when they are
// to be rewritten, arranges them in sessions. The outcome says what was
// found; true only when the list is arranged and goes on to be written.
bool LoadAndArrange(GroupedList& list, const std::string& listName, std::string_view readable,
                    int32_t sessionSize, GroupOutcome* outcome) {
  if (!list.Load(readable)) {
    outcome->failure = RunFailure::Of(FailedStep::kLoadForGrouping,
                                      Status::Error(ErrorCode::kTooManyRecords, ""), listName);
    return false;
  }
  outcome->groups = list.groupCount();
  GroupingAction action = ActionFor(list.groupCount(), list.memberCount());
  outcome->tooFewNames = action == GroupingAction::kTooFewNames;
  if (action != GroupingAction::kRewrite) return false;
  list.Arrange(sessionSize);
  return true;
}

}  // namespace

struct GroupPlan {
  std::string bytes;
  GroupedList list;
  GroupOutcome outcome;
  bool arranged = false;
};

void GroupPlanDeleter::operator()(GroupPlan* plan) const { delete plan; }

namespace {

GroupOutcome GroupList(FileSystem* fs, const std::string& listName, int32_t sessionSize,
                       GroupPlan* plan) {
  // Held from this read to the end of the rewrite.
  std::unique_ptr<HeldFile> listFile;
  GroupOutcome outcome;
  std::string_view readable;
  outcome.failure = OpenListFile(fs, listName, ListRole::kList, &listFile, &readable);
  if (!outcome.failure.ok()) return outcome;

  // A plan made from these very bytes holds their grouping already.
  std::unique_ptr<GroupedList> own;
  const GroupedList* list = nullptr;
  if (plan != nullptr && ReadablePart(plan->bytes) == readable) {
    outcome = plan->outcome;
    if (!plan->arranged) return outcome;
    list = &plan->list;
  } else {
    own = std::make_unique<GroupedList>();
    if (!LoadAndArrange(*own, listName, readable, sessionSize, &outcome)) return outcome;
    list = own.get();
  }
  std::unique_ptr<ListRewrite> rewrite;
  outcome.failure =
      ListRewrite::Begin(fs, listName, CompanionName(listName), listFile.get(), &rewrite);
  if (!outcome.failure.ok()) return outcome;
  Status written = list->WriteTo(rewrite->contents());
  // The members are views of the list's old bytes (or of the plan's), which
  // may be mapped: let go of them before the list is written again.
  own.reset();
  outcome.failure = rewrite->Commit(written);
  return outcome;
}

// LoadAndArrange on bytes held in memory (their readable part), and the
// table of the groups into `table`, when given, where they are arranged.
bool GroupBytes(GroupedList& list, const std::string& listName, std::string_view listBytes,
                int32_t sessionSize, std::vector<DomainRow>* table, GroupOutcome* outcome) {
  const bool arranged =
      LoadAndArrange(list, listName, ReadablePart(listBytes), sessionSize, outcome);
  if (arranged && table != nullptr) *table = list.GroupTable();
  return arranged;
}

// Runs `group`; memory that runs out ends the program, as going on could
// leave a list half written.
template <typename Grouping>
GroupOutcome OrDieOutOfMemory(Grouping group) {
  try {
    return group();
  } catch (const std::bad_alloc&) {
    DieOutOfMemory();
  } catch (const std::length_error&) {
    // More than a 32-bit address space can index.
    DieOutOfMemory();
  }
}

}  // namespace

GroupOutcome GroupInMemory(const std::string& listName, std::string_view listBytes,
                           int32_t sessionSize, std::vector<DomainRow>* table) {
  return OrDieOutOfMemory([&] {
    GroupedList list;
    GroupOutcome outcome;
    GroupBytes(list, listName, listBytes, sessionSize, table, &outcome);
    return outcome;
  });
}

GroupOutcome PlanGrouping(const std::string& listName, std::string listBytes, int32_t sessionSize,
                          std::vector<DomainRow>* table, KeptGroupPlan* plan) {
  return OrDieOutOfMemory([&] {
    plan->reset(new GroupPlan);
    GroupPlan& made = **plan;
    made.bytes = std::move(listBytes);
    made.arranged = GroupBytes(made.list, listName, made.bytes, sessionSize, table, &made.outcome);
    return made.outcome;
  });
}

GroupOutcome GroupDomains(FileSystem* fs, const std::string& listName, int32_t sessionSize,
                          GroupPlan* plan) {
  return OrDieOutOfMemory([&] { return GroupList(fs, listName, sessionSize, plan); });
}

}  // namespace grenfel
