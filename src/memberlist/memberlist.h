// The members list: its file format, the closed-list test, and ProcessList,
// which reads a list (and an include list), drops what the exclude list
// names, sorts, removes repeated addresses and rewrites the file in place.
#ifndef GRENFEL_MEMBERLIST_MEMBERLIST_H_
#define GRENFEL_MEMBERLIST_MEMBERLIST_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "services/failure.h"
#include "services/fileio.h"

namespace grenfel {

struct ListOutcome {
  // Every line read from the list and the include file; 0 when the list
  // file does not exist.
  int32_t linesRead = 0;
  // Not ok when the run must stop: what failed, on which file. Nothing was
  // lost.
  RunFailure failure;
};

class ChangeReport;

// How a run treats its files beyond the plain rewrite.
struct ListRunMode {
  // Every phase runs and prints its lines, but no file is created, changed
  // or deleted: the exclude file's sorted form is used from memory.
  bool dryRun = false;
  // Receives the rows of what the run changes (null: no report).
  ChangeReport* report = nullptr;
  // Receives the list as it is (to be) written; the list as read when it is
  // not rewritten. Always filled in a dry run when given.
  std::string* writtenList = nullptr;
  // Called in a real run when the list's new contents are complete, just
  // before the list is cut. A failure stops the run with the list untouched.
  std::function<RunFailure()> beforeCut;
  // Reads and writes the list on this thread only: the walks that the tests
  // check the two-thread ones against.
  bool oneThread = false;
};

// The whole processing of one list. Prints its progress and summary lines.
// `removeDuplicates` is the run's /ND setting.
ListOutcome ProcessList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        const std::string& excludeName, bool removeDuplicates);
ListOutcome ProcessList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        const std::string& excludeName, bool removeDuplicates,
                        const ListRunMode& mode);

// Nonzero when the text (the first 65,536 bytes of a file) shows a closed
// list: "CLOSED" CR LF at the start, CR LF "CLOSED" at the end, or CR LF
// "CLOSED" CR LF anywhere, any letter case.
int32_t IsClosedText(std::string_view firstBytes);

// members.lst gives members.TMP; x.tmp gives x.TM; members gives members.TMP.
std::string CompanionName(std::string_view listName);

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_MEMBERLIST_H_
