// A fault shim for end-to-end tests, loaded with LD_PRELOAD. It watches the
// writes to regular files other than standard output and error, and the
// fsync calls on any descriptor above 2, and fails or kills the process at
// the point the environment names:
//
//   GRENFEL_FAULT_BYTES=N   the file writes may put N bytes in all; the write
//                           that crosses N writes what fits (a short write)
//                           and the next one fails
//   GRENFEL_FAULT_CALL=K    the K-th file write call (from 1) fails
//   GRENFEL_FAULT_FSYNC=K   the K-th fsync or fdatasync (from 1) fails, once
//   GRENFEL_FAULT_RESERVE=K the K-th fallocate or posix_fallocate (from 1)
//                           fails, once
//   GRENFEL_FAULT_ACTION=   enospc (the default) or eio: the call fails with
//                           that error, and every file write after it too;
//                           kill: SIGKILL once N bytes are written, or in
//                           place of the K-th call
//   GRENFEL_FAULT_NOSYNC=1  fsync and fdatasync succeed without reaching the
//                           disk (they still count): quicker runs
//   GRENFEL_FAULT_REPORT=P  at exit, write "bytes calls syncs reservations"
//                           to the file P
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr long long kNone = -1;

long long budget = kNone, failCall = kNone, failSync = kNone, failReserve = kNone;
int failErrno = ENOSPC;
bool killing = false, failing = false, noSync = false;
long long bytes = 0, calls = 0, syncs = 0, reservations = 0;

long long Number(const char* name) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? atoll(text) : kNone;
}

template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void Start() {
  budget = Number("GRENFEL_FAULT_BYTES");
  failCall = Number("GRENFEL_FAULT_CALL");
  failSync = Number("GRENFEL_FAULT_FSYNC");
  failReserve = Number("GRENFEL_FAULT_RESERVE");
  noSync = Number("GRENFEL_FAULT_NOSYNC") == 1;
  const char* action = getenv("GRENFEL_FAULT_ACTION");
  if (action != nullptr && strcmp(action, "eio") == 0) failErrno = EIO;
  if (action != nullptr && strcmp(action, "kill") == 0) killing = true;
}

__attribute__((destructor)) void Report() {
  const char* path = getenv("GRENFEL_FAULT_REPORT");
  if (path == nullptr || *path == '\0') return;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char text[128];
  int size =
      snprintf(text, sizeof text, "%lld %lld %lld %lld\n", bytes, calls, syncs, reservations);
  if (Next<ssize_t(int, const void*, size_t)>("write")(fd, text, static_cast<size_t>(size)) < 0) {
    perror(path);
  }
  close(fd);
}

bool Watched(int fd) {
  struct stat st;
  return fd > 2 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Before a watched write of `count` bytes: how many may go, or -1 (errno
// set) when the call must fail. A kill happens here.
long long Allowed(size_t count) {
  ++calls;
  if (failing || calls == failCall || budget == 0) {
    if (killing) raise(SIGKILL);
    failing = true;
    errno = failErrno;
    return -1;
  }
  return budget != kNone && static_cast<long long>(count) > budget ? budget
                                                                   : static_cast<long long>(count);
}

// After a watched write: counts what went; kills once the budget is spent.
ssize_t Wrote(ssize_t done) {
  if (done > 0) {
    bytes += done;
    if (budget != kNone) budget -= done;
    if (budget == 0 && killing) raise(SIGKILL);
  }
  return done;
}

bool SyncFails(int fd) {
  if (fd <= 2 || ++syncs != failSync) return false;
  if (killing) raise(SIGKILL);
  errno = failErrno;
  return true;
}

// Before a reservation: the error number it fails with, or 0.
int ReservationFails(int fd) {
  if (!Watched(fd) || ++reservations != failReserve) return 0;
  if (killing) raise(SIGKILL);
  return failErrno;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t count) {
  static auto* real = Next<ssize_t(int, const void*, size_t)>("write");
  if (count == 0 || !Watched(fd)) return real(fd, data, count);
  long long allowed = Allowed(count);
  return allowed < 0 ? -1 : Wrote(real(fd, data, static_cast<size_t>(allowed)));
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
  static auto* real = Next<ssize_t(int, const void*, size_t, off_t)>("pwrite");
  if (count == 0 || !Watched(fd)) return real(fd, data, count, offset);
  long long allowed = Allowed(count);
  return allowed < 0 ? -1 : Wrote(real(fd, data, static_cast<size_t>(allowed), offset));
}

ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
  static auto* real = Next<ssize_t(int, const void*, size_t, off64_t)>("pwrite64");
  if (count == 0 || !Watched(fd)) return real(fd, data, count, offset);
  long long allowed = Allowed(count);
  return allowed < 0 ? -1 : Wrote(real(fd, data, static_cast<size_t>(allowed), offset));
}

ssize_t writev(int fd, const struct iovec* parts, int partCount) {
  static auto* real = Next<ssize_t(int, const struct iovec*, int)>("writev");
  size_t count = 0;
  for (int i = 0; i < partCount; ++i) count += parts[i].iov_len;
  if (count == 0 || !Watched(fd)) return real(fd, parts, partCount);
  long long allowed = Allowed(count);
  if (allowed < 0) return -1;
  // Only the parts, or the part of a part, that may go.
  struct iovec cut[64];
  int used = 0;
  for (; used < partCount && used < 64 && allowed > 0; ++used) {
    cut[used] = parts[used];
    if (static_cast<long long>(cut[used].iov_len) > allowed) {
      cut[used].iov_len = static_cast<size_t>(allowed);
    }
    allowed -= static_cast<long long>(cut[used].iov_len);
  }
  return Wrote(real(fd, cut, used));
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count,
                        unsigned int flags) {
  static auto* real =
      Next<ssize_t(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
  if (count == 0 || !Watched(out)) return real(in, inOffset, out, outOffset, count, flags);
  long long allowed = Allowed(count);
  return allowed < 0
             ? -1
             : Wrote(real(in, inOffset, out, outOffset, static_cast<size_t>(allowed), flags));
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  static auto* real = Next<int(int, int, off_t, off_t)>("fallocate");
  if (int error = ReservationFails(fd)) {
    errno = error;
    return -1;
  }
  return real(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
  static auto* real = Next<int(int, int, off64_t, off64_t)>("fallocate64");
  if (int error = ReservationFails(fd)) {
    errno = error;
    return -1;
  }
  return real(fd, mode, offset, length);
}

int posix_fallocate(int fd, off_t offset, off_t length) {
  static auto* real = Next<int(int, off_t, off_t)>("posix_fallocate");
  if (int error = ReservationFails(fd)) return error;
  return real(fd, offset, length);
}

int fsync(int fd) {
  static auto* real = Next<int(int)>("fsync");
  return SyncFails(fd) ? -1 : noSync ? 0 : real(fd);
}

int fdatasync(int fd) {
  static auto* real = Next<int(int)>("fdatasync");
  return SyncFails(fd) ? -1 : noSync ? 0 : real(fd);
}

}  // extern "C"
