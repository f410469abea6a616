// The members list: its file format, the closed-list test, and ProcessList,
// which reads a list (and an include list), drops what the exclude list
// names, sorts, removes repeated addresses and rewrites the file in place.
#ifndef GRENFEL_MEMBERLIST_MEMBERLIST_H_
#define GRENFEL_MEMBERLIST_MEMBERLIST_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "services/fileio.h"

namespace grenfel {

struct ListOutcome {
  // Every line read from the list and the include file; 0 when the list
  // file does not exist.
  int32_t linesRead = 0;
  // Not ok when the run must stop: `message` is the error line without its
  // leading "* Error: ". Nothing was lost; the message says what was left.
  Status failure;
};

// The whole processing of one list. Prints its progress and summary lines.
// `removeDuplicates` is the run's /ND setting.
ListOutcome ProcessList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        const std::string& excludeName, bool removeDuplicates);

// Nonzero when the text (the first 65,536 bytes of a file) shows a closed
// list: "CLOSED" CR LF at the start, CR LF "CLOSED" at the end, or CR LF
// "CLOSED" CR LF anywhere, any letter case.
int32_t IsClosedText(std::string_view firstBytes);

// members.lst gives members.TMP; x.tmp gives x.TM; members gives members.TMP.
std::string CompanionName(std::string_view listName);

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_MEMBERLIST_H_
