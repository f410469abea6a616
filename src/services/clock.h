// The local time of day, as the progress titles and the run time read it.
#ifndef GRENFEL_SERVICES_CLOCK_H_
#define GRENFEL_SERVICES_CLOCK_H_

namespace grenfel {

// Local seconds since midnight, with milliseconds.
double SecondsOfDay();
// The last digit of the local clock's seconds: cheap enough to ask once per
// record when deciding whether to refresh a progress title.
char ClockSecondDigit();

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_CLOCK_H_
