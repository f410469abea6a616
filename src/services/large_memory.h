// Blocks of memory for the big arrays of a run (the entries of a list, the
// members being grouped), taken straight from the system, one mapping each.
// Smaller requests stay with the ordinary allocator.
//
// The last block freed while no other is in use is kept for the next
// request it can serve: the grouping that follows a list's processing then
// fills pages the entries already touched, instead of fresh ones that the
// system must clear (on a virtual machine, fetch from its host too). A
// request it cannot serve gives it back first. A 32-bit program keeps none.
#ifndef GRENFEL_SERVICES_LARGE_MEMORY_H_
#define GRENFEL_SERVICES_LARGE_MEMORY_H_

#include <cstddef>

namespace grenfel {

// Requests of at least this many bytes go to AllocateLarge.
constexpr size_t kLargeBlockMinimum = size_t{8} << 20;

// A block of `bytes` bytes, its contents unset, or nullptr when the system
// has no more. Give it back with FreeLarge and the same size. Either may be
// called from any thread.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* block, size_t bytes);

// The platform's own, one file each, with no block kept: a block of at least
// `bytes` bytes or nullptr, and its release.
void* SystemAllocateLarge(size_t bytes);
void SystemFreeLarge(void* block, size_t bytes);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_LARGE_MEMORY_H_
