// Blocks of memory for the big arrays of a run (the entries of a list, the
// members being grouped), taken straight from the system: on Linux aligned
// to 2 MiB and offered to the kernel for huge pages, so that filling an
// array of hundreds of megabytes takes a few hundred page faults instead of
// a hundred thousand. Smaller requests stay with the ordinary allocator.
#ifndef GRENFEL_SERVICES_LARGE_MEMORY_H_
#define GRENFEL_SERVICES_LARGE_MEMORY_H_

#include <cstddef>

namespace grenfel {

// Requests of at least this many bytes go to AllocateLarge.
constexpr size_t kLargeBlockMinimum = size_t{8} << 20;

// A block of `bytes` bytes, its contents unset, or nullptr when the system
// has no more. Give it back with FreeLarge and the same size.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* block, size_t bytes);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_LARGE_MEMORY_H_
