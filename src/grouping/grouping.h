// Domain grouping: reorders the members of a list file by domain, the
// largest domains first, cut into delivery sessions of a given size.
#ifndef GRENFEL_GROUPING_GROUPING_H_
#define GRENFEL_GROUPING_GROUPING_H_

#include <cstdint>
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

// Reads, groups and rewrites the list. `sessionSize` is at least 1. Prints
// nothing.
GroupOutcome GroupDomains(FileSystem* fs, const std::string& listName, int32_t sessionSize);

// The grouping of a list held in memory (as a dry run would have written it,
// or as it is about to be written): the outcome GroupDomains would return;
// no file is touched. `table`, when given, receives the groups in order when
// they would be rewritten, and stays empty when the list would be left as it
// is.
GroupOutcome GroupInMemory(const std::string& listName, std::string_view listBytes,
                           int32_t sessionSize, std::vector<DomainRow>* table);

}  // namespace grenfel

#endif  // GRENFEL_GROUPING_GROUPING_H_
