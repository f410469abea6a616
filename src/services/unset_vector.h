// A vector whose new elements are left unset when it grows: the threads that
// fill a large array are then the first to touch its memory, each its own
// part, at once, instead of one thread clearing it all before.
#ifndef GRENFEL_SERVICES_UNSET_VECTOR_H_
#define GRENFEL_SERVICES_UNSET_VECTOR_H_

#include <memory>
#include <utility>
#include <vector>

namespace grenfel {

template <typename T>
struct UnsetAllocator : std::allocator<T> {
  UnsetAllocator() = default;
  template <typename U>
  UnsetAllocator(const UnsetAllocator<U>&) {}
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
  // resize() makes its new elements through this one: no value is set.
  template <typename U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }
};

// For elements of plain data only, each set before it is read.
template <typename T>
using UnsetVector = std::vector<T, UnsetAllocator<T>>;

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_UNSET_VECTOR_H_
