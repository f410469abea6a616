// Work over a large array split in two halves, the second half on a helper
// thread, for passes where each element is handled on its own.
#ifndef GRENFEL_SERVICES_TWO_THREADS_H_
#define GRENFEL_SERVICES_TWO_THREADS_H_

#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

namespace grenfel {

// Calls work(begin, end, half) for half 0, [begin, middle), and half 1,
// [middle, end): on two threads when the range is large enough to pay for
// one and one can be started, else both on this thread. An exception thrown
// on the helper thread is thrown again here.
template <typename Work>
void ForBothHalves(size_t begin, size_t end, Work work) {
  constexpr size_t kWorthAThread = 1 << 16;
  const size_t middle = begin + (end - begin) / 2;
  std::exception_ptr helperFailure;
  std::thread helper;
  if (end - begin >= kWorthAThread) {
    try {
      helper = std::thread([&] {
        try {
          work(middle, end, 1);
        } catch (...) {
          helperFailure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread: the second half is done below.
    }
  }
  if (!helper.joinable()) {
    work(begin, middle, 0);
    work(middle, end, 1);
    return;
  }
  try {
    work(begin, middle, 0);
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_TWO_THREADS_H_
