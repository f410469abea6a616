// Generated lists whose results were recorded before the speed work: the
// output of every run must stay byte for byte what it was, ties included.
#include <string>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

std::string Golden(const std::string& name) {
  return ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/tests/data/golden/" + name);
}

TEST(Golden, GeneratedListsComeOutAsRecorded) {
  {
    // Sorting alone keeps every letter-case variant, in the quicksort's order.
    ScratchDir dir;
    WriteFile(dir / "list.lst", Golden("list.lst"));
    RunResult run = RunTail("list.lst", dir.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(WithoutRuntime(run.out), Golden("sort.stdout.expected"));
    EXPECT_EQ(ReadFile(dir / "list.lst"), Golden("sort.list.expected"));
  }
  {
    ScratchDir dir;
    for (const char* name : {"list.lst", "include.lst", "exclude.lst"}) {
      WriteFile(dir / name, Golden(name));
    }
    RunResult run = RunTail("list.lst include.lst /B=exclude.lst /ND /G5", dir.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(WithoutRuntime(run.out), Golden("full.stdout.expected"));
    EXPECT_EQ(ReadFile(dir / "list.lst"), Golden("full.list.expected"));
    EXPECT_EQ(ReadFile(dir / "exclude.lst"), Golden("full.exclude.expected"));
    EXPECT_EQ(ReadFile(dir / "include.lst"), Golden("include.lst"));
  }
}

}  // namespace
}  // namespace grenfel::e2e
