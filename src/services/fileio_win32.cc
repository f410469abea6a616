// The file system on Windows. Every file is opened with share mode 0: while
// grenfel holds a list, no other process can open it, and an open of a file
// that someone else holds fails at once with a sharing violation instead of
// waiting. Names are bytes in the ANSI code page and go to the "A" calls
// unchanged.
//
// Failure messages name the operation as the POSIX build does ("open",
// "read", "write", "fsync", "unlink", ...) and use the same reason texts for
// the common causes, so that a run prints the same lines on both systems.
// This file holds the name operations, the opening of files and the
// statuses; the open files are in held_file_win32.cc.
#include "services/fileio_win32.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "services/fileio.h"

namespace grenfel {
namespace {

// What QuietErrors sets.
constexpr UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

ErrorCode CodeForError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return ErrorCode::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ErrorCode::kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return ErrorCode::kPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorCode::kDiskFull;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ErrorCode::kOutOfMemory;
    default:
      return ErrorCode::kIoError;
  }
}

std::string ReasonForError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "held by another process";
    case ERROR_WRITE_PROTECT:
      return "Read-only file system";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Cannot allocate memory";
    default:
      return "system error " + std::to_string(error);
  }
}

}  // namespace

QuietErrors::QuietErrors() : previous_(::SetErrorMode(kQuietErrorMode)) {}
QuietErrors::~QuietErrors() { ::SetErrorMode(previous_); }

Status ErrorStatus(const char* call, const std::string& name, DWORD error) {
  return Status::Error(CodeForError(error),
                       std::string(call) + "(" + name + "): " + ReasonForError(error));
}

Status LastErrorStatus(const char* call, const std::string& name) {
  return ErrorStatus(call, name, ::GetLastError());
}

namespace {

uint64_t Ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

void Describe(const BY_HANDLE_FILE_INFORMATION& data, bool disk, FileInfo* info) {
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info->kind = FileKind::kDirectory;
  } else {
    info->kind = disk ? FileKind::kRegular : FileKind::kOther;
  }
  info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info->device = data.dwVolumeSerialNumber;
  info->inode = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  info->modified = Ticks(data.ftLastWriteTime);
}

Status ReadDiskFile(HANDLE handle, const std::string& name, std::string* out) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle, &size)) return LastErrorStatus("fstat", name);
  // A file larger than the address space (of the 32-bit program) ends the
  // run as any allocation that fails does.
  if (static_cast<unsigned long long>(size.QuadPart) > out->max_size()) throw std::bad_alloc();
  out->resize(static_cast<size_t>(size.QuadPart));
  size_t filled = 0;
  while (filled < out->size()) {
    DWORD asked = static_cast<DWORD>(std::min<size_t>(out->size() - filled, kMaxTransfer));
    DWORD got = 0;
    if (!::ReadFile(handle, out->data() + filled, asked, &got, nullptr)) {
      return LastErrorStatus("read", name);
    }
    if (got == 0) break;
    filled += got;
  }
  out->resize(filled);
  return Status::Ok();
}

namespace {

bool IsFolder(const std::string& usedName) {
  DWORD attributes = ::GetFileAttributesA(usedName.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Opens with share mode 0. The handle is not inherited: the program starts
// no processes, and one that held a list would keep it locked.
HANDLE OpenExclusive(const std::string& usedName, DWORD access, DWORD disposition) {
  return ::CreateFileA(usedName.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// The failure of an exclusive open. A folder cannot be opened as a file at
// all (access denied); it is reported as the folder it is.
Status OpenFailure(const std::string& name, const std::string& usedName, bool forWriting) {
  DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED && IsFolder(usedName)) {
    return forWriting
               ? Status::Error(ErrorCode::kIoError, "open(" + name + "): Is a directory")
               : Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): is a directory");
  }
  return ErrorStatus("open", name, error);
}

// The device kind: only a disk file is regular. Sets *failed when the system
// cannot tell.
bool IsDiskFile(HANDLE handle, bool* failed) {
  ::SetLastError(NO_ERROR);
  DWORD type = ::GetFileType(handle);
  *failed = type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR;
  return type == FILE_TYPE_DISK;
}

// Asks the device kind of an opened file; with `required`, anything but a
// disk file is refused as not regular. `*disk`, when given, tells which it
// is.
Status RequireDiskFile(HANDLE handle, const std::string& name, bool required, bool* disk) {
  bool typeFailed = false;
  bool isDisk = IsDiskFile(handle, &typeFailed);
  if (typeFailed) return LastErrorStatus("fstat", name);
  if (required && !isDisk) {
    return Status::Error(ErrorCode::kNotRegularFile, "open(" + name + "): not a regular file");
  }
  if (disk != nullptr) *disk = isDisk;
  return Status::Ok();
}

// Reads a pipe or device to its end; a pipe whose writer has gone reports
// ERROR_BROKEN_PIPE, which is its end.
Status ReadToEnd(HANDLE handle, const std::string& name, std::string* out) {
  char chunk[1 << 16];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle, chunk, sizeof chunk, &got, nullptr)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return Status::Ok();
      return ErrorStatus("read", name, error);
    }
    if (got == 0) return Status::Ok();
    out->append(chunk, got);
  }
}

class WinFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& name) override {
    if (!NamesOneFile(name)) return false;
    QuietErrors quiet;
    return ::GetFileAttributesA(UsedName(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  Status Stat(const std::string& name, FileInfo* info) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("stat", name);
    QuietErrors quiet;
    // No data access is asked for, so this works on a file that someone
    // holds with share mode 0; backup semantics let it open a folder.
    Handle handle(::CreateFileA(UsedName(name).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return LastErrorStatus("stat", name);
    // Devices have no identity; failing here keeps two of them from
    // looking like one file.
    BY_HANDLE_FILE_INFORMATION data;
    if (!::GetFileInformationByHandle(handle.get(), &data)) return LastErrorStatus("stat", name);
    bool typeFailed = false;
    bool disk = IsDiskFile(handle.get(), &typeFailed);
    Describe(data, disk, info);
    return Status::Ok();
  }

  bool NameUsable(const std::string& name) override { return name.size() < MAX_PATH; }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    QuietErrors quiet;
    const std::string& used = UsedName(name);
    DWORD writeError = 0;
    Handle handle(OpenExclusive(used, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING));
    if (!handle.valid()) {
      writeError = ::GetLastError();
      // Read-only files, and read-only media, can still be read.
      if (writeError == ERROR_ACCESS_DENIED || writeError == ERROR_WRITE_PROTECT) {
        Handle reading(OpenExclusive(used, GENERIC_READ, OPEN_EXISTING));
        if (reading.valid()) handle.reset(reading.release());
      }
    }
    if (!handle.valid()) {
      ::SetLastError(writeError);
      return OpenFailure(name, used, false);
    }
    Status kind = RequireDiskFile(handle.get(), name, true, nullptr);
    if (!kind.ok()) return kind;
    return LoadHeldFile(handle.release(), name, writeError, file);
  }

  Status ReadFile(const std::string& name, bool regularOnly,
                  std::unique_ptr<FileData>* data) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    QuietErrors quiet;
    std::string used = UsedName(name);
    Handle handle(OpenExclusive(used, GENERIC_READ, OPEN_EXISTING));
    if (!handle.valid()) return OpenFailure(name, used, false);
    bool disk = false;
    Status kind = RequireDiskFile(handle.get(), name, regularOnly, &disk);
    if (!kind.ok()) return kind;
    std::string bytes;
    Status s =
        disk ? ReadDiskFile(handle.get(), name, &bytes) : ReadToEnd(handle.get(), name, &bytes);
    if (!s.ok()) return s;
    *data = std::make_unique<OwnedFileData>(std::move(bytes));
    return Status::Ok();
  }

  Status OpenForWriting(const std::string& name, WriteMode mode,
                        std::unique_ptr<WritableFile>* file) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("open", name);
    QuietErrors quiet;
    const std::string& used = UsedName(name);
    if (mode == WriteMode::kCreateEmptyOnly) return OpenCompanion(name, file);
    // Open always, then cut: unlike creating anew, cutting keeps the file
    // itself (its attributes, security and links).
    DWORD disposition = mode == WriteMode::kTruncateExisting ? OPEN_EXISTING : OPEN_ALWAYS;
    Handle handle(OpenExclusive(used, GENERIC_WRITE | FILE_READ_ATTRIBUTES, disposition));
    if (!handle.valid()) return OpenFailure(name, used, true);
    Status kind = RequireDiskFile(handle.get(), name, true, nullptr);
    if (!kind.ok()) return kind;
    if (::SetFilePointer(handle.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
      return LastErrorStatus("ftruncate", name);
    }
    if (!::SetEndOfFile(handle.get())) return LastErrorStatus("ftruncate", name);
    *file = NewWritableFile(handle.release(), name);
    return Status::Ok();
  }

  Status Delete(const std::string& name) override {
    if (!NamesOneFile(name)) return InvalidNameStatus("unlink", name);
    QuietErrors quiet;
    if (!::DeleteFileA(UsedName(name).c_str())) return LastErrorStatus("unlink", name);
    return Status::Ok();
  }

  // A companion is ours alone: created new, and never through a link. One
  // that is already there is taken over only when it is an empty disk file
  // that is no link. It is opened to be read back: the list is copied from
  // it.
  Status OpenCompanion(const std::string& name, std::unique_ptr<WritableFile>* file) {
    const std::string& used = UsedName(name);
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    Handle handle(OpenExclusive(used, kAccess, CREATE_NEW));
    if (!handle.valid()) {
      DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        return OpenFailure(name, used, true);
      }
      DWORD attributes = ::GetFileAttributesA(used.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Status::Error(ErrorCode::kCompanionNotOurs,
                             "open(" + name + "): is a symbolic link");
      }
      handle.reset(::CreateFileA(used.c_str(), kAccess, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!handle.valid()) return OpenFailure(name, used, true);
    }
    Status kind = RequireDiskFile(handle.get(), name, true, nullptr);
    if (!kind.ok()) return kind;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle.get(), &size)) return LastErrorStatus("fstat", name);
    if (size.QuadPart > 0) {
      return Status::Error(ErrorCode::kCompanionHoldsData,
                           "open(" + name + "): already holds data");
    }
    *file = NewWritableFile(handle.release(), name);
    return Status::Ok();
  }

  // Nothing to do: NTFS journals its metadata, so a created or removed
  // entry is on disk once the call that made it has returned, and Windows
  // has no call that flushes a folder by itself.
  Status SyncFolderOf(const std::string&) override { return Status::Ok(); }
};

}  // namespace

FileSystem* RealFileSystem() {
  static WinFileSystem fileSystem;
  return &fileSystem;
}

}  // namespace grenfel
