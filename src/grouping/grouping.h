// Domain grouping: reorders the members of a list file by domain, the
// largest domains first, cut into delivery sessions of a given size.
#ifndef GRENFEL_GROUPING_GROUPING_H_
#define GRENFEL_GROUPING_GROUPING_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "memberlist/change_report.h"
#include "services/failure.h"
#include "services/fileio.h"

namespace grenfel {

struct GroupOutcome {
  // The number of groups: different domains plus records without "@",
  // among the members after the last CLOSED line.
  int32_t groups = 0;
  // The list holds too few members to group and was left as it is: the
  // driver says so before the count.
  bool tooFewNames = false;
  // Not ok when the run must stop: what failed, on which file.
  RunFailure failure;
};

// A grouping worked out in memory before the list was rewritten (for the
// change report's table), kept for GroupDomains to write.
struct GroupPlan;
struct GroupPlanDeleter {
  void operator()(GroupPlan* plan) const;
};
using KeptGroupPlan = std::unique_ptr<GroupPlan, GroupPlanDeleter>;

// Reads, groups and rewrites the list. `sessionSize` is at least 1. Prints
// nothing. With a `plan` made from the bytes the list now holds, its
// grouping is written instead of being worked out again.
GroupOutcome GroupDomains(FileSystem* fs, const std::string& listName, int32_t sessionSize,
                          GroupPlan* plan = nullptr);

// The grouping of a list held in memory (as a dry run would have written it,
// or as it is about to be written): the outcome GroupDomains would return;
// no file is touched. `table`, when given, receives the groups in order when
// they would be rewritten, and stays empty when the list would be left as it
// is.
GroupOutcome GroupInMemory(const std::string& listName, std::string_view listBytes,
                           int32_t sessionSize, std::vector<DomainRow>* table);
// The same, keeping the bytes (moved in) and their grouping in `*plan`.
GroupOutcome PlanGrouping(const std::string& listName, std::string listBytes, int32_t sessionSize,
                          std::vector<DomainRow>* table, KeptGroupPlan* plan);

}  // namespace grenfel

#endif  // GRENFEL_GROUPING_GROUPING_H_
