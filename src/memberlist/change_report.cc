// The change report's rows and their text: line numbers counted once per
// file, rows in a fixed order, the domain table of the grouping after them.
#include "memberlist/change_report.h"

#include <algorithm>
#include <utility>

#include "services/text.h"

namespace grenfel {
namespace {

constexpr std::string_view kHeader = "file\tchange\trecord\tfrom\trelated\r\n";

// The line numbers of many places in one file's bytes, found in one pass:
// a place's line is one more than the CRs before it (CR LF ends a line
// once; a bare LF is data).
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
    int64_t line = 1;
    size_t counted = 0;
    for (const Ask_& ask : asks_) {
      line += std::count(bytes_.data() + counted, bytes_.data() + ask.offset, '\r');
      counted = ask.offset;
      *ask.line = line;
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

void AppendNumber(int64_t value, std::string* text) { *text += std::to_string(value); }

}  // namespace

void ListChanges::AddLinesReadAfter(const ListChanges& later, int64_t linesBefore) {
  for (int64_t line : later.emptyLines_) emptyLines_.push_back(linesBefore + line);
}

ListChanges ListChanges::PartOfWalk() const {
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

  const std::string_view fileWord = FileWord(changes.file_);
  auto placeText = [&](const Place& place) {
    std::string text(place.include ? "include:" : exclude ? "exclude:" : "list:");
    AppendNumber(place.line, &text);
    return text;
  };
  auto row = [&](std::string_view change, std::string_view record, std::string_view from,
                 std::string_view related) {
    for (std::string_view piece : {fileWord, change, record, from}) {
      text_ += piece;
      text_ += '\t';
    }
    text_ += related;
    text_ += "\r\n";
  };

  for (size_t i = 0; i < changes.walk_.size(); ++i) {
    const ListChanges::WalkRow& walked = changes.walk_[i];
    if (walked.kept == nullptr) {
      row("added-include", walked.record, placeText(walkFrom[i]), "");
    } else {
      row("removed-duplicate", walked.record, placeText(walkFrom[i]), placeText(walkKept[i]));
    }
  }
  for (size_t i = 0; i < changes.excluded_.size(); ++i) {
    uint32_t key = changes.excluded_[i].key;
    int64_t line = key < excludeLineOfKey_.size() ? excludeLineOfKey_[key] : int64_t{key} + 1;
    row("removed-excluded", changes.excluded_[i].record, placeText(excludedFrom[i]),
        "exclude:" + std::to_string(line));
  }
  for (int64_t line : changes.emptyLines_) {
    Place place;
    place.include = line > changes.listLines_;
    place.line = place.include ? line - changes.listLines_ : line;
    row("dropped-empty", "", placeText(place), "");
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
