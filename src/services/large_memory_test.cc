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

}  // namespace
}  // namespace grenfel
