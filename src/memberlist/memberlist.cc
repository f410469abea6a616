// ProcessList: reads a list and its include list, filters, sorts, removes
// repeats and writes the list back through its companion.
#include "memberlist/memberlist.h"

#include <memory>
#include <vector>

#include "memberlist/change_report.h"
#include "memberlist/entries.h"
#include "memberlist/list_checks.h"
#include "memberlist/list_writer.h"
#include "services/console.h"
#include "services/rewrite.h"
#include "services/string_file.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

constexpr size_t kClosedTestBytes = 65536;

std::string Plural(int64_t count, std::string_view noun, std::string_view ending) {
  return std::string(noun) + (count == 1 ? "" : "s") + std::string(ending);
}

bool IsErrorsToLine(std::string_view line) {
  // Only "+" upper-cases to "+": most lines are settled by their first byte.
  return line.size() >= 12 && line[0] == '+' && EqualUpper(line.substr(0, 12), "+ERRORS-TO:=");
}

// The exclusion while the records are read: the exclude table (null: no
// exclusion) and the notes of what it blanked.
struct ReadExclusion {
  const ExcludeTable* table = nullptr;
  ExclusionNotes* notes = nullptr;
};

// Entries are looked up in batches as they are read, while their texts are
// still in the cache.
constexpr size_t kExclusionBatch = 1024;

// Reads `lines` of the list file into the head block and the entries, each
// entry into the room made for it from `*next` on, blanking those that the
// exclusion names; `state` receives the counts, the flags and the head
// lines. With `membersOnly`, stops and returns false at the first line that
// changes how the lines after it are read: an errors-to line.
bool ReadListPart(std::string_view lines, EntryStore* entries, size_t* next, MemberList* state,
                  bool membersOnly, const ReadExclusion& exclusion) {
  // The counts of each line are kept here and handed back at the end: the
  // other thread's counts may share a cache line with *next or *state, and
  // a write per line to either would pass that line between the cores.
  size_t index = *next;
  int64_t linesRead = state->linesRead;
  auto handBack = [&] {
    *next = index;
    state->linesRead = linesRead;
  };
  size_t unfiltered = index;
  auto filterRead = [&] {
    if (exclusion.table != nullptr) {
      BlankExcludedRange(*exclusion.table, entries, unfiltered, index, exclusion.notes);
    }
    unfiltered = index;
  };
  LineReader reader(lines);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    if (index - unfiltered >= kExclusionBatch) filterRead();
    if (IsErrorsToLine(line)) {
      if (membersOnly) {
        handBack();
        return false;
      }
      ++linesRead;
      state->head.push_back(line);
      state->closedFlag = 1;
      continue;
    }
    ++linesRead;
    if (state->closedFlag != 0 && !state->closedLineSeen) {
      state->head.push_back(line);
      if (EqualUpper(line, "CLOSED")) state->closedLineSeen = true;
      continue;
    }
    std::string_view record = TrimBlanks(line);
    if (!record.empty() && record[0] == '+') state->hasPlusRecord = true;
    if (record.size() == 6 && EqualUpper(record, "CLOSED")) {
      state->closedRecords.emplace_back(index, linesRead);
    }
    entries->Set(index++, record);
    if (state->changes != nullptr && record.empty()) state->changes->EmptyRecord(linesRead);
  }
  filterRead();
  handBack();
  return true;
}

// Reads the list file's lines. The lines after the first line end past the
// middle are read on the other thread, into room of their own behind that
// of the first ones, as members, with line numbers of their own for the
// report; where the first part leaves the head block open, or the second
// meets an errors-to line, they are read again after the first ones.
// `mostLines` is MostLines(readable), the room reserved for them.
void ReadListLines(std::string_view readable, size_t mostLines, MemberList* list,
                   const ReadExclusion& exclusion) {
  EntryStore& entries = list->entries;
  LineHalves halves{readable, {}};
  if (!list->oneThread) halves = SplitAtMiddleLine(readable);
  // A first part that was cut off ends with a line end: no line follows
  // its last CR, and the second part has the rest of the room.
  const size_t firstRoom = halves.second.empty() ? mostLines : MostLines(halves.first) - 1;
  const size_t secondRoom = mostLines - firstRoom;
  size_t next = entries.size();
  const size_t secondStart = next + firstRoom;
  entries.Grow(firstRoom + secondRoom);
  MemberList second;  // the second part's counts; its entries go into the list's
  std::unique_ptr<ListChanges> secondChanges;
  if (list->changes != nullptr) {
    secondChanges = std::make_unique<ListChanges>(list->changes->EmptyPart());
    second.changes = secondChanges.get();
  }
  ExclusionNotes secondNotes;
  secondNotes.keepRecords = exclusion.notes != nullptr && exclusion.notes->keepRecords;
  const ReadExclusion secondExclusion{exclusion.table, &secondNotes};
  size_t secondNext = secondStart;
  bool secondRead = false;
  ForBothHalves(0, halves.second.empty() ? 0 : readable.size(), [&](size_t, size_t, int half) {
    if (half == 0) {
      ReadListPart(halves.first, &entries, &next, list, false, exclusion);
    } else if (!halves.second.empty()) {
      secondRead =
          ReadListPart(halves.second, &entries, &secondNext, &second, true, secondExclusion);
    }
  });
  const bool headOpen = list->closedFlag != 0 && !list->closedLineSeen;
  if (!halves.second.empty() && (!secondRead || headOpen)) {
    ReadListPart(halves.second, &entries, &next, list, false, exclusion);
  } else if (!halves.second.empty()) {
    const size_t count = secondNext - secondStart;
    entries.MoveDown(secondStart, count, next);
    for (const auto& [index, lineNumber] : second.closedRecords) {
      list->closedRecords.emplace_back(index - secondStart + next, list->linesRead + lineNumber);
    }
    if (secondChanges) list->changes->AddLinesReadAfter(*secondChanges, list->linesRead);
    list->linesRead += second.linesRead;
    list->hasPlusRecord = list->hasPlusRecord || second.hasPlusRecord;
    if (exclusion.notes != nullptr) exclusion.notes->Append(secondNotes);
    next += count;
  }
  entries.Truncate(next);
}

// The line of the first record "CLOSED" that the exclusion left, or 0.
int64_t FirstClosedRecordLeft(const MemberList& list) {
  for (const auto& [index, lineNumber] : list.closedRecords) {
    if (!list.entries.Text(index).empty()) return lineNumber;
  }
  return 0;
}

void ReadIncludeLines(std::string_view readable, MemberList* list, const ReadExclusion& exclusion) {
  const size_t first = list->entries.size();
  LineReader reader(readable);
  std::string_view line;
  while (reader.ReadLine(&line)) {
    ++list->linesRead;
    std::string_view record = TrimBlanks(line);
    if (!record.empty() && record[0] == '+') list->hasPlusRecord = true;
    list->entries.Add(record);
    if (list->changes != nullptr && record.empty()) list->changes->EmptyRecord(list->linesRead);
  }
  if (exclusion.table != nullptr) {
    BlankExcludedRange(*exclusion.table, &list->entries, first, list->entries.size(),
                       exclusion.notes);
  }
}

// Shows the filtering of the entries that the exclude keys named, which
// were blanked as they were read; returns how many. They were not blanked
// key by key, so the title could not follow the work as it went: the counts
// per key are replayed now, as a scan key by key would have shown them, at
// the pace the clock allows.
int64_t FilterEntries(const ExcludeTable& table, const ExclusionNotes& notes,
                      ListChanges* changes) {
  PrintText(", Filtering");
  const ExcludeKeys& excludeKeys = *table.keys;
  std::vector<int64_t> countAfterKey;
  int64_t filteredCount = CountExcluded(table, notes, &countAfterKey);
  if (changes != nullptr) {
    changes->excluded()->insert(changes->excluded()->end(), notes.records.begin(),
                                notes.records.end());
  }
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
// sorted form), their table, and the file itself, held until the list is
// written.
struct ExcludeList {
  bool active = false;
  ExcludeKeys keys;
  std::unique_ptr<HeldFile> file;
  // A dry run leaves the exclude file as it is and takes its keys from the
  // form it would have been given.
  std::string written;
  // Made, like the keys, on a helper thread while the list is opened;
  // read only through Table(). `making` goes first, waiting for it.
  ExcludeTable table;
  WorkAside making;

  const ExcludeTable& Table() {
    making.Wait();
    return table;
  }
  // The keys are no longer needed; the file stays held.
  void ReleaseKeys() {
    making.Wait();
    table = ExcludeTable();
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
  // The keys are the lines of its sorted form, trimmed.
  const std::string_view sorted =
      ReadablePart(mode.dryRun ? std::string_view(exclude->written) : exclude->file->bytes());
  const size_t lines = static_cast<size_t>(prepared.linesRead);
  exclude->making.Start(lines, [exclude, sorted, lines] {
    // Room for every key at once: growing as they come copied the keys
    // over and over, and the main thread waited for it.
    exclude->keys.Reserve(lines);
    LineReader reader(sorted);
    std::string_view line;
    while (reader.ReadLine(&line)) exclude->keys.Add(TrimBlanks(line));
    exclude->table = MakeExcludeTable(exclude->keys);
  });
  return prepared;
}

// One list while RewriteList works on it: the file, held from its first
// read to the end of its rewrite; its companion (none in a dry run); the
// include file; the report's rows; the records.
struct ListRun {
  std::unique_ptr<HeldFile> listFile;
  std::unique_ptr<ListRewrite> rewrite;
  std::unique_ptr<FileData> includeData;
  // The readable parts of the list and include files, found once.
  std::string_view listReadable, includeReadable;
  std::unique_ptr<ListChanges> changes;
  MemberList list;
  ExclusionNotes excluded;    // what the exclude list blanked as the records were read
  int64_t listLinesRead = 0;  // the lines of the list file, without the include file's
};

// Opens and checks the list and claims its companion: the companion marks
// the list as being changed from before it is read until it has been
// written. A dry run claims no companion, but is refused where the run
// would be.
RunFailure OpenAndClaim(FileSystem* fs, const std::string& listName, ListRole role,
                        const ListRunMode& mode, ListRun* run) {
  RunFailure failure = OpenListFile(fs, listName, role, &run->listFile, &run->listReadable);
  if (!failure.ok()) return failure;
  std::string_view listBytes = run->listFile->bytes();
  failure = CheckLineEnds(run->listReadable, listName, role);
  if (!failure.ok()) return failure;
  run->list.closedFlag = IsClosedText(listBytes.substr(0, kClosedTestBytes));
  if (run->list.closedFlag != 0) {
    PrintText("* Closed list found - protecting moderators.");
    PrintLineEnd();
  }
  const std::string companionName = CompanionName(listName);
  HeldFile* held = run->listFile.get();
  return mode.dryRun ? ListRewrite::Preview(fs, listName, companionName, held)
                     : ListRewrite::Begin(fs, listName, companionName, held, &run->rewrite);
}

// Reads the include file (checked before any record is taken) and the
// records of both files into the list, blanking those that an active
// exclude list names.
RunFailure ReadRecords(FileSystem* fs, const std::string& includeName, ListRole role,
                       const ListRunMode& mode, ExcludeList* exclude, ListRun* run) {
  if (!includeName.empty()) {
    RunFailure failure =
        ReadListFile(fs, includeName, ListRole::kInclude, &run->includeData, &run->includeReadable);
    if (failure.ok()) {
      failure = CheckLineEnds(run->includeReadable, includeName, ListRole::kInclude);
    }
    if (failure.ok()) failure = CheckIncludeLines(run->includeReadable, includeName);
    if (!failure.ok()) return failure;
  }
  MemberList& list = run->list;
  list.oneThread = mode.oneThread;
  const size_t listLines = list.entries.ReserveForLines(run->listReadable);
  if (run->includeData) list.entries.ReserveForLines(run->includeReadable);
  if (mode.report != nullptr) {
    run->changes = std::make_unique<ListChanges>(
        role == ListRole::kExclude ? ReportedFile::kExclude : ReportedFile::kList,
        run->listFile->bytes());
    if (run->includeData) run->changes->SetInclude(run->includeData->bytes());
    list.changes = run->changes.get();
  }
  ReadExclusion exclusion;
  if (exclude != nullptr && exclude->active) {
    run->excluded.keepRecords = run->changes != nullptr;
    exclusion = {&exclude->Table(), &run->excluded};
  }
  list.entries.AddBuffer(run->listReadable);
  ReadListLines(run->listReadable, listLines, &list, exclusion);
  run->listLinesRead = list.linesRead;
  if (run->changes) run->changes->SetListLines(list.linesRead);
  if (run->includeData) {
    list.entries.AddBuffer(run->includeReadable);
    ReadIncludeLines(run->includeReadable, &list, exclusion);
  }
  return RunFailure::None();
}

// Writes the sorted records into the companion (or into memory) and, in a
// real run, commits the companion to the list.
RunFailure WriteAndCommit(const std::string& listName, bool removeDuplicates,
                          const ListRunMode& mode, ListRun* run, WriteResult* written) {
  // A dry run writes into memory, or nowhere when nothing looks at it.
  std::unique_ptr<WritableFile> out;
  if (mode.dryRun) {
    out = std::make_unique<StringWritableFile>(mode.writtenList);
  } else if (mode.writtenList != nullptr) {
    out = std::make_unique<CopyingWritableFile>(run->rewrite->contents(), mode.writtenList);
  }
  *written = WriteRecords(listName, run->list, removeDuplicates,
                          out ? out.get() : run->rewrite->contents());
  // The report's rows are views of the files' bytes, still held here.
  if (run->changes) mode.report->Add(*run->changes);
  // The records are views of the files' bytes: let them go before the list
  // is written again from the companion.
  run->list = MemberList();
  run->changes.reset();
  run->includeData.reset();
  out.reset();
  if (mode.dryRun) return RunFailure::None();
  if (written->status.ok() && mode.beforeCut) {
    RunFailure failure = mode.beforeCut();
    if (!failure.ok()) {
      run->rewrite->Abandon();
      return failure;
    }
  }
  return run->rewrite->Commit(written->status);
}

void PrintRemovedCounts(int64_t duplicateCount, int64_t filteredCount) {
  if (duplicateCount > 0) {
    PrintText("   Removed " + NumberText(static_cast<double>(duplicateCount)) + " " +
              Plural(duplicateCount, "duplicate record", "."));
    PrintLineEnd();
  }
  if (filteredCount > 0) {
    PrintText("   Filtered " + NumberText(static_cast<double>(filteredCount)) + " " +
              Plural(filteredCount, "excluded record", "."));
    PrintLineEnd();
  }
}

// Reads, filters by `exclude` (null or inactive: no exclusion), sorts and
// rewrites one list; `role` only decides how a failure to read it is
// worded. With `keep`, the list is handed back still held (and read again
// when it was rewritten) instead of being closed.
ListOutcome RewriteList(FileSystem* fs, const std::string& listName, const std::string& includeName,
                        bool removeDuplicates, ListRole role, const ListRunMode& mode,
                        ExcludeList* exclude, std::unique_ptr<HeldFile>* keep) {
  ListRun run;
  RunFailure failure = OpenAndClaim(fs, listName, role, mode, &run);
  if (failure.ok()) failure = ReadRecords(fs, includeName, role, mode, exclude, &run);
  if (!failure.ok()) return {0, failure};
  MemberList& list = run.list;
  const int32_t linesRead = static_cast<int32_t>(list.linesRead);

  // One line or none: nothing to do, unless it came from the include file
  // or is a record that the exclude list names.
  const bool excludeActive = exclude != nullptr && exclude->active;
  bool includeGaveLine = list.linesRead > run.listLinesRead;
  bool excludeNamesRecord =
      excludeActive && list.entries.size() == 2 && !run.excluded.namingKeys.empty();
  if (list.linesRead <= 1 && !includeGaveLine && !excludeNamesRecord) {
    if (run.rewrite) run.rewrite->Abandon();
    if (mode.writtenList != nullptr) mode.writtenList->assign(run.listFile->bytes());
    if (keep != nullptr) *keep = std::move(run.listFile);
    return {linesRead, RunFailure::None()};
  }

  PrintText("* \"" + listName + "\" has " + NumberText(static_cast<double>(list.linesRead)) +
            " records.");
  PrintLineEnd();
  PrintText("   Reading");

  int64_t filteredCount = 0;
  if (excludeActive) filteredCount = FilterEntries(exclude->Table(), run.excluded, list.changes);
  if (exclude != nullptr) exclude->ReleaseKeys();
  int64_t closedRecordLine = list.closedFlag == 0 ? FirstClosedRecordLeft(list) : 0;

  SetTitle(std::string(kTitlePrefix) + "Sorting");
  PrintText(", Sorting");
  list.entries.SortDescendingFolded(/*linesMatter=*/list.changes != nullptr);

  SetTitle(std::string(kTitlePrefix) + "Writing " + listName);
  PrintText(", Writing.");
  PrintLineEnd();
  if (closedRecordLine != 0) {
    return {linesRead, ClosedRecordRefusal(listName, role, closedRecordLine)};
  }
  WriteResult written;
  failure = WriteAndCommit(listName, removeDuplicates, mode, &run, &written);
  if (!failure.ok()) return {linesRead, failure};
  if (keep != nullptr && !mode.dryRun) {
    // The exclude list's keys come from what was just written, read through
    // the same held descriptor.
    Status s = run.listFile->Reload();
    if (!s.ok()) {
      return {linesRead,
              RunFailure::Of(FailedStep::kReadSortedExclude, s, listName, ListRole::kExclude)};
    }
  }
  if (keep != nullptr) *keep = std::move(run.listFile);
  PrintRemovedCounts(written.duplicateCount, filteredCount);
  return {linesRead, RunFailure::None()};
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
