// The change report's rows and their text: line numbers counted once per
// file, rows in a fixed order, the domain table of the grouping after them.
#include "memberlist/change_report.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "services/fileio.h"
#include "services/prefetch.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

constexpr std::string_view kHeader = "file\tchange\trecord\tfrom\trelated\r\n";

// The line numbers of many places in one file's bytes, found in one pass
// (two halves, one on each thread): a place's line is one more than the CRs
// before it (CR LF ends a line once; a bare LF is data).
class LineFinder {
 public:
  explicit LineFinder(std::string_view bytes) : bytes_(bytes) {}

  // Asks for the line of the byte at `at`, which lies in the bytes; the
  // answer goes to `*line` when Find runs.
  void Ask(const char* at, int64_t* line) {
    asks_.push_back({static_cast<size_t>(at - bytes_.data()), line});
  }

  void Find() {
    std::sort(asks_.begin(), asks_.end(),
              [](const Ask_& a, const Ask_& b) { return a.offset < b.offset; });
    // The second half counts from the last place of the first, whose line
    // is added once both are done.
    const size_t asks = asks_.size();
    ForBothHalves(0, asks, [&](size_t begin, size_t end, int) {
      size_t counted = begin == 0 ? 0 : asks_[begin - 1].offset;
      int64_t line = begin == 0 ? 1 : 0;
      for (size_t a = begin; a < end; ++a) {
        line += static_cast<int64_t>(
            CountCarriageReturns(bytes_.substr(counted, asks_[a].offset - counted)));
        counted = asks_[a].offset;
        *asks_[a].line = line;
      }
    });
    const size_t middle = MiddleOf(0, asks);
    if (middle > 0) {
      const int64_t before = *asks_[middle - 1].line;
      for (size_t a = middle; a < asks; ++a) *asks_[a].line += before;
    }
    asks_.clear();
  }

 private:
  struct Ask_ {
    size_t offset;
    int64_t* line;
  };
  std::string_view bytes_;
  std::vector<Ask_> asks_;
};

bool Within(std::string_view bytes, const char* at) {
  return !bytes.empty() && at >= bytes.data() && at < bytes.data() + bytes.size();
}

std::string_view FileWord(ReportedFile file) {
  return file == ReportedFile::kExclude ? "exclude" : "list";
}

void AppendNumber(int64_t value, std::string* text) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  text->append(digits, end.ptr);
}

}  // namespace

void ListChanges::AddLinesReadAfter(const ListChanges& later, int64_t linesBefore) {
  for (int64_t line : later.emptyLines_) emptyLines_.push_back(linesBefore + line);
}

ListChanges ListChanges::EmptyPart() const {
  ListChanges part(file_, list_);
  part.include_ = include_;
  return part;
}

void ListChanges::AddPartOfWalk(const ListChanges& part) {
  const size_t before =
      part.lastWritten_ == nullptr ? part.walk_.size() : part.rowsBeforeFirstRecord_;
  if (lastWritten_ == nullptr && part.lastWritten_ != nullptr) {
    rowsBeforeFirstRecord_ = walk_.size() + part.rowsBeforeFirstRecord_;
  }
  for (size_t i = 0; i < part.walk_.size(); ++i) {
    WalkRow row = part.walk_[i];
    if (i < before) row.kept = lastWritten_;
    walk_.push_back(row);
  }
  written_.insert(written_.end(), part.written_.begin(), part.written_.end());
  if (part.lastWritten_ != nullptr) lastWritten_ = part.lastWritten_;
}

ChangeReport::ChangeReport() : text_(kHeader) {}

namespace {

// Where a record came from: its file and its line.
struct Place {
  bool include = false;
  int64_t line = 0;
};

}  // namespace

struct ChangeReport::RowPlaces {
  std::vector<Place> walkFrom, walkKept, excludedFrom, writtenFrom;
};

ChangeReport::RowPlaces ChangeReport::FindPlaces(const ListChanges& changes) {
  const bool exclude = changes.file_ == ReportedFile::kExclude;
  LineFinder listLines(changes.list_), includeLines(changes.include_);
  auto ask = [&](const char* at, Place* place) {
    place->include = Within(changes.include_, at);
    (place->include ? includeLines : listLines).Ask(at, &place->line);
  };
  RowPlaces places;
  places.walkFrom.resize(changes.walk_.size());
  places.walkKept.resize(changes.walk_.size());
  for (size_t i = 0; i < changes.walk_.size(); ++i) {
    ask(changes.walk_[i].record.data(), &places.walkFrom[i]);
    if (changes.walk_[i].kept != nullptr) ask(changes.walk_[i].kept, &places.walkKept[i]);
  }
  places.excludedFrom.resize(changes.excluded_.size());
  for (size_t i = 0; i < changes.excluded_.size(); ++i) {
    ask(changes.excluded_[i].record.data(), &places.excludedFrom[i]);
  }
  if (exclude) {
    places.writtenFrom.resize(changes.written_.size());
    for (size_t i = 0; i < changes.written_.size(); ++i) {
      ask(changes.written_[i], &places.writtenFrom[i]);
    }
  }
  // The places' lines are filled in here, one pass over each file.
  listLines.Find();
  includeLines.Find();
  return places;
}

void ChangeReport::Add(const ListChanges& changes) {
  const bool exclude = changes.file_ == ReportedFile::kExclude;
  const RowPlaces places = FindPlaces(changes);
  const std::vector<Place>& walkFrom = places.walkFrom;
  const std::vector<Place>& walkKept = places.walkKept;
  const std::vector<Place>& excludedFrom = places.excludedFrom;

  // Each row is appended in place: a report can hold millions.
  size_t rowBytes = 0;
  constexpr size_t kRowFrame = 64;  // a row but its record, or more
  for (const ListChanges::WalkRow& walked : changes.walk_) rowBytes += walked.record.size();
  for (const ExcludedEntry& excluded : changes.excluded_) rowBytes += excluded.record.size();
  rowBytes +=
      kRowFrame * (changes.walk_.size() + changes.excluded_.size() + changes.emptyLines_.size());
  text_.reserve(text_.size() + rowBytes);

  const std::string_view fileWord = FileWord(changes.file_);
  // A place as a row names it, "list:LINE" and the like; none when `word`
  // is empty.
  struct PlaceText {
    std::string_view word;
    int64_t line = 0;
  };
  auto placeOf = [&](const Place& place) {
    return PlaceText{place.include ? "include" : exclude ? "exclude" : "list", place.line};
  };
  auto appendPlace = [&](const PlaceText& place) {
    if (place.word.empty()) return;
    text_ += place.word;
    text_ += ':';
    AppendNumber(place.line, &text_);
  };
  // `start` is the row's file and change, each followed by a tab.
  auto row = [&](const std::string& start, std::string_view record, const PlaceText& from,
                 const PlaceText& related) {
    text_ += start;
    text_ += record;
    text_ += '\t';
    appendPlace(from);
    text_ += '\t';
    appendPlace(related);
    text_ += "\r\n";
  };
  auto startOf = [&](std::string_view change) {
    return std::string(fileWord) + '\t' + std::string(change) + '\t';
  };
  // The records lie all over the files: each is asked for a few rows ahead.
  constexpr size_t kRecordAhead = 8;

  const std::string added = startOf("added-include"), repeated = startOf("removed-duplicate");
  for (size_t i = 0; i < changes.walk_.size(); ++i) {
    if (i + kRecordAhead < changes.walk_.size()) {
      Prefetch(changes.walk_[i + kRecordAhead].record.data());
    }
    const ListChanges::WalkRow& walked = changes.walk_[i];
    if (walked.kept == nullptr) {
      row(added, walked.record, placeOf(walkFrom[i]), {});
    } else {
      row(repeated, walked.record, placeOf(walkFrom[i]), placeOf(walkKept[i]));
    }
  }
  const std::string excluded = startOf("removed-excluded");
  for (size_t i = 0; i < changes.excluded_.size(); ++i) {
    if (i + kRecordAhead < changes.excluded_.size()) {
      Prefetch(changes.excluded_[i + kRecordAhead].record.data());
    }
    uint32_t key = changes.excluded_[i].key;
    int64_t line = key < excludeLineOfKey_.size() ? excludeLineOfKey_[key] : int64_t{key} + 1;
    row(excluded, changes.excluded_[i].record, placeOf(excludedFrom[i]), {"exclude", line});
  }
  const std::string empty = startOf("dropped-empty");
  for (int64_t line : changes.emptyLines_) {
    Place place;
    place.include = line > changes.listLines_;
    place.line = place.include ? line - changes.listLines_ : line;
    row(empty, "", placeOf(place), {});
  }

  if (exclude) {
    excludeLineOfKey_.clear();
    for (const Place& place : places.writtenFrom) excludeLineOfKey_.push_back(place.line);
  }
}

void ChangeReport::AddDomains(const std::vector<DomainRow>& domains) {
  text_ += "\r\ndomain\tmembers\tsessions\r\n";
  for (const DomainRow& domain : domains) {
    text_ += domain.domain;
    text_ += '\t';
    AppendNumber(domain.members, &text_);
    text_ += '\t';
    AppendNumber(domain.sessions, &text_);
    text_ += "\r\n";
  }
}

}  // namespace grenfel
