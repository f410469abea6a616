// The file system on POSIX systems: its name operations, the opening of
// files to read, hold and write, and the statuses made from errno. Exclusive
// access is an flock() taken right after opening; a second holder, in this
// process or another, makes the open fail as a sharing violation would.
// Names are used whole. Mapped reads are in mapped_file_posix.cc, the open
// files in held_file_posix.cc.
#include "services/fileio_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

namespace grenfel {
namespace {

ErrorCode CodeForErrno(int error) {
  switch (error) {
    case ENOENT:
      return ErrorCode::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ErrorCode::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EWOULDBLOCK:
      return ErrorCode::kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ErrorCode::kDiskFull;
    case ENOMEM:
      return ErrorCode::kOutOfMemory;
    default:
      return ErrorCode::kIoError;
  }
}

}  // namespace

Status ErrnoStatus(const char* call, const std::string& name, int error) {
  return Status::Error(CodeForErrno(error),
                       std::string(call) + "(" + name + "): " +
                           (error == EWOULDBLOCK ? std::string("held by another process")
                                                 : std::string(std::strerror(error))));
}

FileKind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

void Describe(const struct stat& st, FileInfo* info) {
  info->kind = KindOf(st);
  info->size = static_cast<uint64_t>(st.st_size);
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  info->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                   static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

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

namespace {

class MappedData : public FileData {
 public:
  explicit MappedData(std::unique_ptr<Mapping> mapping) : mapping_(std::move(mapping)) {}
  std::string_view bytes() const override { return mapping_->bytes(); }

 private:
  std::unique_ptr<Mapping> mapping_;
};

// Errors of an open for reading and writing after which an open for
// reading alone may still work.
bool MayOpenForReading(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY || error == EISDIR;
}

class PosixFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& name) override {
    if (!NamesOneFile(name)) return false;
    struct stat st;
    return ::stat(UsedName(name).c_str(), &st) == 0;
  }

  Status Stat(const std::string& name, FileInfo* info) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("stat", name);
    struct stat st;
    if (::stat(UsedName(name).c_str(), &st) != 0) return ErrnoStatus("stat", name, errno);
    Describe(st, info);
    return Status::Ok();
  }

  Status ReadFile(const std::string& name, bool regularOnly,
                  std::unique_ptr<FileData>* data) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    // O_NONBLOCK: opening a FIFO without a writer must not hang the run.
    Descriptor fd(::open(UsedName(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    FileKind kind = KindOf(st);
    if (kind == FileKind::kDirectory) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): is a directory");
    }
    if (regularOnly && kind != FileKind::kRegular) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): not a regular file");
    }
    if (kind != FileKind::kRegular) {
      // A pipe or device is read to its end, waiting for its writer. A named
      // FIFO opened this way reads as empty until a writer has come, so it
      // is first waited on, as cat waits: poll() reports it only once a
      // writer has written, or has come and gone.
      if (S_ISFIFO(st.st_mode)) {
        struct pollfd ready = {fd.get(), POLLIN, 0};
        while (::poll(&ready, 1, -1) < 0) {
          if (errno != EINTR) return ErrnoStatus("poll", name, errno);
        }
      }
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
    if (std::unique_ptr<Mapping> mapping = MapFile(fd.get(), size, name)) {
      *data = std::make_unique<MappedData>(std::move(mapping));
      return Status::Ok();
    }
    // Empty, or not mappable: read what is there.
    std::string bytes;
    bytes.reserve(size);
    Status s = ReadToEnd(fd.get(), name, &bytes);
    if (!s.ok()) return s;
    *data = std::make_unique<OwnedFileData>(std::move(bytes));
    return Status::Ok();
  }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    // O_NONBLOCK: opening a FIFO without a writer must not hang the run.
    constexpr int kFlags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int writeError = 0;
    Descriptor fd(::open(UsedName(name).c_str(), O_RDWR | kFlags));
    if (fd.get() < 0 && MayOpenForReading(errno)) {
      writeError = errno;
      fd.reset(::open(UsedName(name).c_str(), O_RDONLY | kFlags));
    }
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    if (S_ISDIR(st.st_mode)) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): is a directory");
    }
    if (!S_ISREG(st.st_mode)) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): not a regular file");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return ErrnoStatus("flock", name, errno);
    return LoadHeldFile(fd.release(), name, writeError, file);
  }

  Status OpenForWriting(const std::string& name, WriteMode mode,
                        std::unique_ptr<WritableFile>* file) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    if (mode == WriteMode::kCreateEmptyOnly) return OpenCompanion(name, file);
    int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (mode != WriteMode::kTruncateExisting) flags |= O_CREAT;
    Descriptor fd(::open(UsedName(name).c_str(), flags, 0666));
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    if (!S_ISREG(st.st_mode)) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): not a regular file");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return ErrnoStatus("flock", name, errno);
    if (::ftruncate(fd.get(), 0) != 0) return ErrnoStatus("ftruncate", name, errno);
    int current = ::fcntl(fd.get(), F_GETFL);
    if (current >= 0) ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
    *file = NewWritableFile(fd.release(), name);
    return Status::Ok();
  }

  Status CopyInto(WritableFile* from, uint64_t length, HeldFile* to, std::string* buffer) override {
    bool unsupported = false;
    Status s = CopyInsideKernel(from, length, to, &unsupported);
    if (s.ok() && unsupported) return FileSystem::CopyInto(from, length, to, buffer);
    return s;
  }

  void RemoveOnFault(const std::string& name, bool remove) override {
    RemoveOnMappedFileFault(name, remove);
  }

  Status Delete(const std::string& name) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("unlink", name);
    if (::unlink(UsedName(name).c_str()) != 0) return ErrnoStatus("unlink", name, errno);
    return Status::Ok();
  }

  Status SyncFolderOf(const std::string& name) override {
    const std::string& used = UsedName(name);
    size_t slash = used.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : used.substr(0, slash);
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return ErrnoStatus("open", folder, errno);
    if (::fsync(fd.get()) != 0) return ErrnoStatus("fsync", folder, errno);
    return Status::Ok();
  }

 private:
  // A companion is ours alone: created new, never through a symbolic link.
  // One that is already there is taken over only when it is an empty
  // regular file of the user running the tool; in a shared folder another
  // user's file, or a link to anywhere, must never receive a list.
  Status CheckCompanion(const std::string& name) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("lstat", name);
    struct stat st;
    if (::lstat(UsedName(name).c_str(), &st) != 0) {
      if (errno == ENOENT) return Status::Ok();
      return ErrnoStatus("lstat", name, errno);
    }
    if (S_ISLNK(st.st_mode)) {
      return Status::Error(ErrorCode::kCompanionNotOurs, "open(" + name + "): is a symbolic link");
    }
    Status s = CheckTakeOver(name, st);
    if (!s.ok()) return s;
    if (st.st_size > 0) {
      return Status::Error(ErrorCode::kCompanionHoldsData,
                           "open(" + name + "): already holds data");
    }
    return Status::Ok();
  }

 private:
  // An existing companion is taken over only when it is a regular file of
  // the user running the tool.
  static Status CheckTakeOver(const std::string& name, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
      return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): not a regular file");
    }
    if (st.st_uid != ::geteuid()) {
      return Status::Error(ErrorCode::kCompanionNotOurs,
                           "open(" + name + "): belongs to another user");
    }
    return Status::Ok();
  }

  Status OpenCompanion(const std::string& name, std::unique_ptr<WritableFile>* file) {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    Descriptor fd(::open(UsedName(name).c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    if (fd.get() < 0 && errno == EEXIST) {
      fd.reset(::open(UsedName(name).c_str(), kFlags));
      if (fd.get() < 0 && errno == ELOOP) {
        return Status::Error(ErrorCode::kCompanionNotOurs,
                             "open(" + name + "): is a symbolic link");
      }
      if (fd.get() >= 0) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
        Status s = CheckTakeOver(name, st);
        if (!s.ok()) return s;
      }
    }
    if (fd.get() < 0) return ErrnoStatus("open", name, errno);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return ErrnoStatus("flock", name, errno);
    // Look again under the lock: the size seen before it may be stale.
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("fstat", name, errno);
    if (st.st_size > 0) {
      return Status::Error(ErrorCode::kCompanionHoldsData,
                           "open(" + name + "): already holds data");
    }
    int current = ::fcntl(fd.get(), F_GETFL);
    if (current >= 0) ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
    *file = NewWritableFile(fd.release(), name);
    return Status::Ok();
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem fileSystem;
  return &fileSystem;
}

}  // namespace grenfel
