// Local calendar time on Windows, through the thread-safe localtime_s.
#include "services/local_time.h"

namespace grenfel {

std::tm LocalTime(std::time_t t) {
  std::tm out{};
  if (localtime_s(&out, &t) != 0) out = std::tm{};
  return out;
}

}  // namespace grenfel
