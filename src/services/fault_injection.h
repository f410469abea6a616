// For tests: a file system that passes every call to another one until a
// chosen mutating operation (an open for writing, an append, a sync, a
// close, a delete, a folder sync; on a held file its opening, the check
// that it is unchanged, the reservation, a write and the cut), which then
// fails. In crash mode that
// operation and everything after it do nothing at all, as if the process
// had died there (a file destroyed unclosed loses its unwritten buffer, as
// a process would); in error mode only the one operation fails (an append
// first writes half of its bytes, as a short write on a full disk would).
#ifndef GRENFEL_SERVICES_FAULT_INJECTION_H_
#define GRENFEL_SERVICES_FAULT_INJECTION_H_

#include <memory>
#include <string>

#include "services/fileio.h"

namespace grenfel {

class FaultFileSystem : public FileSystem {
 public:
  enum class Mode { kError, kCrash };

  // Fails the `failAt`-th mutating operation (counted from 1); 0 never fails.
  FaultFileSystem(FileSystem* base, int failAt, Mode mode)
      : base_(base), failAt_(failAt), mode_(mode) {}

  // Mutating operations seen so far.
  int operations() const { return operations_; }
  bool fired() const { return fired_; }

  bool Exists(const std::string& name) override { return base_->Exists(name); }
  Status Stat(const std::string& name, FileInfo* info) override {
    return Dead() ? Injected("stat") : base_->Stat(name, info);
  }
  Status ReadFile(const std::string& name, bool regularOnly,
                  std::unique_ptr<FileData>* data) override {
    return Dead() ? Injected("read") : base_->ReadFile(name, regularOnly, data);
  }
  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file) override {
    if (Fails()) return Injected("open");
    std::unique_ptr<HeldFile> real;
    Status s = base_->OpenHeld(name, &real);
    if (s.ok()) *file = std::make_unique<FaultHeld>(this, std::move(real));
    return s;
  }
  bool NameUsable(const std::string& name) override { return base_->NameUsable(name); }
  void RemoveOnFault(const std::string& name, bool remove) override {
    base_->RemoveOnFault(name, remove);
  }
  Status OpenForWriting(const std::string& name, WriteMode mode,
                        std::unique_ptr<WritableFile>* file) override {
    if (Fails()) return Injected("open");
    std::unique_ptr<WritableFile> real;
    Status s = base_->OpenForWriting(name, mode, &real);
    if (s.ok()) *file = std::make_unique<FaultFile>(this, std::move(real));
    return s;
  }
  Status Delete(const std::string& name) override {
    return Fails() ? Injected("unlink") : base_->Delete(name);
  }
  Status SyncFolderOf(const std::string& name) override {
    return Fails() ? Injected("fsync") : base_->SyncFolderOf(name);
  }

 private:
  class FaultFile : public WritableFile {
   public:
    FaultFile(FaultFileSystem* fs, std::unique_ptr<WritableFile> real)
        : fs_(fs), real_(std::move(real)) {}
    Status Append(std::string_view data) override {
      if (fs_->Fails()) {
        if (fs_->mode_ == Mode::kError) real_->Append(data.substr(0, data.size() / 2));
        return fs_->Injected("write");
      }
      return real_->Append(data);
    }
    Status Sync() override { return fs_->Fails() ? fs_->Injected("fsync") : real_->Sync(); }
    Status Close() override { return fs_->Fails() ? fs_->Injected("close") : real_->Close(); }
    Status ReadBack(uint64_t offset, char* into, size_t count, size_t* got) override {
      return fs_->Dead() ? fs_->Injected("read") : real_->ReadBack(offset, into, count, got);
    }

   private:
    FaultFileSystem* fs_;
    std::unique_ptr<WritableFile> real_;
  };

  class FaultHeld : public HeldFile {
   public:
    FaultHeld(FaultFileSystem* fs, std::unique_ptr<HeldFile> real)
        : fs_(fs), real_(std::move(real)) {}
    std::string_view bytes() const override { return real_->bytes(); }
    const FileInfo& opened() const override { return real_->opened(); }
    void ReleaseBytes() override { real_->ReleaseBytes(); }
    Status Reload() override { return fs_->Dead() ? fs_->Injected("read") : real_->Reload(); }
    Status Look(FileInfo* info) override {
      return fs_->Fails() ? fs_->Injected("fstat") : real_->Look(info);
    }
    Status Reserve(uint64_t length) override {
      return fs_->Fails() ? fs_->Injected("fallocate") : real_->Reserve(length);
    }
    Status WriteAt(uint64_t offset, std::string_view data) override {
      if (fs_->Fails()) {
        if (fs_->mode_ == Mode::kError) real_->WriteAt(offset, data.substr(0, data.size() / 2));
        return fs_->Injected("write");
      }
      return real_->WriteAt(offset, data);
    }
    Status Cut(uint64_t length) override {
      return fs_->Fails() ? fs_->Injected("ftruncate") : real_->Cut(length);
    }

   private:
    FaultFileSystem* fs_;
    std::unique_ptr<HeldFile> real_;
  };

  // Counts a mutating operation and tells whether it is to fail.
  bool Fails() {
    if (Dead()) return true;
    ++operations_;
    if (operations_ == failAt_) {
      fired_ = true;
      return true;
    }
    return false;
  }
  bool Dead() const { return fired_ && mode_ == Mode::kCrash; }
  Status Injected(const char* call) {
    return Status::Error(ErrorCode::kIoError, std::string(call) + ": injected failure");
  }

  FileSystem* base_;
  int failAt_;
  Mode mode_;
  int operations_ = 0;
  bool fired_ = false;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FAULT_INJECTION_H_
