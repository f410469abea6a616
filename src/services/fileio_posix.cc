// The file system on POSIX systems. Exclusive access is an flock() taken
// right after opening; a second holder, in this process or another, makes
// the open fail as a sharing violation would. Names are used whole.
//
// Files are read by mapping them. A mapped file that another program cuts
// short would kill the process with SIGBUS when its lost pages are touched;
// instead, a handler removes the companion being written, prints one error
// line naming the file and ends the run with exit code 2. Nothing else is
// touched by then: a list is only written after its mapping is released.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "services/fileio.h"

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

Status ErrnoStatus(const char* call, const std::string& name, int error) {
  return Status::Error(CodeForErrno(error),
                       std::string(call) + "(" + name + "): " +
                           (error == EWOULDBLOCK ? std::string("held by another process")
                                                 : std::string(std::strerror(error))));
}

const std::string& UsedName(const std::string& name) { return name; }

// What the SIGBUS handler knows: the mapped ranges with the line to print
// for each, and the companions to remove. Filled on the main thread before
// the mappings are used; read by the handler with atomic loads only.
struct WatchedMapping {
  std::atomic<const char*> start{nullptr};
  std::atomic<size_t> size{0};
  std::atomic<const std::string*> line{nullptr};
};
constexpr int kWatchedSlots = 16;
WatchedMapping watchedMappings[kWatchedSlots];
std::atomic<const std::string*> faultCompanions[kWatchedSlots];

void WriteLine(const std::string& line) {
  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t put = ::write(STDOUT_FILENO, at, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    at += put;
    left -= static_cast<size_t>(put);
  }
}

void OnMappedFileFault(int, siginfo_t* info, void*) {
  const char* at = static_cast<const char*>(info->si_addr);
  for (WatchedMapping& mapping : watchedMappings) {
    const char* start = mapping.start.load();
    if (start == nullptr || at < start || at >= start + mapping.size.load()) continue;
    for (auto& companion : faultCompanions) {
      if (const std::string* name = companion.load()) ::unlink(name->c_str());
    }
    if (const std::string* line = mapping.line.load()) WriteLine(*line);
    ::_exit(2);
  }
  // Not a file of ours: the default action, when the access is retried.
  ::signal(SIGBUS, SIG_DFL);
}

void InstallFaultHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action = {};
  action.sa_sigaction = OnMappedFileFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// Watches one mapping while alive.
class MappingWatch {
 public:
  MappingWatch(const char* start, size_t size, const std::string& name) {
    InstallFaultHandler();
    for (WatchedMapping& mapping : watchedMappings) {
      if (mapping.line.load() != nullptr) continue;
      line_ = new std::string("\r\n* Error: The file \"" + name +
                              "\" was cut short by another program while the run was reading it; "
                              "the run stopped, and that file and the list are as they were "
                              "left. Run again.\r\n");
      mapping.line.store(line_);
      mapping.size.store(size);
      mapping.start.store(start);
      slot_ = &mapping;
      return;
    }
  }
  ~MappingWatch() {
    if (slot_ == nullptr) return;
    slot_->start.store(nullptr);
    slot_->line.store(nullptr);
    delete line_;
  }
  MappingWatch(const MappingWatch&) = delete;
  MappingWatch& operator=(const MappingWatch&) = delete;

 private:
  WatchedMapping* slot_ = nullptr;
  const std::string* line_ = nullptr;
};

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
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

FileKind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

// A file's bytes mapped privately, watched for being cut short.
class Mapping {
 public:
  Mapping(void* address, size_t size, const std::string& name)
      : address_(address), size_(size), watch_(static_cast<const char*>(address), size, name) {}
  ~Mapping() { ::munmap(address_, size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  std::string_view bytes() const {
    return std::string_view(static_cast<const char*>(address_), size_);
  }

 private:
  void* address_;
  size_t size_;
  MappingWatch watch_;
};

// Maps `size` bytes of the file; nothing when it cannot be mapped.
std::unique_ptr<Mapping> MapFile(int fd, size_t size, const std::string& name) {
  if (size == 0) return nullptr;
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (address == MAP_FAILED) return nullptr;
  return std::make_unique<Mapping>(address, size, name);
}

class MappedData : public FileData {
 public:
  explicit MappedData(std::unique_ptr<Mapping> mapping) : mapping_(std::move(mapping)) {}
  std::string_view bytes() const override { return mapping_->bytes(); }

 private:
  std::unique_ptr<Mapping> mapping_;
};

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
    }
    return Status::Ok();
  }

  int fd_;
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
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 30));
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
    auto held = std::make_unique<PosixHeldFile>(fd.release(), name, writeError);
    Status s = held->Load();
    if (!s.ok()) return s;
    *file = std::move(held);
    return Status::Ok();
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
    *file = std::make_unique<PosixWritableFile>(fd.release(), name);
    return Status::Ok();
  }

  Status CopyInto(WritableFile* from, uint64_t length, HeldFile* to, std::string* buffer) override {
    auto* source = dynamic_cast<PosixWritableFile*>(from);
    auto* target = dynamic_cast<PosixHeldFile*>(to);
    if (source == nullptr || target == nullptr) {
      return FileSystem::CopyInto(from, length, to, buffer);
    }
    bool unsupported = false;
    Status s = target->CopyFrom(source->fd(), length, &unsupported);
    if (s.ok() && unsupported) return FileSystem::CopyInto(from, length, to, buffer);
    return s;
  }

  void RemoveOnFault(const std::string& name, bool remove) override {
    for (auto& slot : faultCompanions) {
      const std::string* held = slot.load();
      if (remove && held == nullptr) {
        slot.store(new std::string(name));
        return;
      }
      if (!remove && held != nullptr && *held == name) {
        slot.store(nullptr);
        delete held;
        return;
      }
    }
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
    *file = std::make_unique<PosixWritableFile>(fd.release(), name);
    return Status::Ok();
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem fileSystem;
  return &fileSystem;
}

}  // namespace grenfel
