// The change report: what a run removed from and added to a list, one row per
// change, with the line each record came from, and the domain table of the
// grouping. Rows are collected while a list is processed (ListChanges), then
// turned into text while the bytes they point into are still held
// (ChangeReport::Add). Nothing of this runs when no report is asked for.
//
// The text is tab-separated, every line ended by CR LF. Header:
//   file  change  record  from  related
// `file` is "list" for the members list and "exclude" for the exclude file's
// own processing; `change` is removed-excluded, removed-duplicate,
// added-include or dropped-empty; `record` holds the record's bytes as they
// stand (it may itself hold tabs: the other columns never do); `from` is
// list:LINE, include:LINE or exclude:LINE; `related` is, for
// removed-excluded, the exclude file's line that named the record
// (exclude:LINE, as the run found the file), for removed-duplicate the line
// of the record that was kept, else empty. Lines count from 1 in the files
// as the run found them.
#ifndef GRENFEL_MEMBERLIST_CHANGE_REPORT_H_
#define GRENFEL_MEMBERLIST_CHANGE_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memberlist/entries.h"

namespace grenfel {

enum class ReportedFile { kList, kExclude };

// The changes of one list's processing, as views into its files' bytes.
class ListChanges {
 public:
  ListChanges(ReportedFile file, std::string_view listBytes) : file_(file), list_(listBytes) {}

  void SetInclude(std::string_view includeBytes) { include_ = includeBytes; }
  // Lines read from the list file itself; those read after it came from the
  // include file.
  void SetListLines(int64_t lines) { listLines_ = lines; }

  // The `line`-th line read (list, then include) was an empty record.
  void EmptyRecord(int64_t line) { emptyLines_.push_back(line); }
  // Records blanked by the exclusion, in reading order.
  std::vector<ExcludedEntry>* excluded() { return &excluded_; }

  // The writing walk, in written order.
  void HeadLineWritten(std::string_view line) {
    if (file_ == ReportedFile::kExclude) written_.push_back(line.data());
  }
  void RecordWritten(std::string_view record) {
    if (lastWritten_ == nullptr) rowsBeforeFirstRecord_ = walk_.size();
    lastWritten_ = record.data();
    if (file_ == ReportedFile::kExclude) {
      written_.push_back(record.data());
    } else if (InInclude(record.data())) {
      walk_.push_back({record, nullptr});
    }
  }
  void DuplicateDropped(std::string_view record, std::string_view kept) {
    walk_.push_back({record, kept.data()});
  }

  // Changes of the same files, none yet: for a part of the work done on
  // another thread, added here once it is done.
  ListChanges EmptyPart() const;
  // Lines read on another thread, numbered from 1 there, whose first line
  // is the one after line `linesBefore` here.
  void AddLinesReadAfter(const ListChanges& later, int64_t linesBefore);
  // A part of the writing walk, walked on its own from the record before it,
  // added after the parts before it. Until the part wrote a record, what it
  // saw as the record kept before a repeat was the one before the part,
  // which may itself have been dropped: such rows name the record written
  // last here instead.
  void AddPartOfWalk(const ListChanges& part);

 private:
  friend class ChangeReport;
  struct WalkRow {
    std::string_view record;
    const char* kept;  // null for added-include
  };
  bool InInclude(const char* at) const {
    return !include_.empty() && at >= include_.data() && at < include_.data() + include_.size();
  }

  ReportedFile file_;
  std::string_view list_;
  std::string_view include_;
  int64_t listLines_ = 0;
  std::vector<int64_t> emptyLines_;
  std::vector<ExcludedEntry> excluded_;
  std::vector<WalkRow> walk_;
  std::vector<const char*> written_;  // exclude file: where each written line came from
  // The last record the walk wrote (null: none yet), and the rows of the
  // walk before its first.
  const char* lastWritten_ = nullptr;
  size_t rowsBeforeFirstRecord_ = 0;
};

// One group of the grouping, in group order.
struct DomainRow {
  std::string domain;
  int64_t members = 0;
  int64_t sessions = 0;
};

class ChangeReport {
 public:
  ChangeReport();

  // Turns the changes of one processed list into rows. The bytes the changes
  // point into must still be held. The exclude file comes first: its written
  // lines give the exclude keys, whose lines the list's rows name.
  void Add(const ListChanges& changes);

  // The second table, after one empty line.
  void AddDomains(const std::vector<DomainRow>& domains);

  const std::string& text() const { return text_; }

 private:
  // Where the records of each kind of row came from.
  struct RowPlaces;
  static RowPlaces FindPlaces(const ListChanges& changes);

  std::string text_;
  // For each exclude key (a line of the exclude file as the run used it), its
  // line in the file as the run found it; empty when the file was not
  // rewritten, as its lines then stand where they stood.
  std::vector<int64_t> excludeLineOfKey_;
};

}  // namespace grenfel

#endif  // GRENFEL_MEMBERLIST_CHANGE_REPORT_H_
