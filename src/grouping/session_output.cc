// Grouping's output: the head block and the members in session order, made
// in chunks on two threads and appended to the file in order.
#include <algorithm>
#include <string>
#include <vector>

#include "grouping/grouped_list.h"
#include "services/prefetch.h"
#include "services/text.h"
#include "services/two_threads.h"

namespace grenfel {
namespace {

// Appends the record as read, but with the text after the first "@" (at
// `at`, or npos when there is none) lower-cased, and a CR LF.
void AppendRecord(std::string_view record, size_t at, std::string* out) {
  const size_t start = out->size();
  out->append(record);
  out->append("\r\n");
  if (at == std::string_view::npos) return;
  // From the record itself, not from the copy just made: reading bytes that
  // are still being stored waits for the stores.
  LowerCaseInto(record.data() + at + 1, record.size() - at - 1, out->data() + start + at + 1);
}

}  // namespace

// Walks the member positions of a run of pieces in writing order.
class GroupedList::SessionCursor {
 public:
  SessionCursor(const Run* pieces, size_t count) : pieces_(pieces), count_(count) { SkipEmpty(); }

  bool AtEnd() const { return piece_ == count_; }
  uint32_t position() const { return pieces_[piece_].first + offset_; }
  void Advance() {
    if (AtEnd()) return;
    ++offset_;
    SkipEmpty();
  }

 private:
  void SkipEmpty() {
    while (!AtEnd() && offset_ == pieces_[piece_].count) {
      ++piece_;
      offset_ = 0;
    }
  }

  const Run* pieces_;
  size_t count_;
  size_t piece_ = 0;
  uint32_t offset_ = 0;
};

void GroupedList::FormatHead(std::string* bytes) const {
  for (const HeadLine& line : head_) {
    switch (line.kind) {
      case HeadKind::kAsRead:
        bytes->append(line.text);
        bytes->append("\r\n");
        break;
      case HeadKind::kModerator:
        AppendRecord(line.text, line.text.find('@'), bytes);
        break;
      case HeadKind::kClosed:
        bytes->append("CLOSED\r\n");
        break;
    }
  }
}

void GroupedList::FormatPieces(const std::vector<Run>& runs, std::string* bytes) const {
  // The records lie all over the list's bytes, and the pieces all over the
  // member array: two cursors run ahead in writing order, the far one asking
  // for a member, the near one for the record it points to.
  constexpr int kMemberAhead = 64, kRecordAhead = 32;
  const Run* pieces = runs.data();
  size_t count = runs.size();
  SessionCursor farCursor(pieces, count), nearCursor(pieces, count), cursor(pieces, count);
  for (int i = 0; i < kMemberAhead; ++i) farCursor.Advance();
  for (int i = 0; i < kRecordAhead; ++i) nearCursor.Advance();
  for (; !cursor.AtEnd(); cursor.Advance(), nearCursor.Advance(), farCursor.Advance()) {
    if (!farCursor.AtEnd()) Prefetch(&members_[farCursor.position()]);
    if (!nearCursor.AtEnd()) {
      const RecordRef ref = members_[nearCursor.position()].ref;
      // A record too long for its field is asked for as far as it tells.
      PrefetchSpan(readable_.data() + ref.offset(), std::max<uint32_t>(ref.lengthField(), 1));
    }
    const Member& member = members_[cursor.position()];
    AppendRecord(Record(member), AtOf(member), bytes);
  }
}

Status GroupedList::WriteTo(WritableFile* out) const {
  std::string head;
  FormatHead(&head);
  // After the first failed append nothing more is written: the file is then
  // in an unknown state.
  Status status = head.empty() ? Status::Ok() : out->Append(head);
  std::string().swap(head);
  // The members are written in chunks of kChunkMembers, made on two threads
  // and written in order; a chunk of ordinary records passes the file's
  // buffer size, so it goes to the file without being copied again. A chunk
  // starts at a member of some piece: the last pieces can be whole groups of
  // any size.
  constexpr uint32_t kChunkMembers = 1 << 16;
  struct Place {
    uint32_t piece;
    uint32_t offset;
  };
  std::vector<Place> chunkStarts;
  uint64_t written = 0, nextStart = 0;
  for (uint32_t piece = chain_.empty() ? kNoPiece : 0; piece != kNoPiece;
       piece = chain_[piece].next) {
    uint64_t end = written + chain_[piece].run.count;
    for (; nextStart < end; nextStart += kChunkMembers) {
      chunkStarts.push_back({piece, static_cast<uint32_t>(nextStart - written)});
    }
    written = end;
  }
  FormatChunksInOrder(
      chunkStarts.size(),
      [&](size_t chunk, std::string* bytes) {
        // The chunk's own pieces, the first and last ones cut to it.
        uint64_t left = std::min<uint64_t>(kChunkMembers, written - chunk * kChunkMembers);
        std::vector<Run> runs;
        Place from = chunkStarts[chunk];
        for (uint32_t piece = from.piece, skip = from.offset; left > 0;
             piece = chain_[piece].next, skip = 0) {
          Run run = chain_[piece].run;
          uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(run.count - skip, left));
          runs.push_back({run.first + skip, count});
          left -= count;
        }
        FormatPieces(runs, bytes);
      },
      [&](std::string_view bytes) {
        if (status.ok()) status = out->Append(bytes);
      });
  return status;
}

}  // namespace grenfel
