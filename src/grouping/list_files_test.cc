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
    std::string include, exclude, needle;
  };
  for (const Case& c : {Case{"", "bad.lst", "Cannot read the exclude file \"bad.lst\""},
                        Case{"in.lst", "", "Cannot read the include file \"in.lst\""}}) {
    SCOPED_TRACE(c.needle);
    MemoryFileSystem fs;
    fs.files["m.lst"] = list;
    ListOutcome run = ProcessList(&fs, "m.lst", c.include, c.exclude, false);
    EXPECT_NE(run.failure.message.find(c.needle), std::string::npos) << run.failure.message;
    EXPECT_EQ(fs.files, (std::map<std::string, std::string>{{"m.lst", list}}));
  }
  MemoryFileSystem fs;
  ListOutcome listed = ProcessList(&fs, "m.lst", "", "", false);
  EXPECT_NE(listed.failure.message.find("Cannot read the list \"m.lst\""), std::string::npos);
  GroupOutcome grouped = GroupDomains(&fs, "m.lst", 10);
  EXPECT_NE(grouped.failure.message.find("Cannot read the list \"m.lst\""), std::string::npos);
  EXPECT_TRUE(fs.files.empty());
  CaptureConsole(nullptr);
}

}  // namespace
}  // namespace grenfel
