#include "services/large_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "services/unset_vector.h"

namespace grenfel {
namespace {

// A vector that grows from the ordinary heap into large blocks and back keeps
// every value across each move, whichever allocator held the old storage.
TEST(LargeMemory, AVectorKeepsItsValuesAcrossTheThreshold) {
  UnsetVector<uint64_t> values;
  const size_t count = kLargeBlockMinimum / sizeof(uint64_t) * 3 + 5;
  for (size_t i = 0; i < count; ++i) values.push_back(i * 2654435761u);
  UnsetVector<uint64_t> copy = values;
  values.resize(10);
  values.shrink_to_fit();
  ASSERT_EQ(copy.size(), count);
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(copy[i], i * 2654435761u) << i;
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i], i * 2654435761u);
}

// A size that is no whole number of pages is still all usable, and aligned
// for any value.
TEST(LargeMemory, AnOddSizedBlockIsWhollyUsable) {
  const size_t bytes = kLargeBlockMinimum + 12345;
  char* block = static_cast<char*>(AllocateLarge(bytes));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
  std::memset(block, 0x5a, bytes);
  EXPECT_EQ(block[0], 0x5a);
  EXPECT_EQ(block[bytes - 1], 0x5a);
  FreeLarge(block, bytes);
}

// The block freed last, while no other was in use, serves the next request
// of about its size, and is freed in full whatever size that request named;
// one freed while another is in use is not kept.
TEST(LargeMemory, TheLastFreedBlockServesTheNextOfItsSize) {
  if (sizeof(void*) < 8) GTEST_SKIP() << "a 32-bit program keeps no block";
  const size_t bytes = kLargeBlockMinimum * 2;
  char* first = static_cast<char*>(AllocateLarge(bytes));
  ASSERT_NE(first, nullptr);
  first[bytes - 1] = 7;
  FreeLarge(first, bytes);
  char* again = static_cast<char*>(AllocateLarge(bytes - 4096));
  EXPECT_EQ(again, first);
  char* other = static_cast<char*>(AllocateLarge(bytes));
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, again);
  FreeLarge(again, bytes - 4096);  // another is in use: given back
  FreeLarge(other, bytes);         // kept
  char* reused = static_cast<char*>(AllocateLarge(bytes));
  EXPECT_EQ(reused, other);
  reused[bytes - 1] = 7;
  FreeLarge(reused, bytes);
  // Too small a request for the kept block takes a new one.
  char* small = static_cast<char*>(AllocateLarge(kLargeBlockMinimum / 2 + 1));
  ASSERT_NE(small, nullptr);
  small[0] = 1;
  FreeLarge(small, kLargeBlockMinimum / 2 + 1);
}

}  // namespace
}  // namespace grenfel
