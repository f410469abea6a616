// The files of a run as ProcessList and GroupDomains meet them: one that is
// gone by the time it is used stops the run with a line naming it.
#include <map>
#include <string>

#include "grouping/grouping.h"
#include "gtest/gtest.h"
#include "memberlist/memberlist.h"
#include "services/console.h"
#include "services/memory_fs.h"

namespace grenfel {
namespace {

TEST(ListFilesTest, AFileGoneWhenItIsUsedStopsTheRunAndChangesNothing) {
  std::string console;
  CaptureConsole(&console);
  const std::string list = "bb@x\r\naa@x\r\n";
  struct Case {
    std::string include, exclude, missing;
    ListRole role;
  };
  for (const Case& c : {Case{"", "bad.lst", "bad.lst", ListRole::kExclude},
                        Case{"in.lst", "", "in.lst", ListRole::kInclude}}) {
    SCOPED_TRACE(c.missing);
    MemoryFileSystem fs;
    fs.files["m.lst"] = list;
    ListOutcome run = ProcessList(&fs, "m.lst", c.include, c.exclude, false);
    EXPECT_EQ(run.failure.step, FailedStep::kReadFile);
    EXPECT_EQ(run.failure.file, c.missing);
    EXPECT_EQ(run.failure.role, c.role);
    EXPECT_EQ(fs.files, (std::map<std::string, std::string>{{"m.lst", list}}));
  }
  MemoryFileSystem fs;
  ListOutcome listed = ProcessList(&fs, "m.lst", "", "", false);
  GroupOutcome grouped = GroupDomains(&fs, "m.lst", 10);
  for (const RunFailure& failure : {listed.failure, grouped.failure}) {
    EXPECT_EQ(failure.step, FailedStep::kReadFile);
    EXPECT_EQ(failure.file, "m.lst");
    EXPECT_EQ(failure.role, ListRole::kList);
  }
  EXPECT_TRUE(fs.files.empty());
  CaptureConsole(nullptr);
}

}  // namespace
}  // namespace grenfel
