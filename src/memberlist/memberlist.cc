// ProcessList: reads a list and its include list, filters, sorts, removes
// repeats and writes the list back through its companion.
#include "memberlist/memberlist.h"

#include <cstring>
#include <memory>
#include <vector>

#include "memberlist/change_report.h"
#include "memberlist/entries.h"
#include "memberlist/list_checks.h"
#include "services/console.h"
#include "services/rewrite.h"
#include "services/string_file.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

constexpr size_t kClosedTestBytes = 65536;
constexpr std::string_view kTitlePrefix = "Grenfel : ";

std::string Plural(int64_t count, std::string_view noun, std::string_view ending) {
  return std::string(noun) + (count == 1 ? "" : "s") + std::string(ending);
}

bool IsErrorsToLine(std::string_view line) {
  return line.size() >= 12 && EqualUpper(line.substr(0, 12), "+ERRORS-TO:=");
}

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
};

void ReadListLines(std::string_view bytes, MemberList* list) {
  LineReader reader(bytes);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    ++list->linesRead;
    if (IsErrorsToLine(line)) {
      list->head.push_back(line);
      list->closedFlag = 1;
      continue;
    }
    if (list->closedFlag != 0 && !list->closedLineSeen) {
      list->head.push_back(line);
      if (EqualUpper(line, "CLOSED")) list->closedLineSeen = true;
      continue;
    }
    std::string_view record = TrimBlanks(line);
    if (!record.empty() && record[0] == '+') list->hasPlusRecord = true;
    if (record.size() == 6 && EqualUpper(record, "CLOSED")) {
      list->closedRecords.emplace_back(list->entries.size(), list->linesRead);
    }
    list->entries.Add(record);
    if (list->changes != nullptr && record.empty()) list->changes->EmptyRecord(list->linesRead);
  }
}

// The line of the first record "CLOSED" that the exclusion left, or 0.
int64_t FirstClosedRecordLeft(const MemberList& list) {
  for (const auto& [index, lineNumber] : list.closedRecords) {
    if (!list.entries.Text(index).empty()) return lineNumber;
  }
  return 0;
}

void ReadIncludeLines(std::string_view bytes, MemberList* list) {
  LineReader reader(bytes);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    ++list->linesRead;
    std::string_view record = TrimBlanks(line);
    if (!record.empty() && record[0] == '+') list->hasPlusRecord = true;
    list->entries.Add(record);
    if (list->changes != nullptr && record.empty()) list->changes->EmptyRecord(list->linesRead);
  }
}

// Blanks every entry that an exclude key names; returns how many. The
// entries are blanked in one pass over them, not key by key, so the title
// cannot follow the work as it goes: the counts per key are replayed after
// it, as a scan key by key would have shown them, at the pace the clock
// allows.
int64_t FilterEntries(const ExcludeKeys& excludeKeys, EntryStore* entries, ListChanges* changes) {
  PrintText(", Filtering");
  std::vector<int64_t> countAfterKey;
  int64_t filteredCount = BlankExcluded(excludeKeys, entries, &countAfterKey,
                                        changes != nullptr ? changes->excluded() : nullptr);
  if (excludeKeys.size() == 0 || excludeKeys.Key(0).empty()) return 0;
  TitleClock clock;
  for (size_t k = 0; k < excludeKeys.size(); ++k) {
    if (!clock.Due()) continue;
    int64_t shown = k == 0 ? 0 : countAfterKey[k - 1];
    SetTitle(std::string(kTitlePrefix) + "Filtering [" + NumberText(static_cast<double>(shown)) +
             " " + Plural(shown, "record", " removed]"));
  }
  return filteredCount;
}

struct WriteResult {
  int64_t duplicateCount = 0;
  Status status;
};

constexpr int64_t kPrefetchDistance = 16;

// The records at indices `from` down to `to` (>= 0), formatted as
// WriteRecords writes them when no record starts with "+" (every line
// prefix is empty), after a record `lastWritten`.
int64_t FormatRecords(const EntryStore& entries, int64_t from, int64_t to,
                      std::string_view lastWritten, bool removeDuplicates, std::string* out) {
  int64_t duplicates = 0;
  for (int64_t index = from; index >= to; --index) {
    if (index - kPrefetchDistance >= to) {
      entries.Prefetch(static_cast<size_t>(index - kPrefetchDistance));
    }
    std::string_view entry = entries.Text(static_cast<size_t>(index));
    if (entry.empty()) continue;
    if (removeDuplicates && std::memchr(entry.data(), '@', entry.size()) != nullptr &&
        EqualUpper(entry, lastWritten)) {
      ++duplicates;
      continue;
    }
    out->append(entry);
    out->append("\r\n");
    lastWritten = entry;
  }
  return duplicates;
}

// The records of WriteRecords, for a long list with no record starting with
// "+" and no change report: formatted in parts on two threads, written in
// order. The walk needs only the record before each part: the empty entries
// sort last, so that record is the entry just before the part unless the
// part begins among the empties; and where that entry was dropped as a
// repeat, it equals, in upper case, the record that was written.
void WriteRecordsOnTwoThreads(const std::string& listName, const EntryStore& entries,
                              bool removeDuplicates, WritableFile* out, WriteResult* result) {
  constexpr int64_t kPartLength = int64_t{1} << 15;
  const int64_t last = static_cast<int64_t>(entries.size()) - 2;
  int64_t lastNonEmpty = last;
  while (lastNonEmpty >= 0 && entries.Text(static_cast<size_t>(lastNonEmpty)).empty()) {
    --lastNonEmpty;
  }
  const size_t parts = static_cast<size_t>((last + kPartLength) / kPartLength);
  std::vector<int64_t> duplicates(parts, 0);
  TitleClock clock;
  const std::string titleStart = std::string(kTitlePrefix) + "Writing " + listName + " [";
  FormatChunksInOrder(
      parts,
      [&](size_t part, std::string* bytes) {
        const int64_t from = last - static_cast<int64_t>(part) * kPartLength;
        const int64_t to = std::max<int64_t>(from - kPartLength + 1, 0);
        std::string_view before =
            from < lastNonEmpty ? entries.Text(static_cast<size_t>(from + 1)) : std::string_view();
        duplicates[part] = FormatRecords(entries, from, to, before, removeDuplicates, bytes);
      },
      [&, next = last](std::string_view bytes) mutable {
        if (result->status.ok()) result->status = out->Append(bytes);
        next -= kPartLength;
        if (clock.Moved() && next >= 0) {
          SetTitle(titleStart + NumberText(static_cast<double>(next)) + "]");
        }
      });
  for (int64_t count : duplicates) result->duplicateCount += count;
}

// Writes the head block, then the records ascending (the array is sorted
// descending, so it is walked backwards), without empties and, under /ND,
// without an address that repeats the record written just before it.
WriteResult WriteRecords(const std::string& listName, const MemberList& list, bool removeDuplicates,
                         WritableFile* out) {
  WriteResult result;
  auto append = [&](std::string_view bytes) {
    if (result.status.ok()) result.status = out->Append(bytes);
  };
  ListChanges* changes = list.changes;
  for (std::string_view line : list.head) {
    append(line);
    append("\r\n");
    if (changes != nullptr) changes->HeadLineWritten(line);
  }
  const EntryStore& entries = list.entries;
  if (changes == nullptr && !list.hasPlusRecord && entries.size() >= kTwoThreadMinimum) {
    WriteRecordsOnTwoThreads(listName, entries, removeDuplicates, out, &result);
    return result;
  }
  std::string_view linePrefix;
  std::string_view lastWritten;
  TitleClock clock;
  std::string titleStart = std::string(kTitlePrefix) + "Writing " + listName + " [";
  // Signed before subtracting: a list held wholly in its head block has only
  // the entry at index 0, and size() - 2 in a 32-bit size_t is four billion.
  for (int64_t index = static_cast<int64_t>(entries.size()) - 2; index >= 0 && result.status.ok();
       --index) {
    if (index >= kPrefetchDistance)
      entries.Prefetch(static_cast<size_t>(index - kPrefetchDistance));
    if (clock.Due()) SetTitle(titleStart + NumberText(static_cast<double>(index)) + "]");
    std::string_view entry = entries.Text(static_cast<size_t>(index));
    if (entry.empty()) continue;
    if (std::memchr(entry.data(), '@', entry.size()) != nullptr) {
      if (removeDuplicates && EqualUpper(entry, lastWritten)) {
        ++result.duplicateCount;
        if (changes != nullptr) changes->DuplicateDropped(entry, lastWritten);
        continue;
      }
      if (list.hasPlusRecord) linePrefix = entry[0] == '+' ? "" : " ";
    }
    append(linePrefix);
    append(entry);
    append("\r\n");
    if (changes != nullptr) changes->RecordWritten(entry);
    lastWritten = entry;
  }
  return result;
}

}  // namespace

int32_t IsClosedText(std::string_view firstBytes) {
  std::string text = UpperCase(firstBytes.substr(0, kClosedTestBytes));
  std::string_view view = text;
  if (view.substr(0, 8) == "CLOSED\r\n") return 1;
  if (view.size() >= 8 && view.substr(view.size() - 8) == "\r\nCLOSED") return 1;
  return static_cast<int32_t>(FindText(1, view, "\r\nCLOSED\r\n"));
}

std::string CompanionName(std::string_view listName) {
  int64_t dot = FindText(-1, listName, ".");
  std::string name = dot > 0 ? std::string(listName.substr(0, static_cast<size_t>(dot))) + "TMP"
                             : std::string(listName) + ".TMP";
  if (EqualUpper(name, listName)) name.pop_back();
  return name;
}

namespace {

// The exclude list while the list is processed: its keys (views of its
// sorted form), and the file itself, held until the list is written.
struct ExcludeList {
  bool active = false;
  ExcludeKeys keys;
  std::unique_ptr<HeldFile> file;
  // A dry run leaves the exclude file as it is and takes its keys from the
  // form it would have been given.
  std::string written;

  // The keys are no longer needed; the file stays held.
  void ReleaseKeys() {
    keys = ExcludeKeys();
    if (file) file->ReleaseBytes();
    std::string().swap(written);
  }
};

ListOutcome RewriteList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        bool removeDuplicates, ListRole role, const ListRunMode& mode,
                        ExcludeList* exclude, std::unique_ptr<HeldFile>* keep);

// The exclude list is itself a list: it is sorted and rewritten first, like
// any list but with no include or exclude list of its own, and then every
// line of its new form is a key, trimmed. A failure to read it is worded for
// the exclude file. An exclude file that does not exist gives no keys.
ListOutcome PrepareExcludeList(FileSystem* fs, const std::string& excludeName,
                               bool removeDuplicates, const ListRunMode& mode,
                               ExcludeList* exclude) {
  ListRunMode excludeMode;
  excludeMode.dryRun = mode.dryRun;
  excludeMode.report = mode.report;
  if (mode.dryRun) excludeMode.writtenList = &exclude->written;
  ListOutcome prepared = RewriteList(fs, excludeName, "", removeDuplicates, ListRole::kExclude,
                                     excludeMode, nullptr, &exclude->file);
  if (!prepared.failure.ok() || prepared.linesRead == 0) return prepared;
  exclude->active = true;
  LineReader reader(mode.dryRun ? std::string_view(exclude->written) : exclude->file->bytes());
  std::string_view line;
  while (reader.ReadLine(&line)) exclude->keys.Add(TrimBlanks(line));
  return prepared;
}

// Reads, filters by `exclude` (null or inactive: no exclusion), sorts and
// rewrites one list; `role` only decides how a failure to read it is
// worded. The list is held from its first read to the end of its rewrite;
// with `keep`, it is handed back still held (and read again when it was
// rewritten) instead of being closed.
ListOutcome RewriteList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        bool removeDuplicates, ListRole role, const ListRunMode& mode,
                        ExcludeList* exclude, std::unique_ptr<HeldFile>* keep) {
  ListOutcome outcome;
  const bool excludeActive = exclude != nullptr && exclude->active;

  std::string companionName = CompanionName(listName);
  std::unique_ptr<HeldFile> listFile;
  RunFailure failure = OpenListFile(fs, listName, role, &listFile);
  if (!failure.ok()) return {0, failure};

  MemberList list;
  std::string_view listBytes = listFile->bytes();
  failure = CheckLineEnds(listBytes, listName, role);
  if (!failure.ok()) return {0, failure};
  list.closedFlag = IsClosedText(listBytes.substr(0, kClosedTestBytes));
  if (list.closedFlag != 0) {
    PrintText("* Closed list found - protecting moderators.");
    PrintLineEnd();
  }

  // The companion marks the list as being changed from before it is read
  // until it has been written.
  // A dry run claims no companion, but is refused where the run would be.
  std::unique_ptr<ListRewrite> rewrite;
  failure = mode.dryRun ? ListRewrite::Preview(fs, listName, companionName, listFile.get())
                        : ListRewrite::Begin(fs, listName, companionName, listFile.get(), &rewrite);
  if (!failure.ok()) return {0, failure};

  std::unique_ptr<FileData> includeData;
  if (!includeName.empty()) {
    failure = ReadListFile(fs, includeName, ListRole::kInclude, &includeData);
    if (failure.ok()) {
      failure = CheckLineEnds(includeData->bytes(), includeName, ListRole::kInclude);
    }
    if (failure.ok()) failure = CheckIncludeLines(includeData->bytes(), includeName);
    if (!failure.ok()) return {0, failure};
  }
  list.entries.ReserveForLines(listBytes);
  if (includeData) list.entries.ReserveForLines(includeData->bytes());
  std::unique_ptr<ListChanges> changes;
  if (mode.report != nullptr) {
    changes = std::make_unique<ListChanges>(
        role == ListRole::kExclude ? ReportedFile::kExclude : ReportedFile::kList, listBytes);
    if (includeData) changes->SetInclude(includeData->bytes());
    list.changes = changes.get();
  }
  list.entries.AddBuffer(listBytes);
  ReadListLines(listBytes, &list);
  const int64_t listLinesRead = list.linesRead;
  if (changes) changes->SetListLines(list.linesRead);
  if (includeData) {
    list.entries.AddBuffer(includeData->bytes());
    ReadIncludeLines(includeData->bytes(), &list);
  }
  outcome.linesRead = static_cast<int32_t>(list.linesRead);

  // One line or none: nothing to do, unless it came from the include file
  // or is a record that the exclude list names.
  bool includeGaveLine = list.linesRead > listLinesRead;
  bool excludeNamesRecord = excludeActive && list.entries.size() == 2 &&
                            ExcludeKeysName(exclude->keys, list.entries.Text(1));
  if (list.linesRead <= 1 && !includeGaveLine && !excludeNamesRecord) {
    if (rewrite) rewrite->Abandon();
    if (mode.writtenList != nullptr) mode.writtenList->assign(listBytes);
    if (keep != nullptr) *keep = std::move(listFile);
    return outcome;
  }

  PrintText("* \"" + listName + "\" has " + NumberText(static_cast<double>(list.linesRead)) +
            " records.");
  PrintLineEnd();
  PrintText("   Reading");

  int64_t filteredCount = 0;
  if (excludeActive) filteredCount = FilterEntries(exclude->keys, &list.entries, list.changes);
  if (exclude != nullptr) exclude->ReleaseKeys();
  int64_t closedRecordLine = list.closedFlag == 0 ? FirstClosedRecordLeft(list) : 0;

  SetTitle(std::string(kTitlePrefix) + "Sorting");
  PrintText(", Sorting");
  list.entries.SortDescendingFolded(/*linesMatter=*/list.changes != nullptr);

  SetTitle(std::string(kTitlePrefix) + "Writing " + listName);
  PrintText(", Writing.");
  PrintLineEnd();
  if (closedRecordLine != 0) {
    return {outcome.linesRead, ClosedRecordRefusal(listName, role, closedRecordLine)};
  }
  // A dry run writes into memory, or nowhere when nothing looks at it.
  std::unique_ptr<WritableFile> out;
  if (mode.dryRun) {
    out = std::make_unique<StringWritableFile>(mode.writtenList);
  } else if (mode.writtenList != nullptr) {
    out = std::make_unique<CopyingWritableFile>(rewrite->contents(), mode.writtenList);
  }
  WriteResult written =
      WriteRecords(listName, list, removeDuplicates, out ? out.get() : rewrite->contents());
  // The report's rows are views of the files' bytes, still held here.
  if (changes) mode.report->Add(*changes);
  // The records are views of the files' bytes: let them go before the list
  // is written again from the companion.
  list = MemberList();
  changes.reset();
  includeData.reset();
  out.reset();
  if (mode.dryRun) {
    if (keep != nullptr) *keep = std::move(listFile);
  } else {
    if (written.status.ok() && mode.beforeCut) {
      failure = mode.beforeCut();
      if (!failure.ok()) {
        rewrite->Abandon();
        return {outcome.linesRead, failure};
      }
    }
    failure = rewrite->Commit(written.status);
    if (!failure.ok()) return {outcome.linesRead, failure};
  }
  if (keep != nullptr && !mode.dryRun) {
    // The exclude list's keys come from what was just written, read through
    // the same held descriptor.
    Status s = listFile->Reload();
    if (!s.ok()) {
      return {outcome.linesRead,
              RunFailure::Of(FailedStep::kReadSortedExclude, s, listName, ListRole::kExclude)};
    }
    *keep = std::move(listFile);
  }

  if (written.duplicateCount > 0) {
    PrintText("   Removed " + NumberText(static_cast<double>(written.duplicateCount)) + " " +
              Plural(written.duplicateCount, "duplicate record", "."));
    PrintLineEnd();
  }
  if (filteredCount > 0) {
    PrintText("   Filtered " + NumberText(static_cast<double>(filteredCount)) + " " +
              Plural(filteredCount, "excluded record", "."));
    PrintLineEnd();
  }
  return outcome;
}

}  // namespace

ListOutcome ProcessList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        const std::string& excludeName, bool removeDuplicates) {
  return ProcessList(fs, listName, includeName, excludeName, removeDuplicates, ListRunMode());
}

ListOutcome ProcessList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        const std::string& excludeName, bool removeDuplicates,
                        const ListRunMode& mode) {
  ExcludeList exclude;
  if (!excludeName.empty()) {
    ListOutcome prepared = PrepareExcludeList(fs, excludeName, removeDuplicates, mode, &exclude);
    if (!prepared.failure.ok()) return prepared;
  }
  return RewriteList(fs, listName, includeName, removeDuplicates, ListRole::kList, mode, &exclude,
                     nullptr);
}

}  // namespace grenfel
