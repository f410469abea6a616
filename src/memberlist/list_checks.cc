#include "memberlist/list_checks.h"

#include <cstring>

#include "services/text.h"

namespace grenfel {
namespace {

constexpr std::string_view kErrorsTo = "+ERRORS-TO:=";

std::string Quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// What a refusal leaves as it was: the exclude file is prepared before the
// list is read, so its refusal comes before anything was done to either.
const char* LeftUnchanged(ListRole role) {
  switch (role) {
    case ListRole::kInclude:
      return "the list was left unchanged";
    case ListRole::kExclude:
      return "it and the list were left unchanged";
    case ListRole::kList:
      break;
  }
  return "it was left unchanged";
}

bool IsErrorsToRecord(std::string_view record) {
  return record.size() >= kErrorsTo.size() &&
         EqualUpper(record.substr(0, kErrorsTo.size()), kErrorsTo);
}

}  // namespace

Status CheckLineEnds(std::string_view bytes, const std::string& name, ListRole role) {
  std::string_view readable = bytes.substr(0, ReadableLength(bytes));
  if (std::memchr(readable.data(), '\n', readable.size()) == nullptr ||
      std::memchr(readable.data(), '\r', readable.size()) != nullptr) {
    return Status::Ok();
  }
  return Status::Error(
      ErrorCode::kUnixLineEnds,
      "The " + std::string(ListRoleName(role)) + " " + Quoted(name) +
          " ends its lines with LF alone, as Unix tools write them (it holds line feeds and no "
          "carriage return), so it would read as one single line; " +
          LeftUnchanged(role) + ". Convert its line ends to CR LF first, for example with sed -i " +
          "'s/$/\\r/' " + Quoted(name) + ", and run again.");
}

bool IsControlRecord(std::string_view record) {
  return EqualUpper(record, "CLOSED") || IsErrorsToRecord(record);
}

Status CheckIncludeLines(std::string_view bytes, const std::string& name) {
  LineReader reader(bytes);
  std::string_view line;
  for (int64_t lineNumber = 1; reader.ReadLine(&line); ++lineNumber) {
    std::string_view record = TrimBlanks(line);
    // Only "+" and "C" or "c" can begin one: most lines are settled by
    // their first byte.
    if (record.empty() || (record[0] != '+' && record[0] != 'C' && record[0] != 'c')) continue;
    if (!IsControlRecord(record)) continue;
    std::string found = IsErrorsToRecord(record)
                            ? "an errors-to line (\"+ERRORS-TO:=\"): merged as a member, it would "
                              "turn the whole list into its head block on the next run"
                            : "a line \"CLOSED\": merged as a member, it would make the members "
                              "above it moderators on the next run";
    return Status::Error(ErrorCode::kControlLineInInclude,
                         "The include file " + Quoted(name) + " holds at line " +
                             NumberText(static_cast<double>(lineNumber)) + " " + found +
                             "; the list was left unchanged. Remove that "
                             "line from the include file.");
  }
  return Status::Ok();
}

Status ClosedRecordRefusal(const std::string& name, ListRole role, int64_t lineNumber) {
  return Status::Error(
      ErrorCode::kClosedRecordInOpenList,
      "The " + std::string(ListRoleName(role)) + " " + Quoted(name) +
          " is not closed, yet its line " + NumberText(static_cast<double>(lineNumber)) +
          " would be written as the record \"CLOSED\", which would make the members above it "
          "moderators on the next run; " +
          LeftUnchanged(role) +
          ". To close the list, put that line within its first 65,536 bytes, without blanks "
          "and with CR LF before and after it; otherwise remove it.");
}

bool ExcludeKeysName(const ExcludeKeys& keys, std::string_view record) {
  if (keys.size() == 0 || keys.Key(0).empty() || record.empty()) return false;
  std::string_view key = record[0] == '+' ? record.substr(1) : record;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (EqualUpper(keys.Key(k), key)) return true;
  }
  return false;
}

}  // namespace grenfel
