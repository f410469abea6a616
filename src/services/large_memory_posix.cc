#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "services/large_memory.h"

namespace grenfel {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t RoundUp(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

size_t PageRounded(size_t bytes) {
  return RoundUp(bytes, static_cast<size_t>(::sysconf(_SC_PAGESIZE)));
}

}  // namespace

// Maps a huge page more than asked and trims the ends, so that the block
// starts on a huge-page boundary: the kernel can only back whole, aligned
// huge pages.
void* SystemAllocateLarge(size_t bytes) {
  const size_t size = PageRounded(bytes);
  if (size < bytes || size + kHugePage < size) return nullptr;
  void* mapped =
      ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  char* const start = static_cast<char*>(mapped);
  const uintptr_t address = reinterpret_cast<uintptr_t>(start);
  char* const block = start + (RoundUp(address, kHugePage) - address);
  if (block > start) ::munmap(start, static_cast<size_t>(block - start));
  char* const end = start + size + kHugePage;
  if (end > block + size) ::munmap(block + size, static_cast<size_t>(end - (block + size)));
#ifdef MADV_HUGEPAGE
  // Only a hint: where huge pages are off, ordinary pages serve.
  ::madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void SystemFreeLarge(void* block, size_t bytes) {
  if (block != nullptr) ::munmap(block, PageRounded(bytes));
}

}  // namespace grenfel
