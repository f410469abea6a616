// The file system on POSIX systems. Exclusive access is an flock() taken
// right after opening; a second holder, in this process or another, makes
// the open fail as a sharing violation would.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "services/fileio.h"

namespace grenfel {
namespace {

constexpr size_t kMaxNameLength = 255;

int CodeForErrno(int error) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDiskFull;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kIoError;
  }
}

Status ErrnoStatus(const char* call, const std::string& name, int error) {
  return Status::Error(CodeForErrno(error),
                       std::string(call) + "(" + name + "): " +
                           (error == EWOULDBLOCK ? std::string("held by another process")
                                                 : std::string(std::strerror(error))));
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.find_first_of("*?") == std::string::npos;
}

std::string UsedName(const std::string& name) { return name.substr(0, kMaxNameLength); }

// Owns a descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

FileKind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

class MappedData : public FileData {
 public:
  MappedData(void* address, size_t size) : address_(address), size_(size) {}
  ~MappedData() override { ::munmap(address_, size_); }
  std::string_view bytes() const override {
    return std::string_view(static_cast<const char*>(address_), size_);
  }

 private:
  void* address_;
  size_t size_;
};

Status ReadToEnd(int fd, const std::string& name, std::string* out) {
  char chunk[1 << 16];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("read", name, errno);
    }
    if (got == 0) return Status::Ok();
    out->append(chunk, static_cast<size_t>(got));
  }
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

  // Appends `length` bytes of the open file `source` from its start, copied
  // inside the kernel where the file systems allow it. Sets `*unsupported`
  // (and copies nothing) where they do not.
  Status CopyFrom(int source, const std::string& sourceName, uint64_t length, bool* unsupported) {
    Status s = Flush();
    if (!s.ok()) return s;
    *unsupported = false;
    bool first = true;
    while (length > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 30));
      ssize_t copied = ::copy_file_range(source, nullptr, fd_, nullptr, piece, 0);
      if (copied < 0) {
        if (errno == EINTR) continue;
        if (first && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF)) {
          *unsupported = true;
          return Status::Ok();
        }
        return Fail(ErrnoStatus("copy_file_range", name(), errno));
      }
      if (copied == 0) {
        return Fail(Status::Error(kIoError, "read(" + sourceName + "): shorter than expected"));
      }
      first = false;
      length -= static_cast<uint64_t>(copied);
    }
    return Status::Ok();
  }

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
    }
    return Status::Ok();
  }

  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& name) override {
    if (!ValidName(name)) return false;
    struct stat st;
    return ::stat(UsedName(name).c_str(), &st) == 0;
  }

  Status Stat(const std::string& name, FileInfo* info) override {
    if (!ValidName(name)) return Status::Error(kBadFileName, "stat(" + name + "): bad file name");
    struct stat st;
    if (::stat(UsedName(name).c_str(), &st) != 0) return ErrnoStatus("stat", name, errno);
    info->kind = KindOf(st);
    info->size = static_cast<uint64_t>(st.st_size);
    info->device = static_cast<uint64_t>(st.st_dev);
    info->inode = static_cast<uint64_t>(st.st_ino);
    return Status::Ok();
  }

  Status ReadFile(const std::string& name, bool regular_only,
                  std::unique_ptr<FileData>* data) override {
    if (!ValidName(name)) return Status::Error(kBadFileName, "open(" + name + "): bad file name");
    // O_NONBLOCK: opening a FIFO without a writer must not hang the run.
    Descriptor fd(::open(UsedName(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    FileKind kind = KindOf(st);
    if (kind == FileKind::kDirectory) {
      return Status::Error(kBadFileMode, "open(" + name + "): is a directory");
    }
    if (regular_only && kind != FileKind::kRegular) {
      return Status::Error(kBadFileMode, "open(" + name + "): not a regular file");
    }
    if (kind != FileKind::kRegular) {
      // A pipe or device is read to its end, waiting for its writer.
      int flags = ::fcntl(fd.get(), F_GETFL);
      if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
      std::string bytes;
      Status s = ReadToEnd(fd.get(), name, &bytes);
      if (!s.ok()) return s;
      *data = std::make_unique<OwnedFileData>(std::move(bytes));
      return Status::Ok();
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return ErrnoStatus("flock", name, errno);
    size_t size = static_cast<size_t>(st.st_size);
    if (size > 0) {
      void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
      if (address != MAP_FAILED) {
        *data = std::make_unique<MappedData>(address, size);
        return Status::Ok();
      }
    }
    // Empty, or not mappable: read what is there.
    std::string bytes;
    bytes.reserve(size);
    Status s = ReadToEnd(fd.get(), name, &bytes);
    if (!s.ok()) return s;
    *data = std::make_unique<OwnedFileData>(std::move(bytes));
    return Status::Ok();
  }

  Status OpenForWriting(const std::string& name, WriteMode mode,
                        std::unique_ptr<WritableFile>* file) override {
    if (!ValidName(name)) return Status::Error(kBadFileName, "open(" + name + "): bad file name");
    int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (mode != WriteMode::kTruncateExisting) flags |= O_CREAT;
    Descriptor fd(::open(UsedName(name).c_str(), flags, 0666));
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    if (!S_ISREG(st.st_mode)) {
      return Status::Error(kBadFileMode, "open(" + name + "): not a regular file");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return ErrnoStatus("flock", name, errno);
    if (mode == WriteMode::kCreateEmptyOnly) {
      // Look again under the lock: the size seen before it may be stale.
      if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
      if (st.st_size > 0) {
        return Status::Error(kFileAlreadyOpen, "open(" + name + "): already holds data");
      }
    } else if (::ftruncate(fd.get(), 0) != 0) {
      return ErrnoStatus("ftruncate", name, errno);
    }
    int current = ::fcntl(fd.get(), F_GETFL);
    if (current >= 0) ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
    *file = std::make_unique<PosixWritableFile>(fd.release(), name);
    return Status::Ok();
  }

  Status CopyInto(const std::string& from, uint64_t length, WritableFile* to) override {
    auto* target = dynamic_cast<PosixWritableFile*>(to);
    if (target == nullptr) return FileSystem::CopyInto(from, length, to);
    Descriptor fd(::open(UsedName(from).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return ErrnoStatus("open", from, errno);
    bool unsupported = false;
    Status s = target->CopyFrom(fd.get(), from, length, &unsupported);
    if (s.ok() && unsupported) return FileSystem::CopyInto(from, length, to);
    return s;
  }

  Status Delete(const std::string& name) override {
    if (!ValidName(name)) return Status::Error(kBadFileName, "unlink(" + name + "): bad file name");
    if (::unlink(UsedName(name).c_str()) != 0) return ErrnoStatus("unlink", name, errno);
    return Status::Ok();
  }

  Status SyncFolderOf(const std::string& name) override {
    std::string used = UsedName(name);
    size_t slash = used.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : used.substr(0, slash);
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return ErrnoStatus("open", folder, errno);
    if (::fsync(fd.get()) != 0) return ErrnoStatus("fsync", folder, errno);
    return Status::Ok();
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem file_system;
  return &file_system;
}

}  // namespace grenfel
