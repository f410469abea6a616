// The user's sentences for a run that stopped: every "* Error: " line that
// a failure of the list processing, the grouping or the report gives is
// written here, from the facts the modules return.
#ifndef GRENFEL_DRIVER_MESSAGES_H_
#define GRENFEL_DRIVER_MESSAGES_H_

#include <string>

#include "services/failure.h"

namespace grenfel {

// The error line for `failure` without its leading "* Error: ": it names the
// files in double quotes, says what was found and what was left unchanged,
// and how to mend it.
std::string FailureLine(const RunFailure& failure);

}  // namespace grenfel

#endif  // GRENFEL_DRIVER_MESSAGES_H_
