// The kept block in front of the platform's large blocks.
#include "services/large_memory.h"

#include <mutex>

namespace grenfel {
namespace {

struct KeptBlock {
  std::mutex mutex;
  void* block = nullptr;
  size_t bytes = 0;
  // The block last handed out from the kept one, and its true size: it is
  // freed with the size that was asked for, which may be smaller.
  void* lent = nullptr;
  size_t lentBytes = 0;
  size_t inUse = 0;  // blocks handed out and not yet freed
};

// Only where the address space is wide: in a 32-bit program a kept block
// would hold addresses that the mapping of a large list may need.
constexpr bool kKeepBlocks = sizeof(void*) >= 8;

KeptBlock& Kept() {
  // Never destroyed: a vector freed during exit may still come here.
  static KeptBlock* kept = new KeptBlock;
  return *kept;
}

}  // namespace

void* AllocateLarge(size_t bytes) {
  KeptBlock& kept = Kept();
  void* stale = nullptr;
  size_t staleBytes = 0;
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    // Half its size or more: a block much larger than needed would hold
    // memory that nothing uses.
    if (kept.block != nullptr && bytes <= kept.bytes && bytes >= kept.bytes / 2) {
      kept.lent = kept.block;
      kept.lentBytes = kept.bytes;
      kept.block = nullptr;
      ++kept.inUse;
      return kept.lent;
    }
    stale = kept.block;
    staleBytes = kept.bytes;
    kept.block = nullptr;
  }
  if (stale != nullptr) SystemFreeLarge(stale, staleBytes);
  void* block = SystemAllocateLarge(bytes);
  if (block != nullptr) {
    std::lock_guard<std::mutex> lock(kept.mutex);
    ++kept.inUse;
  }
  return block;
}

void FreeLarge(void* block, size_t bytes) {
  if (block == nullptr) return;
  KeptBlock& kept = Kept();
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (block == kept.lent) {
      bytes = kept.lentBytes;
      kept.lent = nullptr;
    }
    --kept.inUse;
    // A block freed while another is in use (the old storage of a vector
    // that grew) goes back at once: the peak is no higher than before.
    if (kKeepBlocks && kept.inUse == 0 && kept.block == nullptr) {
      kept.block = block;
      kept.bytes = bytes;
      return;
    }
  }
  SystemFreeLarge(block, bytes);
}

}  // namespace grenfel
