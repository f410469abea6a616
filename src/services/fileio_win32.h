// What the files of the Windows file layer share, among themselves and with
// other Windows code (the deletion by pattern among the reference
// procedures): the quiet error mode, the statuses made from the system's
// error codes, the owned handle, reading a disk file, and the held and
// writable files the layer hands out. Include this header from Windows code
// only.
#ifndef GRENFEL_SERVICES_FILEIO_WIN32_H_
#define GRENFEL_SERVICES_FILEIO_WIN32_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "services/fileio.h"

namespace grenfel {

// Fails critical errors quietly, with no message box for a file that cannot
// be opened, for the life of a file operation: a missing floppy or a dead
// network drive must give an error code, not a dialog that waits for
// someone at the server.
class QuietErrors {
 public:
  QuietErrors();
  ~QuietErrors();
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  UINT previous_;
};

// The status for a system error met by `call` on `name`: its code, and a
// "call(name): reason" message worded as the POSIX build words it.
Status ErrorStatus(const char* call, const std::string& name, DWORD error);

// The same for the error of the call that just failed.
Status LastErrorStatus(const char* call, const std::string& name);

// The most one ReadFile or WriteFile call is asked to move.
constexpr DWORD kMaxTransfer = 1u << 30;

// Names go to the "A" calls whole; the driver refuses those that are too
// long for them (NameUsable), rather than let a shortened name lead to
// another file.
inline const std::string& UsedName(const std::string& name) { return name; }

// Owns a handle.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void reset(HANDLE handle) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Kind, size, identity and modification time from `data`; `disk` tells
// whether the handle is a disk file.
void Describe(const BY_HANDLE_FILE_INFORMATION& data, bool disk, FileInfo* info);

// Reads a disk file of a known size from where its file pointer stands.
// Nobody else can write it while it is held, but an end found early is
// taken as the end.
Status ReadDiskFile(HANDLE handle, const std::string& name, std::string* out);

// The writable file on the open `handle`, which it owns from now on.
std::unique_ptr<WritableFile> NewWritableFile(HANDLE handle, const std::string& name);

// Takes over `handle`, an open disk file held with share mode 0, and reads
// it whole into a held file. `writeError` is why the file could only be
// opened for reading (0 when it is open for writing too).
Status LoadHeldFile(HANDLE handle, const std::string& name, DWORD writeError,
                    std::unique_ptr<HeldFile>* file);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FILEIO_WIN32_H_
