// The line count that reserves room for a list's records, against a plain
// count, across the blocks it counts in, on the readable part of bytes with
// a Ctrl-Z anywhere.
#include "services/fileio.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace grenfel {
namespace {

constexpr char kCtrlZ = 0x1A;

size_t PlainMostLines(const std::string& bytes) {
  size_t lines = 1;
  for (char c : bytes) {
    if (c == kCtrlZ) break;
    lines += c == '\r';
  }
  return lines;
}

TEST(MostLines, CountsTheCarriageReturnsBeforeTheFirstCtrlZ) {
  std::mt19937 random(3);
  const std::string kBytes = "\r\r\nab@.";
  // The last two sizes are counted in two halves, on two threads.
  for (size_t size : {0, 1, 15, 16, 17, 4079, 4080, 4081, 9000, 70000, 131073}) {
    for (int ctrlZ = 0; ctrlZ < 3; ++ctrlZ) {
      std::string bytes;
      // Runs of CRs longer than a counter could hold, in some lists.
      size_t runOfCrs = random() % 2 ? 300 : 0;
      for (size_t k = 0; k < size; ++k) {
        bytes += k < runOfCrs ? '\r' : kBytes[random() % kBytes.size()];
      }
      if (ctrlZ > 0 && size > 0) bytes[ctrlZ == 1 ? random() % size : size - 1] = kCtrlZ;
      EXPECT_EQ(MostLines(ReadablePart(bytes)), PlainMostLines(bytes))
          << size << " bytes, Ctrl-Z " << ctrlZ;
    }
  }
  EXPECT_EQ(MostLines(std::string(5000, '\r')), 5001u);
}

}  // namespace
}  // namespace grenfel
