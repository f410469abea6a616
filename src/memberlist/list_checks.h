// Checks that keep a run from planting a fault in a list: a file that the
// carriage-return rule would read as something its keeper never wrote, and
// records that, written back, would change the list's structure on its next
// run. Each failure says which check refused which file and, where it
// names one, at which line; nothing has been changed when it is returned.
#ifndef GRENFEL_MEMBERLIST_LIST_CHECKS_H_
#define GRENFEL_MEMBERLIST_LIST_CHECKS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "services/failure.h"

namespace grenfel {

// Not ok when the readable part of a file (ReadablePart) holds a line feed
// and no carriage return: lines ended the Unix way, which would read as one
// single record. A file that holds any CR keeps the line rule, its stray
// LFs being data.
RunFailure CheckLineEnds(std::string_view readable, const std::string& name, ListRole role);

// True when a record, merged into a list, would be read back as a control
// line: "CLOSED" in any letter case, or a line that begins with
// "+ERRORS-TO:=" in any letter case.
bool IsControlRecord(std::string_view record);

// Not ok when a line of the include file's readable part, with its blanks
// trimmed, is a control record; the first such line is named by its number.
RunFailure CheckIncludeLines(std::string_view readable, const std::string& name);

// The refusal for a list that is not closed but would be written with the
// record "CLOSED", read at line `lineNumber` of the file.
RunFailure ClosedRecordRefusal(const std::string& name, ListRole role, int64_t lineNumber);

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_LIST_CHECKS_H_
