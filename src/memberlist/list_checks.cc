// The checks of a file's line ends and records made before any list is
// changed.
#include "memberlist/list_checks.h"

#include <cstring>

#include "services/fileio.h"
#include "services/text.h"

namespace grenfel {
namespace {

constexpr std::string_view kErrorsTo = "+ERRORS-TO:=";

bool IsErrorsToRecord(std::string_view record) {
  return record.size() >= kErrorsTo.size() &&
         EqualUpper(record.substr(0, kErrorsTo.size()), kErrorsTo);
}

}  // namespace

RunFailure CheckLineEnds(std::string_view readable, const std::string& name, ListRole role) {
  if (std::memchr(readable.data(), '\n', readable.size()) == nullptr ||
      std::memchr(readable.data(), '\r', readable.size()) != nullptr) {
    return RunFailure::None();
  }
  return RunFailure::Of(FailedStep::kCheckContents, Status::Error(ErrorCode::kUnixLineEnds, ""),
                        name, role);
}

bool IsControlRecord(std::string_view record) {
  return EqualUpper(record, "CLOSED") || IsErrorsToRecord(record);
}

RunFailure CheckIncludeLines(std::string_view readable, const std::string& name) {
  LineReader reader(readable);
  std::string_view line;
  for (int64_t lineNumber = 1; reader.ReadLine(&line); ++lineNumber) {
    std::string_view record = TrimBlanks(line);
    // Only "+" and "C" or "c" can begin one: most lines are settled by
    // their first byte.
    if (record.empty() || (record[0] != '+' && record[0] != 'C' && record[0] != 'c')) continue;
    if (!IsControlRecord(record)) continue;
    RunFailure failure = RunFailure::Of(FailedStep::kCheckContents,
                                        Status::Error(ErrorCode::kControlLineInInclude, ""), name,
                                        ListRole::kInclude);
    failure.line = lineNumber;
    failure.errorsToLine = IsErrorsToRecord(record);
    return failure;
  }
  return RunFailure::None();
}

RunFailure ClosedRecordRefusal(const std::string& name, ListRole role, int64_t lineNumber) {
  RunFailure failure =
      RunFailure::Of(FailedStep::kCheckContents,
                     Status::Error(ErrorCode::kClosedRecordInOpenList, ""), name, role);
  failure.line = lineNumber;
  return failure;
}

}  // namespace grenfel
