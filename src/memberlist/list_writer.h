// The list as it is held in memory while it is processed, and its writing:
// the head lines as read, then the records ascending, without empties and,
// under /ND, without repeats; long lists are formatted in parts on two
// threads. Also the title clock that the long walks of a list share.
#ifndef GRENFEL_MEMBERLIST_LIST_WRITER_H_
#define GRENFEL_MEMBERLIST_LIST_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memberlist/change_report.h"
#include "memberlist/entries.h"
#include "services/fileio.h"
#include "services/text.h"

namespace grenfel {

inline constexpr std::string_view kTitlePrefix = "Grenfel : ";

// Shows the title only when the last digit of the clock's seconds moved, so
// a long walk does not spend its time on the title.
class TitleClock {
 public:
  bool Due() {
    // Reading the clock for every record of a long list costs more than the
    // title is worth; every 1024th record is often enough to see it move.
    if ((calls_++ & 1023) != 0) return false;
    return Moved();
  }
  // For calls that each stand for many records.
  bool Moved() {
    char digit = ClockSecondDigit();
    if (digit == last_) return false;
    last_ = digit;
    return true;
  }

 private:
  char last_ = 0;
  uint32_t calls_ = 0;
};

// One list in memory while it is processed.
struct MemberList {
  std::vector<std::string_view> head;  // head lines, written back as read
  EntryStore entries;
  int64_t linesRead = 0;
  bool hasPlusRecord = false;
  int32_t closedFlag = 0;
  bool closedLineSeen = false;
  // Records "CLOSED" of the list file: entry index, line number. Written in
  // a list that is not closed, they would close it on the next run.
  std::vector<std::pair<size_t, int64_t>> closedRecords;
  ListChanges* changes = nullptr;  // null unless a report is asked for
  // Read and written on this thread only, as the tests compare.
  bool oneThread = false;
};

struct WriteResult {
  int64_t duplicateCount = 0;
  Status status;
};

// Writes the head block, then the records ascending (the array is sorted
// descending, so it is walked backwards), without empties and, under /ND,
// without an address that repeats the record written just before it.
WriteResult WriteRecords(const std::string& listName, const MemberList& list, bool removeDuplicates,
                         WritableFile* out);

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_LIST_WRITER_H_
