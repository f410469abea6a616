// The local time of day; see clock.h.
#include "services/clock.h"

#include <chrono>
#include <ctime>

#include "services/local_time.h"

namespace grenfel {

namespace {

// The seconds since the epoch, from the clock SecondsOfDay reads too: the
// coarse clock behind time() can still show the second before for a few
// milliseconds after the fine one has moved on.
std::time_t EpochSeconds() {
  using namespace std::chrono;
  return static_cast<std::time_t>(floor<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

double SecondsOfDay() {
  using namespace std::chrono;
  auto sinceEpoch = system_clock::now().time_since_epoch();
  auto whole = floor<seconds>(sinceEpoch);
  auto millis = duration_cast<milliseconds>(sinceEpoch - whole).count();
  std::tm now = LocalTime(static_cast<std::time_t>(whole.count()));
  return (now.tm_hour * 3600000.0 + now.tm_min * 60000.0 + now.tm_sec * 1000.0 +
          static_cast<double>(millis)) /
         1000.0;
}

char ClockSecondDigit() {
  // Local time differs from the epoch count by whole minutes in every real
  // time zone, but the shift of the seconds is measured once rather than
  // assumed; after that a call costs one reading of the clock and no
  // calendar work.
  static const int shift = [] {
    std::time_t t = EpochSeconds();
    int epochSeconds = static_cast<int>((t % 60 + 60) % 60);
    return ((LocalTime(t).tm_sec - epochSeconds) % 60 + 60) % 60;
  }();
  std::time_t t = EpochSeconds();
  int seconds = static_cast<int>(((t % 60 + 60) % 60 + shift) % 60);
  return static_cast<char>('0' + seconds % 10);
}

}  // namespace grenfel
