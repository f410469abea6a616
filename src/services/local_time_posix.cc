// Local calendar time on POSIX systems, through the thread-safe localtime_r.
#include "services/local_time.h"

namespace grenfel {

std::tm LocalTime(std::time_t t) {
  std::tm out{};
  if (localtime_r(&t, &out) == nullptr) out = std::tm{};
  return out;
}

}  // namespace grenfel
