// The open files of the Windows file layer: the held list, read whole and
// rewritten in place through the handle that read it, and the buffered
// writable file.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "services/fileio_win32.h"

namespace grenfel {
namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

Status MoveTo(HANDLE handle, uint64_t offset, const std::string& name, const char* call) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN)) return LastErrorStatus(call, name);
  return Status::Ok();
}

class WinWritableFile : public BufferedWritableFile {
 public:
  WinWritableFile(HANDLE handle, std::string name)
      : BufferedWritableFile(std::move(name)), handle_(handle) {}
  ~WinWritableFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }

  Status Sync() override {
    Status s = Flush();
    if (!s.ok()) return s;
    QuietErrors quiet;
    // As on POSIX, a failed flush is final: what was lost is not known.
    if (!::FlushFileBuffers(handle_)) return Fail(LastErrorStatus("fsync", name()));
    return Status::Ok();
  }

  Status ReadBack(uint64_t offset, char* into, size_t count, size_t* got) override {
    if (handle_ == INVALID_HANDLE_VALUE) {
      return Status::Error(ErrorCode::kFileClosed, "read(" + name() + "): file is closed");
    }
    QuietErrors quiet;
    OVERLAPPED at = At(offset);
    DWORD read = 0;
    DWORD asked = static_cast<DWORD>(std::min<size_t>(count, kMaxTransfer));
    if (!::ReadFile(handle_, into, asked, &read, &at)) {
      if (::GetLastError() != ERROR_HANDLE_EOF) return LastErrorStatus("read", name());
    }
    *got = read;
    return Status::Ok();
  }

  Status Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return failure();
    Status s = Flush();
    QuietErrors quiet;
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(handle) && s.ok()) s = Fail(LastErrorStatus("close", name()));
    return s;
  }

 private:
  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  // WriteFile may write fewer bytes than asked (wine does on large blocks):
  // go on until all are written; a call that writes nothing means the disk
  // is full.
  Status WriteAll(std::string_view data) override {
    QuietErrors quiet;
    while (!data.empty()) {
      DWORD asked = static_cast<DWORD>(std::min<size_t>(data.size(), kMaxTransfer));
      DWORD put = 0;
      if (!::WriteFile(handle_, data.data(), asked, &put, nullptr)) {
        return Fail(LastErrorStatus("write", name()));
      }
      if (put == 0) return Fail(ErrorStatus("write", name(), ERROR_DISK_FULL));
      data.remove_prefix(put);
    }
    return Status::Ok();
  }

  HANDLE handle_;
};

// A disk file held with share mode 0 from opening to destruction: nobody
// else can open it meanwhile. Read whole into memory; written in place
// through the same handle.
class WinHeldFile : public HeldFile {
 public:
  // `writeError` is why the file could only be opened for reading (0 when
  // it is open for writing too).
  WinHeldFile(HANDLE handle, std::string name, DWORD writeError)
      : handle_(handle), name_(std::move(name)), writeError_(writeError) {}
  ~WinHeldFile() override { ::CloseHandle(handle_); }

  Status Load() {
    QuietErrors quiet;
    Status s = Look(&opened_);
    if (s.ok()) s = MoveTo(handle_, 0, name_, "read");
    if (s.ok()) s = ReadDiskFile(handle_, name_, &bytes_);
    return s;
  }

  std::string_view bytes() const override { return bytes_; }
  const FileInfo& opened() const override { return opened_; }
  void ReleaseBytes() override { std::string().swap(bytes_); }
  Status Reload() override {
    ReleaseBytes();
    return Load();
  }

  Status Look(FileInfo* info) override {
    QuietErrors quiet;
    BY_HANDLE_FILE_INFORMATION data;
    if (!::GetFileInformationByHandle(handle_, &data)) return LastErrorStatus("fstat", name_);
    Describe(data, true, info);
    return Status::Ok();
  }

  // Extends the file to the new length before anything is written, so that
  // a full disk shows here and not halfway through the rewrite.
  Status Reserve(uint64_t length) override {
    if (writeError_ != 0) return ErrorStatus("open", name_, writeError_);
    QuietErrors quiet;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) return LastErrorStatus("fstat", name_);
    if (length <= static_cast<uint64_t>(size.QuadPart)) return Status::Ok();
    Status s = MoveTo(handle_, length, name_, "fallocate");
    if (s.ok() && !::SetEndOfFile(handle_)) s = LastErrorStatus("fallocate", name_);
    return s;
  }

  Status WriteAt(uint64_t offset, std::string_view data) override {
    QuietErrors quiet;
    while (!data.empty()) {
      OVERLAPPED at = At(offset);
      DWORD asked = static_cast<DWORD>(std::min<size_t>(data.size(), kMaxTransfer));
      DWORD put = 0;
      if (!::WriteFile(handle_, data.data(), asked, &put, &at)) {
        return LastErrorStatus("write", name_);
      }
      if (put == 0) return ErrorStatus("write", name_, ERROR_DISK_FULL);
      data.remove_prefix(put);
      offset += put;
    }
    return Status::Ok();
  }

  Status Cut(uint64_t length) override {
    QuietErrors quiet;
    Status s = MoveTo(handle_, length, name_, "ftruncate");
    if (s.ok() && !::SetEndOfFile(handle_)) s = LastErrorStatus("ftruncate", name_);
    if (s.ok() && !::FlushFileBuffers(handle_)) s = LastErrorStatus("fsync", name_);
    return s;
  }

 private:
  HANDLE handle_;
  std::string name_;
  DWORD writeError_;
  FileInfo opened_;
  std::string bytes_;
};

}  // namespace

std::unique_ptr<WritableFile> NewWritableFile(HANDLE handle, const std::string& name) {
  return std::make_unique<WinWritableFile>(handle, name);
}

Status LoadHeldFile(HANDLE handle, const std::string& name, DWORD writeError,
                    std::unique_ptr<HeldFile>* file) {
  auto held = std::make_unique<WinHeldFile>(handle, name, writeError);
  Status s = held->Load();
  if (!s.ok()) return s;
  *file = std::move(held);
  return Status::Ok();
}

}  // namespace grenfel
