#include <windows.h>

#include "services/large_memory.h"

namespace grenfel {

// Straight from the system, committed at once: freed, a block goes back to
// the system instead of staying in the process heap.
void* SystemAllocateLarge(size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void SystemFreeLarge(void* block, size_t) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace grenfel
