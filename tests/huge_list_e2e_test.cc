// The 32-bit Windows program and large lists. One too large for its address
// space stops the run with exit code 255 and the out-of-memory line, and
// leaves every file as it was, with no companion behind; one that needs more
// than 2 GiB of address space, and less than 4, is sorted. A 64-bit program
// would simply sort both, so the tests run only when GRENFEL_E2E_32BIT=1 says
// that the program under test is the 32-bit one (.ci/windows.sh sets it).
// They write lists of 1.25 and 0.9 GiB into their scratch folders.
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

constexpr size_t kLinesPerBlock = 1 << 15;

// A list of blocks of kLinesPerBlock lines each, every line of the same
// length and in ascending order across the blocks.
struct ListShape {
  uint64_t blocks;
  bool withDomain;  // "m" 10 digits "@d" 3 digits ".example.org" CR LF, else "m" 9 digits CR LF
  size_t LineBytes() const { return withDomain ? 30 : 12; }
  uint64_t Bytes() const { return blocks * kLinesPerBlock * LineBytes(); }
};

// Block `index` of the list: lines numbered on from those of the blocks
// before it, over a thousand domains when they have one.
std::string ListBlock(const ListShape& shape, uint64_t index) {
  const size_t lineBytes = shape.LineBytes();
  const int digits = shape.withDomain ? 10 : 9;
  std::string block(kLinesPerBlock * lineBytes, '\0');
  for (size_t i = 0; i < kLinesPerBlock; ++i) {
    uint64_t number = index * kLinesPerBlock + i;
    char* line = block.data() + i * lineBytes;
    line[0] = 'm';
    for (int d = digits; d >= 1; --d, number /= 10) line[d] = static_cast<char>('0' + number % 10);
    if (!shape.withDomain) {
      line[10] = '\r';
      line[11] = '\n';
      continue;
    }
    uint64_t domain = (index * kLinesPerBlock + i) % 1000;
    std::string_view rest = "@d000.example.org\r\n";
    rest.copy(line + 11, rest.size());
    for (int d = 15; d >= 13; --d, domain /= 10) line[d] = static_cast<char>('0' + domain % 10);
  }
  return block;
}

// The block written at place b: blocks in ascending order, or spread with a
// stride that has no factor in common with their number.
uint64_t BlockAt(const ListShape& shape, uint64_t b, uint64_t stride) {
  return b * stride % shape.blocks;
}

bool WriteList(const std::string& path, const ListShape& shape, uint64_t stride) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (uint64_t b = 0; b < shape.blocks && ok; ++b) {
    std::string block = ListBlock(shape, BlockAt(shape, b, stride));
    ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
  }
  return close(fd) == 0 && ok;
}

// True when the file holds exactly the bytes WriteList wrote with `stride`.
bool HoldsTheList(const std::string& path, const ListShape& shape, uint64_t stride) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool same = true;
  std::string read(kLinesPerBlock * shape.LineBytes(), '\0');
  for (uint64_t b = 0; b < shape.blocks && same; ++b) {
    size_t got = 0;
    while (got < read.size()) {
      ssize_t n = ::read(fd, read.data() + got, read.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    same = got == read.size() && read == ListBlock(shape, BlockAt(shape, b, stride));
  }
  char extra;
  same = same && ::read(fd, &extra, 1) == 0;
  close(fd);
  return same;
}

bool ForThe32BitProgram() {
  const char* only = getenv("GRENFEL_E2E_32BIT");
  return only != nullptr && std::string_view(only) == "1";
}

bool HasRoom(const std::string& folder, uint64_t bytes) {
  struct statvfs room;
  return statvfs(folder.c_str(), &room) == 0 && uint64_t{room.f_bavail} * room.f_frsize >= bytes;
}

bool HasFreeMemory(uint64_t bytes) {
  long pages = sysconf(_SC_AVPHYS_PAGES), pageBytes = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageBytes > 0 &&
         static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageBytes) >= bytes;
}

// 1.25 GiB of 12-byte lines: more lines than the 32-bit program can index,
// whatever its address space (its entries alone would pass 2 GiB).
constexpr ListShape kTooManyLines{3414, false};

TEST(HugeListE2e, AListBeyondTheAddressSpaceStopsTheRunAndChangesNothing) {
  if (!ForThe32BitProgram()) GTEST_SKIP() << "for the 32-bit program only (GRENFEL_E2E_32BIT=1)";
  ScratchDir dir;
  if (!HasRoom(dir.path(), kTooManyLines.Bytes() + (uint64_t{512} << 20))) {
    GTEST_SKIP() << "no room for a list of 1.25 GiB in " << dir.path();
  }
  ASSERT_TRUE(WriteList(dir / "members.lst", kTooManyLines, 1));
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
  EXPECT_TRUE(HoldsTheList(dir / "members.lst", kTooManyLines, 1));
}

// 0.9 GiB of addresses, its blocks out of order: the run needs more than the
// 2 GiB of address space that a 32-bit program has unless it is large address
// aware, and then sorts the list whole.
constexpr ListShape kBeyondTwoGiB{960, true};

TEST(HugeListE2e, AListNeedingMoreThanTwoGiBOfAddressSpaceIsSorted) {
  if (!ForThe32BitProgram()) GTEST_SKIP() << "for the 32-bit program only (GRENFEL_E2E_32BIT=1)";
  ScratchDir dir;
  if (!HasRoom(dir.path(), 2 * kBeyondTwoGiB.Bytes() + (uint64_t{512} << 20))) {
    GTEST_SKIP() << "no room for a list of 0.9 GiB and its companion in " << dir.path();
  }
  if (!HasFreeMemory(uint64_t{3} << 30)) GTEST_SKIP() << "less than 3 GiB of memory free";
  constexpr uint64_t kStride = 7;
  ASSERT_TRUE(WriteList(dir / "members.lst", kBeyondTwoGiB, kStride));
  RunResult run = RunTail("members.lst /ND", dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("* \"members.lst\" has 31457280 records.\r\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"members.lst"});
  EXPECT_TRUE(HoldsTheList(dir / "members.lst", kBeyondTwoGiB, 1));
}

}  // namespace
}  // namespace grenfel::e2e
