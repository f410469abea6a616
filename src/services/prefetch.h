// A hint that memory at an address will be read soon. It changes no result,
// only speed; compilers without the builtin get nothing.
#ifndef GRENFEL_SERVICES_PREFETCH_H_
#define GRENFEL_SERVICES_PREFETCH_H_

namespace grenfel {

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_PREFETCH_H_
