// What the files of the POSIX file layer share: statuses made from errno,
// the owned descriptor, the mapped read of a file with its fault watch, and
// the held and writable files it hands out. Include this header from POSIX
// code only.
#ifndef GRENFEL_SERVICES_FILEIO_POSIX_H_
#define GRENFEL_SERVICES_FILEIO_POSIX_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "services/fileio.h"

namespace grenfel {

// The status for errno `error` met by `call` on `name`: its code, and a
// "call(name): reason" message.
Status ErrnoStatus(const char* call, const std::string& name, int error);

// Names go to the system calls whole.
inline const std::string& UsedName(const std::string& name) { return name; }

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

FileKind KindOf(const struct stat& st);
// Kind, size, identity and modification time from `st`.
void Describe(const struct stat& st, FileInfo* info);
// Appends everything left to read from `fd` to `out`.
Status ReadToEnd(int fd, const std::string& name, std::string* out);

// The SIGBUS handler's record of one mapping.
struct WatchedMapping;

// Watches one mapping while alive: when a page of it is lost because
// another program cut the file short, the companions named to
// RemoveOnMappedFileFault are removed, one error line naming the file is
// printed and the run ends with exit code 2.
class MappingWatch {
 public:
  MappingWatch(const char* start, size_t size, const std::string& name);
  ~MappingWatch();
  MappingWatch(const MappingWatch&) = delete;
  MappingWatch& operator=(const MappingWatch&) = delete;

 private:
  WatchedMapping* slot_ = nullptr;
  const std::string* line_ = nullptr;
};

// A file's bytes mapped privately, watched for being cut short.
class Mapping {
 public:
  Mapping(void* address, size_t size, const std::string& name)
      : address_(address), size_(size), watch_(static_cast<const char*>(address), size, name) {}
  ~Mapping();
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

// Maps `size` bytes of the file; nothing when it is empty or cannot be
// mapped.
std::unique_ptr<Mapping> MapFile(int fd, size_t size, const std::string& name);

// With `remove`, names a companion to remove when a mapped file is found cut
// short; without, takes the name back.
void RemoveOnMappedFileFault(const std::string& name, bool remove);

// The writable file on the open descriptor `fd`, which it owns from now on.
std::unique_ptr<WritableFile> NewWritableFile(int fd, const std::string& name);

// Takes over `fd`, an open regular file with its flock, and reads it whole
// into a held file. `writeError` is why the file could only be opened for
// reading (0 when it is open for writing too).
Status LoadHeldFile(int fd, const std::string& name, int writeError,
                    std::unique_ptr<HeldFile>* file);

// Overwrites `to` from its start with the first `length` bytes of `from`
// inside the kernel. Sets `*unsupported` (and copies nothing) where the
// files are not this layer's or their file systems cannot.
Status CopyInsideKernel(WritableFile* from, uint64_t length, HeldFile* to, bool* unsupported);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FILEIO_POSIX_H_
