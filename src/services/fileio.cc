// The platform-independent part of file access: the line rule and the end
// of readable text, the name check, the write buffer shared by both
// platforms, and the versions of FileSystem calls a platform may refine.
#include "services/fileio.h"

#include <algorithm>
#include <cstring>

#include "services/two_threads.h"

namespace grenfel {

namespace {

constexpr char kCtrlZ = 0x1A;
CutShortLineFor cutShortLine = nullptr;

}  // namespace

Status WritableFile::ReadBack(uint64_t, char*, size_t, size_t*) {
  return Status::Error(ErrorCode::kNotOpenForReadingBack, "read: not open for reading back");
}

bool NamesOneFile(std::string_view name) {
  return !name.empty() && name.find_first_of("*?") == std::string_view::npos;
}

Status InvalidNameStatus(const char* call, const std::string& name) {
  return Status::Error(ErrorCode::kInvalidName,
                       std::string(call) + "(" + name + "): bad file name");
}

bool SameUnchangedFile(const FileInfo& a, const FileInfo& b) {
  return a.kind == b.kind && a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified == b.modified;
}

bool FileSystem::NameUsable(const std::string&) { return true; }

void FileSystem::RemoveOnFault(const std::string&, bool) {}

Status FileSystem::CheckCompanion(const std::string& name) {
  if (!Exists(name)) return Status::Ok();
  std::unique_ptr<FileData> found;
  Status s = ReadFile(name, true, &found);
  if (!s.ok()) return s;
  if (!found->bytes().empty()) {
    return Status::Error(ErrorCode::kCompanionHoldsData, "open(" + name + "): already holds data");
  }
  return Status::Ok();
}

Status FileSystem::CopyInto(WritableFile* from, uint64_t length, HeldFile* to,
                            std::string* buffer) {
  uint64_t done = 0;
  while (done < length) {
    size_t asked = static_cast<size_t>(std::min<uint64_t>(length - done, buffer->size()));
    size_t got = 0;
    Status s = from->ReadBack(done, buffer->data(), asked, &got);
    if (!s.ok()) return s;
    if (got == 0) return Status::Error(ErrorCode::kIoError, "read: shorter than expected");
    s = to->WriteAt(done, std::string_view(buffer->data(), got));
    if (!s.ok()) return s;
    done += got;
  }
  return Status::Ok();
}

BufferedWritableFile::BufferedWritableFile(std::string name) : name_(std::move(name)) {
  buffer_.reserve(kWriteBufferSize);
}

Status BufferedWritableFile::Append(std::string_view data) {
  if (!failed_.ok()) return failed_;
  if (buffer_.size() + data.size() > kWriteBufferSize) {
    Status s = Flush();
    if (!s.ok()) return s;
    if (data.size() >= kWriteBufferSize) return WriteAll(data);
  }
  buffer_.append(data);
  return Status::Ok();
}

Status BufferedWritableFile::Flush() {
  if (!failed_.ok()) return failed_;
  if (!IsOpen())
    return Fail(Status::Error(ErrorCode::kFileClosed, "write(" + name_ + "): file is closed"));
  Status s = WriteAll(buffer_);
  buffer_.clear();
  return s;
}

Status BufferedWritableFile::Fail(Status s) {
  failed_ = s;
  return s;
}

std::string_view ReadablePart(std::string_view bytes) {
  const void* stop = std::memchr(bytes.data(), kCtrlZ, bytes.size());
  return stop ? bytes.substr(0, static_cast<size_t>(static_cast<const char*>(stop) - bytes.data()))
              : bytes;
}

namespace {

// The CR bytes of `block`, at most kCountBlock bytes: counted sixteen at a
// time in byte counters, which compilers turn into wide compares (a call
// to memchr for each line costs four times as much on short lines).
constexpr size_t kCountLanes = 16;
constexpr size_t kCountBlock = 255 * kCountLanes;  // no counter passes 255

size_t CountInBlock(const char* block, size_t length) {
  uint8_t counts[kCountLanes] = {};
  size_t k = 0;
  for (; k + kCountLanes <= length; k += kCountLanes) {
    for (size_t lane = 0; lane < kCountLanes; ++lane) {
      counts[lane] = static_cast<uint8_t>(counts[lane] + (block[k + lane] == '\r'));
    }
  }
  size_t total = 0;
  for (uint8_t count : counts) total += count;
  for (; k < length; ++k) total += block[k] == '\r';
  return total;
}

}  // namespace

size_t CountCarriageReturns(std::string_view bytes) {
  size_t count = 0;
  for (size_t at = 0; at < bytes.size(); at += kCountBlock) {
    count += CountInBlock(bytes.data() + at, std::min(kCountBlock, bytes.size() - at));
  }
  return count;
}

size_t MostLines(std::string_view readable) {
  // Each half of a large text is counted on a thread of its own.
  size_t counts[2] = {0, 0};
  ForBothHalves(0, readable.size(), [&](size_t begin, size_t end, int half) {
    counts[half] = CountCarriageReturns(readable.substr(begin, end - begin));
  });
  return 1 + counts[0] + counts[1];
}

LineHalves SplitAtMiddleLine(std::string_view readable) {
  const size_t middle = readable.size() / 2;
  const void* cr =
      middle > 0 ? std::memchr(readable.data() + middle, '\r', readable.size() - middle) : nullptr;
  size_t split = readable.size();
  if (cr != nullptr) {
    split = static_cast<size_t>(static_cast<const char*>(cr) - readable.data()) + 1;
    // An LF right behind the CR belongs to the same line end.
    if (split < readable.size() && readable[split] == '\n') ++split;
  }
  return {readable.substr(0, split), readable.substr(split)};
}

bool HasDataAfterEnd(std::string_view bytes, std::string_view readable) {
  for (size_t i = readable.size(); i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != kCtrlZ) return true;
  }
  return false;
}

bool LineReader::ReadLine(std::string_view* line) {
  if (AtEnd()) return false;
  *line = LineAt(readable_, pos_);
  pos_ += line->size();
  if (AtEnd()) return true;
  ++pos_;  // the CR
  // CR alone ends a line; an LF right behind it belongs to the same end.
  if (!AtEnd() && readable_[pos_] == '\n') ++pos_;
  return true;
}

void SetCutShortLine(CutShortLineFor lineFor) { cutShortLine = lineFor; }

CutShortLineFor CutShortLineMaker() { return cutShortLine; }

}  // namespace grenfel
