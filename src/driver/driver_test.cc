// Runs of the driver on real files, and the runtime it reports.
#include "driver/driver.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "gtest/gtest.h"
#include "services/console.h"
#include "services/scratch_folder.h"
#include "services/text.h"

namespace grenfel {
namespace {

TEST(RunSeconds, RunPastMidnightStaysPositive) {
  EXPECT_DOUBLE_EQ(RunSeconds(100.25, 112.5), 12.25);
  EXPECT_NEAR(RunSeconds(86399.5, 0.3), 0.8, 1e-9);
}

// A run on real files that the list processing and the grouping leave
// silent (an empty list): the titles follow the phases, and a run stopped
// by a check sets none.
TEST(RunDriver, TitlesFollowThePhases) {
  // No "/G" or other option may show in the path that the tail names.
  ScratchFolder folder;
  if (folder.path().find(' ') != std::string::npos) GTEST_SKIP() << "a blank in " << folder.path();
  const std::string list = folder / "members.lst";
  FILE* file = fopen(list.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fclose(file);

  std::string out, titles;
  CaptureConsole(&out, &titles);
  int grouped = RunDriver(list + " /G", RealFileSystem());
  std::string groupedTitles = titles;
  titles.clear();
  int stopped = RunDriver(folder / "missing.lst", RealFileSystem());
  std::string stoppedTitles = titles;
  CaptureConsole(nullptr);

  EXPECT_EQ(grouped, kExitOk);
  EXPECT_EQ(groupedTitles, "Grenfel : Sorting " + list + "\nGrenfel : Grouping\n");
  EXPECT_EQ(stopped, kExitUsage);
  EXPECT_EQ(stoppedTitles, "");
}

}  // namespace
}  // namespace grenfel
