// A list too large for the address space of the 32-bit Windows program: the
// run stops with exit code 255 and the out-of-memory line, and leaves every
// file as it was, with no companion behind. A 64-bit program would simply
// sort such a list, so the test runs only when GRENFEL_E2E_32BIT=1 says that
// the program under test is the 32-bit one (.ci/windows.sh sets it). It
// writes a list of 1.5 GiB into its scratch folder.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

constexpr uint64_t kListBytes = uint64_t{1536} << 20;
constexpr size_t kLineBytes = 30;  // "m" 10 digits "@d" 3 digits ".example.org" CR LF
constexpr size_t kLinesPerBlock = 1 << 15;

// Block `index` of the list: lines numbered on from those of the blocks
// before it, over a thousand domains.
std::string ListBlock(uint64_t index) {
  std::string block(kLinesPerBlock * kLineBytes, '\0');
  for (size_t i = 0; i < kLinesPerBlock; ++i) {
    uint64_t number = index * kLinesPerBlock + i;
    char* line = block.data() + i * kLineBytes;
    line[0] = 'm';
    for (int d = 10; d >= 1; --d, number /= 10) line[d] = static_cast<char>('0' + number % 10);
    uint64_t domain = (index * kLinesPerBlock + i) % 1000;
    std::string_view rest = "@d000.example.org\r\n";
    rest.copy(line + 11, rest.size());
    for (int d = 15; d >= 13; --d, domain /= 10) line[d] = static_cast<char>('0' + domain % 10);
  }
  return block;
}

constexpr uint64_t kBlocks = kListBytes / (kLinesPerBlock * kLineBytes) + 1;

bool WriteList(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (uint64_t b = 0; b < kBlocks && ok; ++b) {
    std::string block = ListBlock(b);
    ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
  }
  return close(fd) == 0 && ok;
}

// True when the file holds exactly the bytes WriteList wrote.
bool HoldsTheList(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool same = true;
  std::string read(kLinesPerBlock * kLineBytes, '\0');
  for (uint64_t b = 0; b < kBlocks && same; ++b) {
    size_t got = 0;
    while (got < read.size()) {
      ssize_t n = ::read(fd, read.data() + got, read.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    same = got == read.size() && read == ListBlock(b);
  }
  char extra;
  same = same && ::read(fd, &extra, 1) == 0;
  close(fd);
  return same;
}

TEST(HugeListE2e, AListBeyondTheAddressSpaceStopsTheRunAndChangesNothing) {
  const char* only = getenv("GRENFEL_E2E_32BIT");
  if (only == nullptr || std::string_view(only) != "1") {
    GTEST_SKIP() << "for the 32-bit program only (GRENFEL_E2E_32BIT=1)";
  }
  ScratchDir dir;
  struct statvfs room;
  if (statvfs(dir.path().c_str(), &room) != 0 ||
      uint64_t{room.f_bavail} * room.f_frsize < kListBytes + (uint64_t{512} << 20)) {
    GTEST_SKIP() << "no room for a list of 1.5 GiB in " << dir.path();
  }
  ASSERT_TRUE(WriteList(dir / "members.lst"));
  // The exclude list is rewritten before the list is read: in order, so
  // that its bytes stay as they are.
  const std::string bad = "aa@x\r\nzz@x\r\n", include = "new@x\r\nother@x\r\n";
  WriteFile(dir / "bad.lst", bad);
  WriteFile(dir / "new.lst", include);

  // The line goes to standard error, which the run shares with this test:
  // it is caught in a file for the length of the run.
  std::string errorPath = dir / "stderr.txt";
  int saved = dup(2);
  int caught = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_TRUE(saved >= 0 && caught >= 0);
  dup2(caught, 2);
  close(caught);
  RunResult run = RunTail("members.lst new.lst /B=bad.lst /ND /G", dir.path());
  dup2(saved, 2);
  close(saved);

  EXPECT_EQ(run.exitCode, 255);
  EXPECT_EQ(run.out, std::string(kBannerLine) +
                         "* \"bad.lst\" has 2 records.\r\n   Reading, Sorting, Writing.\r\n");
  EXPECT_NE(ReadFile(errorPath).find("grenfel: out of memory; the run was stopped."),
            std::string::npos)
      << ReadFile(errorPath);
  EXPECT_EQ(dir.Entries(),
            (std::vector<std::string>{"bad.lst", "members.lst", "new.lst", "stderr.txt"}));
  EXPECT_EQ(ReadFile(dir / "bad.lst"), bad);
  EXPECT_EQ(ReadFile(dir / "new.lst"), include);
  EXPECT_TRUE(HoldsTheList(dir / "members.lst"));
}

}  // namespace
}  // namespace grenfel::e2e
