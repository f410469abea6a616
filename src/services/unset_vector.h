// A vector whose new elements are left unset when it grows: the threads that
// fill a large array are then the first to touch its memory, each its own
// part, at once, instead of one thread clearing it all before. Large arrays
// take their memory from AllocateLarge.
#ifndef GRENFEL_SERVICES_UNSET_VECTOR_H_
#define GRENFEL_SERVICES_UNSET_VECTOR_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "services/large_memory.h"

namespace grenfel {

template <typename T>
struct UnsetAllocator : std::allocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  UnsetAllocator() = default;
  template <typename U>
  UnsetAllocator(const UnsetAllocator<U>&) {}

  T* allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = count * sizeof(T);
    if (bytes < kLargeBlockMinimum) return std::allocator<T>::allocate(count);
    void* block = AllocateLarge(bytes);
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t count) {
    const size_t bytes = count * sizeof(T);
    if (bytes < kLargeBlockMinimum) {
      std::allocator<T>::deallocate(block, count);
    } else {
      FreeLarge(block, bytes);
    }
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
  // resize() makes its new elements through this one: no value is set.
  template <typename U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U>
  bool operator==(const UnsetAllocator<U>&) const {
    return true;
  }
};

// For elements of plain data only, each set before it is read.
template <typename T>
using UnsetVector = std::vector<T, UnsetAllocator<T>>;

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_UNSET_VECTOR_H_
