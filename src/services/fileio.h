// File access under the list processing and the grouping: whole files read
// into memory, files written through a buffer, the carriage-return line rule,
// and a small FileSystem interface so that tests can substitute one that
// fails on purpose. Platform code lives in the *_posix.cc and *_win32.cc
// files beside it (fileio_posix.cc / fileio_win32.cc and those they name).
#ifndef GRENFEL_SERVICES_FILEIO_H_
#define GRENFEL_SERVICES_FILEIO_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace grenfel {

// What went wrong, as a failing operation or check records it.
enum class ErrorCode {
  kOk,
  // The system had no memory for the operation.
  kOutOfMemory,
  // A file was used after it was closed.
  kFileClosed,
  kFileNotFound,
  // A folder of the path is missing (or the drive, or the network share).
  kPathNotFound,
  // A folder, a device or a pipe where a regular file is needed.
  kNotRegularFile,
  // An entry stands at a companion's name that is not ours to take over: a
  // symbolic link, or another user's file.
  kCompanionNotOurs,
  // The companion file to be created empty already holds data.
  kCompanionHoldsData,
  // Reading back a file that was not opened to be read back.
  kNotOpenForReadingBack,
  kDiskFull,
  // The empty name, or one holding "*" or "?": it names no single file.
  kInvalidName,
  kPermissionDenied,
  // Any other failure the system reports.
  kIoError,
  // The list on disk is no longer the file that was read.
  kListChangedDuringRun,
  // More or longer records than the in-memory layout can count.
  kTooManyRecords,
  // The checks of a file's contents, which refuse it before anything is
  // changed: data after a Ctrl-Z byte, lines ended by LF alone, a control
  // line in an include file, a record "CLOSED" in a list that is not closed.
  kDataAfterEnd,
  kUnixLineEnds,
  kControlLineInInclude,
  kClosedRecordInOpenList,
};

// The outcome of an operation: kOk for success, else what went wrong and a
// "call(name): reason" message for people.
struct Status {
  ErrorCode code = ErrorCode::kOk;
  std::string message;

  bool ok() const { return code == ErrorCode::kOk; }
  static Status Ok() { return Status{}; }
  static Status Error(ErrorCode code, std::string message) {
    return Status{code, std::move(message)};
  }
};

// What the name refers to. Lists are rewritten in place, so only kRegular may
// be one.
enum class FileKind { kRegular, kDirectory, kOther };

// The bytes of a whole file, owned (mapped or read) until destroyed.
class FileData {
 public:
  virtual ~FileData() = default;
  virtual std::string_view bytes() const = 0;
};

// File data read into memory of its own (a pipe, a device, a test's file).
class OwnedFileData : public FileData {
 public:
  explicit OwnedFileData(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string_view bytes() const override { return bytes_; }

 private:
  std::string bytes_;
};

// A file open for writing and held with exclusive access until destroyed.
// Append buffers; every failure (including those of the buffered bytes) is
// returned by the call that meets it. After a failure the file is in an
// unknown state and must not be written again.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual Status Append(std::string_view data) = 0;
  // Writes out the buffer and asks the system to put the file on disk.
  virtual Status Sync() = 0;
  // Writes out the buffer and closes; the destructor closes without report.
  virtual Status Close() = 0;
  // Reads back up to `count` written bytes from `offset` (after Sync, which
  // writes out the buffer); `*got` is 0 at the end. Only files opened to be
  // read back (a companion) can; others fail with kNotOpenForReadingBack.
  virtual Status ReadBack(uint64_t offset, char* into, size_t count, size_t* got);
};

// The buffering shared by the platforms' writable files: appends collect in
// a buffer that goes out when full, and after the first failure every call
// returns that failure, as what reached the file is then unknown.
class BufferedWritableFile : public WritableFile {
 public:
  Status Append(std::string_view data) override;

 protected:
  static constexpr size_t kWriteBufferSize = 1 << 20;

  explicit BufferedWritableFile(std::string name);
  // Writes all of `data` to the open file, looping on short writes; returns
  // a failure through Fail.
  virtual Status WriteAll(std::string_view data) = 0;
  virtual bool IsOpen() const = 0;

  // Writes out the buffer.
  Status Flush();
  // Records `s` as the file's failure and returns it.
  Status Fail(Status s);
  const Status& failure() const { return failed_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string buffer_;
  Status failed_;
};

struct FileInfo {
  FileKind kind = FileKind::kOther;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  // Last modification, in the system's own units (0 where unknown).
  uint64_t modified = 0;
};

// The same file, unchanged: identity, size and modification time agree.
bool SameUnchangedFile(const FileInfo& a, const FileInfo& b);

// A regular file held open, for reading and writing, with exclusive access
// from its opening until it is destroyed: another program that asks for
// the file meanwhile is kept out, and the file is rewritten in place
// through the same descriptor or handle that read it.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  // The whole file as it was when opened (or reloaded), mapped where
  // possible. Views into it stay valid until ReleaseBytes or Reload.
  virtual std::string_view bytes() const = 0;
  // Kind, size, identity and modification time when opened or reloaded.
  virtual const FileInfo& opened() const = 0;
  virtual void ReleaseBytes() = 0;
  // Reads the file again, as it is now.
  virtual Status Reload() = 0;
  // Kind, size, identity and modification time as the system sees it now.
  virtual Status Look(FileInfo* info) = 0;
  // Makes sure the disk holds room for `length` bytes of the file; the
  // contents stay as they are.
  virtual Status Reserve(uint64_t length) = 0;
  // Writes all of `data` at `offset`.
  virtual Status WriteAt(uint64_t offset, std::string_view data) = 0;
  // Cuts the file to `length` and puts it on disk.
  virtual Status Cut(uint64_t length) = 0;
};

// How OpenForWriting treats what is there.
enum class WriteMode {
  // Create when missing, cut to length 0 when present.
  kCreateOrTruncate,
  // For a companion: created new, never through a symbolic link, and open
  // to be read back. An existing entry is taken over only when it is an
  // empty regular file of the user running the tool; one that holds data
  // fails with kCompanionHoldsData, a link or another user's file with
  // kCompanionNotOurs, a folder or a device with kNotRegularFile. Such
  // entries are left alone.
  kCreateEmptyOnly,
  // The file must exist and be a regular file; it is cut to length 0 but
  // keeps its identity (same inode, owner, permissions and links).
  kTruncateExisting,
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when the system reports attributes for the name, whatever the entry
  // is. Names holding "*" or "?" and the empty name are false. Names are
  // used whole.
  virtual bool Exists(const std::string& name) = 0;

  // False for a name this system's file calls cannot take whole (too long).
  virtual bool NameUsable(const std::string& name);

  // Kind, size and identity of an existing entry; kFileNotFound when missing.
  virtual Status Stat(const std::string& name, FileInfo* info) = 0;

  // Reads a whole file with exclusive access (another holder gives
  // kPermissionDenied). With `regularOnly`, anything but a regular file is
  // refused with kNotRegularFile before any byte is read; otherwise pipes and
  // devices are read to their end. Never blocks on opening a FIFO.
  virtual Status ReadFile(const std::string& name, bool regularOnly,
                          std::unique_ptr<FileData>* data) = 0;

  // Opens an existing regular file as a HeldFile and reads it whole (anything
  // else is refused with kNotRegularFile before a byte is read; another holder
  // gives kPermissionDenied). When the file may be read but not written,
  // it is held for reading, and Reserve reports why it cannot be written.
  virtual Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file) = 0;

  virtual Status OpenForWriting(const std::string& name, WriteMode mode,
                                std::unique_ptr<WritableFile>* file) = 0;

  // What OpenForWriting with kCreateEmptyOnly would answer for `name`,
  // without creating or changing anything: ok when the name is free or
  // holds an empty file that would be taken over. This version reads the
  // file; a platform may look closer (links, owners).
  virtual Status CheckCompanion(const std::string& name);

  // Overwrites `to` from its start with the first `length` bytes of `from`
  // (read back). This version goes through `buffer`, which must not be
  // empty; a platform may copy inside the kernel.
  virtual Status CopyInto(WritableFile* from, uint64_t length, HeldFile* to, std::string* buffer);

  // While a companion is being written, a run that is stopped because a
  // mapped file was cut short by another program removes it first.
  virtual void RemoveOnFault(const std::string& name, bool remove);

  // Removes one file by name (no patterns).
  virtual Status Delete(const std::string& name) = 0;

  // Puts the folder that holds `name` on disk, so a created or removed entry
  // survives a crash.
  virtual Status SyncFolderOf(const std::string& name) = 0;
};

// The platform's file system.
FileSystem* RealFileSystem();

// The error line a platform prints by itself when another program cuts short
// a file the run has mapped: the fault stops the run at once, with no return
// to the caller that would word it. The program sets it before any file is
// read; unset, the run stops without a line.
using CutShortLineFor = std::string (*)(const std::string& name);
void SetCutShortLine(CutShortLineFor lineFor);
CutShortLineFor CutShortLineMaker();

// False for the empty name and for one holding "*" or "?": such a name
// never names one file, whatever the system below would make of it.
bool NamesOneFile(std::string_view name);

// The failure of `call` refused for a name that names no one file.
Status InvalidNameStatus(const char* call, const std::string& name);

// The readable part of a file's bytes: everything before the first Ctrl-Z
// (0x1A), which ends the readable text for good. It is found once per file;
// the readers below take it and search no further.
std::string_view ReadablePart(std::string_view bytes);

// The line that starts at `offset` of readable bytes, without its end: up
// to the next CR, or to the end of the bytes.
inline std::string_view LineAt(std::string_view readable, size_t offset) {
  const char* start = readable.data() + offset;
  const size_t rest = readable.size() - offset;
  const void* cr = std::memchr(start, '\r', rest);
  return {start, cr ? static_cast<size_t>(static_cast<const char*>(cr) - start) : rest};
}

// The carriage-return line rule over readable bytes: CR or CR LF ends a
// line, a bare LF is data, a last line without its end is a line.
class LineReader {
 public:
  explicit LineReader(std::string_view readable) : readable_(readable) {}
  // True when no line is left.
  bool AtEnd() const { return pos_ >= readable_.size(); }
  // The next line without its end; false at the end.
  bool ReadLine(std::string_view* line);

 private:
  std::string_view readable_;
  size_t pos_ = 0;
};

// The CR bytes in `bytes`, counted in wide compares.
size_t CountCarriageReturns(std::string_view bytes);
// How many lines readable bytes hold at most: one more than their CRs.
size_t MostLines(std::string_view readable);
// Readable bytes cut after the first line end past their middle, for
// reading on two threads: the first part holds whole lines, the second the
// rest (empty when no line ends past the middle).
struct LineHalves {
  std::string_view first, second;
};
LineHalves SplitAtMiddleLine(std::string_view readable);
// True when something other than blanks, tabs, CR, LF or Ctrl-Z follows the
// first Ctrl-Z: such data would be lost, not written back or not merged.
// `readable` is ReadablePart(bytes).
bool HasDataAfterEnd(std::string_view bytes, std::string_view readable);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FILEIO_H_
