// The open files of the POSIX file layer: the held list, read by mapping it
// and rewritten in place through the descriptor that read it, and the
// buffered writable file; and the copy between them inside the kernel.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "services/fileio_posix.h"

namespace grenfel {
namespace {

// A large file is handed to the disk in steps of this many bytes while it is
// written, so that the sync at its end finds most of it there already.
constexpr uint64_t kWritebackStep = uint64_t{16} << 20;

// Asks the kernel to start writing these bytes to disk, without waiting.
// Only a hint: the sync that follows is what makes them durable, so a
// failure here changes nothing.
void StartWriteback(int fd, uint64_t offset, uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)offset, (void)length;
#endif
}

class PosixWritableFile : public BufferedWritableFile {
 public:
  PosixWritableFile(int fd, std::string name) : BufferedWritableFile(std::move(name)), fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Sync() override {
    Status s = Flush();
    if (!s.ok()) return s;
    // A failed fsync is final: the kernel may have dropped the dirty pages,
    // so a retry that succeeds proves nothing.
    if (::fsync(fd_) != 0) return Fail(ErrnoStatus("fsync", name(), errno));
    return Status::Ok();
  }

  Status ReadBack(uint64_t offset, char* into, size_t count, size_t* got) override {
    if (fd_ < 0)
      return Status::Error(ErrorCode::kFileClosed, "read(" + name() + "): file is closed");
    for (;;) {
      ssize_t read = ::pread(fd_, into, count, static_cast<off_t>(offset));
      if (read < 0 && errno == EINTR) continue;
      if (read < 0) return ErrnoStatus("read", name(), errno);
      *got = static_cast<size_t>(read);
      return Status::Ok();
    }
  }

  int fd() const { return fd_; }

  Status Close() override {
    if (fd_ < 0) return failure();
    Status s = Flush();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && s.ok()) s = Fail(ErrnoStatus("close", name(), errno));
    return s;
  }

 private:
  bool IsOpen() const override { return fd_ >= 0; }

  // Loops on short writes: only an error (or no progress at all) stops it.
  // Large blocks go out in buffer-sized pieces: one huge write from a mapped
  // file is several times slower than the same bytes in pieces.
  Status WriteAll(std::string_view data) override {
    while (!data.empty()) {
      ssize_t put = ::write(fd_, data.data(), std::min(data.size(), kWriteBufferSize));
      if (put < 0) {
        if (errno == EINTR) continue;
        return Fail(ErrnoStatus("write", name(), errno));
      }
      if (put == 0) return Fail(ErrnoStatus("write", name(), ENOSPC));
      data.remove_prefix(static_cast<size_t>(put));
      written_ += static_cast<uint64_t>(put);
      if (written_ - handedToDisk_ >= kWritebackStep) {
        StartWriteback(fd_, handedToDisk_, written_ - handedToDisk_);
        handedToDisk_ = written_;
      }
    }
    return Status::Ok();
  }

  int fd_;
  // Bytes written so far, and how many of them the disk was asked to take.
  uint64_t written_ = 0, handedToDisk_ = 0;
};

// A regular file held with its flock from opening to destruction; read by
// mapping (or reading) it, written in place with pwrite.
class PosixHeldFile : public HeldFile {
 public:
  // `writeError` is why the file could only be opened for reading (0 when
  // it is open for writing too).
  PosixHeldFile(int fd, std::string name, int writeError)
      : fd_(fd), name_(std::move(name)), writeError_(writeError) {}
  ~PosixHeldFile() override {
    ReleaseBytes();
    ::close(fd_);
  }

  // Reads the whole file as it is now.
  Status Load() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ErrnoStatus("fstat", name_, errno);
    Describe(st, &opened_);
    size_t size = static_cast<size_t>(st.st_size);
    mapping_ = MapFile(fd_, size, name_);
    if (mapping_ != nullptr) return Status::Ok();
    // Empty, or not mappable: read what is there.
    owned_.reserve(size);
    if (::lseek(fd_, 0, SEEK_SET) < 0) return ErrnoStatus("read", name_, errno);
    return ReadToEnd(fd_, name_, &owned_);
  }

  std::string_view bytes() const override {
    return mapping_ != nullptr ? mapping_->bytes() : std::string_view(owned_);
  }
  const FileInfo& opened() const override { return opened_; }

  void ReleaseBytes() override {
    mapping_.reset();
    std::string().swap(owned_);
  }

  Status Reload() override {
    ReleaseBytes();
    return Load();
  }

  Status Look(FileInfo* info) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ErrnoStatus("fstat", name_, errno);
    Describe(st, info);
    return Status::Ok();
  }

  Status Reserve(uint64_t length) override {
    if (writeError_ != 0) return ErrnoStatus("open", name_, writeError_);
    if (length == 0) return Status::Ok();
    // Blocks for the whole new length, the size left as it is; where the
    // file system cannot, the portable call (which may grow the size; the
    // rewrite cuts it to the new length at its end anyway).
    int result;
    do {
      result = ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return Status::Ok();
    if (errno != EOPNOTSUPP && errno != ENOSYS) return ErrnoStatus("fallocate", name_, errno);
    int error = ::posix_fallocate(fd_, 0, static_cast<off_t>(length));
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL) {
      return ErrnoStatus("fallocate", name_, error);
    }
    return Status::Ok();
  }

  Status WriteAt(uint64_t offset, std::string_view data) override {
    while (!data.empty()) {
      size_t piece = std::min<size_t>(data.size(), size_t{1} << 30);
      ssize_t put = ::pwrite(fd_, data.data(), piece, static_cast<off_t>(offset));
      if (put < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("write", name_, errno);
      }
      if (put == 0) return ErrnoStatus("write", name_, ENOSPC);
      StartWriteback(fd_, offset, static_cast<uint64_t>(put));
      data.remove_prefix(static_cast<size_t>(put));
      offset += static_cast<uint64_t>(put);
    }
    return Status::Ok();
  }

  Status Cut(uint64_t length) override {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      return ErrnoStatus("ftruncate", name_, errno);
    }
    // A failed fsync is final: the kernel may have dropped the dirty pages.
    if (::fsync(fd_) != 0) return ErrnoStatus("fsync", name_, errno);
    return Status::Ok();
  }

  // Overwrites the file from its start with `length` bytes of the open file
  // `source` from its start, copied inside the kernel where the file
  // systems allow it. Sets `*unsupported` (and copies nothing) where they
  // do not.
  Status CopyFrom(int source, uint64_t length, bool* unsupported) {
    *unsupported = false;
    loff_t in = 0, out = 0;
    bool first = true;
    while (length > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kWritebackStep));
      ssize_t copied = ::copy_file_range(source, &in, fd_, &out, piece, 0);
      if (copied < 0) {
        if (errno == EINTR) continue;
        if (first && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF)) {
          *unsupported = true;
          return Status::Ok();
        }
        return ErrnoStatus("copy_file_range", name_, errno);
      }
      if (copied == 0) return Status::Error(ErrorCode::kIoError, "read: shorter than expected");
      first = false;
      StartWriteback(fd_, static_cast<uint64_t>(out - copied), static_cast<uint64_t>(copied));
      length -= static_cast<uint64_t>(copied);
    }
    return Status::Ok();
  }

 private:
  int fd_;
  std::string name_;
  int writeError_;
  FileInfo opened_;
  std::unique_ptr<Mapping> mapping_;
  std::string owned_;
};

}  // namespace

std::unique_ptr<WritableFile> NewWritableFile(int fd, const std::string& name) {
  return std::make_unique<PosixWritableFile>(fd, name);
}

Status LoadHeldFile(int fd, const std::string& name, int writeError,
                    std::unique_ptr<HeldFile>* file) {
  auto held = std::make_unique<PosixHeldFile>(fd, name, writeError);
  Status s = held->Load();
  if (!s.ok()) return s;
  *file = std::move(held);
  return Status::Ok();
}

Status CopyInsideKernel(WritableFile* from, uint64_t length, HeldFile* to, bool* unsupported) {
  auto* source = dynamic_cast<PosixWritableFile*>(from);
  auto* target = dynamic_cast<PosixHeldFile*>(to);
  if (source == nullptr || target == nullptr) {
    *unsupported = true;
    return Status::Ok();
  }
  return target->CopyFrom(source->fd(), length, unsupported);
}

}  // namespace grenfel
