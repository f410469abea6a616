// The clock's two readings agree with each other.
#include "services/clock.h"

#include <gtest/gtest.h>

namespace grenfel {
namespace {

TEST(Clock, SecondDigitAgreesWithTheTimeOfDay) {
  double seconds;
  char before, after;
  do {  // retried if the second changes between the readings
    before = ClockSecondDigit();
    seconds = SecondsOfDay();
    after = ClockSecondDigit();
  } while (before != after);
  EXPECT_GE(seconds, 0);
  EXPECT_LT(seconds, 86400);
  EXPECT_EQ(before, '0' + static_cast<int>(seconds) % 10);
}

}  // namespace
}  // namespace grenfel
