// The calendar fields of a moment in local time, from the platform's
// thread-safe call. A moment the platform cannot convert gives all zeros.
#ifndef GRENFEL_SERVICES_LOCAL_TIME_H_
#define GRENFEL_SERVICES_LOCAL_TIME_H_

#include <ctime>

namespace grenfel {

std::tm LocalTime(std::time_t t);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_LOCAL_TIME_H_
