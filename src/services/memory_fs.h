// For tests and fuzzing: a file system held in memory. Files are byte
// strings by name; there are no folders or locks, and no identities beyond
// names. A file's modification time is the count of changes made to it.
#ifndef GRENFEL_SERVICES_MEMORY_FS_H_
#define GRENFEL_SERVICES_MEMORY_FS_H_

#include <map>
#include <memory>
#include <string>

#include "services/fileio.h"

namespace grenfel {

class MemoryFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, uint64_t> changes;

  bool Exists(const std::string& name) override { return files.count(name) > 0; }

  Status Stat(const std::string& name, FileInfo* info) override {
    auto it = files.find(name);
    if (it == files.end()) return Missing(name);
    info->kind = FileKind::kRegular;
    info->size = it->second.size();
    info->device = 1;
    info->inode = std::hash<std::string>()(name);
    info->modified = changes[name];
    return Status::Ok();
  }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file) override {
    if (files.count(name) == 0) return Missing(name);
    auto held = std::make_unique<Held>(this, name);
    Status s = held->Reload();
    if (s.ok()) *file = std::move(held);
    return s;
  }

  Status ReadFile(const std::string& name, bool, std::unique_ptr<FileData>* data) override {
    auto it = files.find(name);
    if (it == files.end()) return Missing(name);
    *data = std::make_unique<OwnedFileData>(it->second);
    return Status::Ok();
  }

  Status OpenForWriting(const std::string& name, WriteMode mode,
                        std::unique_ptr<WritableFile>* file) override {
    auto it = files.find(name);
    if (mode == WriteMode::kTruncateExisting && it == files.end()) return Missing(name);
    if (mode == WriteMode::kCreateEmptyOnly && it != files.end() && !it->second.empty()) {
      return Status::Error(ErrorCode::kCompanionHoldsData, name + ": already holds data");
    }
    files[name].clear();
    ++changes[name];
    *file = std::make_unique<Writer>(&files[name]);
    return Status::Ok();
  }

  Status Delete(const std::string& name) override {
    return files.erase(name) ? Status::Ok() : Missing(name);
  }

  Status SyncFolderOf(const std::string&) override { return Status::Ok(); }

 private:
  class Writer : public WritableFile {
   public:
    explicit Writer(std::string* target) : target_(target) {}
    Status Append(std::string_view data) override {
      target_->append(data);
      return Status::Ok();
    }
    Status Sync() override { return Status::Ok(); }
    Status Close() override { return Status::Ok(); }
    Status ReadBack(uint64_t offset, char* into, size_t count, size_t* got) override {
      *got = offset < target_->size() ? target_->copy(into, count, offset) : 0;
      return Status::Ok();
    }

   private:
    std::string* target_;
  };

  class Held : public HeldFile {
   public:
    Held(MemoryFileSystem* fs, std::string name) : fs_(fs), name_(std::move(name)) {}
    std::string_view bytes() const override { return bytes_; }
    const FileInfo& opened() const override { return opened_; }
    void ReleaseBytes() override { bytes_.clear(); }
    Status Reload() override {
      Status s = fs_->Stat(name_, &opened_);
      if (s.ok()) bytes_ = fs_->files[name_];
      return s;
    }
    Status Look(FileInfo* info) override { return fs_->Stat(name_, info); }
    Status Reserve(uint64_t) override { return Present(); }
    Status WriteAt(uint64_t offset, std::string_view data) override {
      Status s = Present();
      if (!s.ok()) return s;
      std::string& file = fs_->files[name_];
      if (file.size() < offset + data.size()) file.resize(offset + data.size());
      file.replace(offset, data.size(), data);
      ++fs_->changes[name_];
      return Status::Ok();
    }
    Status Cut(uint64_t length) override {
      Status s = Present();
      if (s.ok()) fs_->files[name_].resize(length);
      return s;
    }

   private:
    Status Present() { return fs_->files.count(name_) ? Status::Ok() : Missing(name_); }

    MemoryFileSystem* fs_;
    std::string name_;
    std::string bytes_;
    FileInfo opened_;
  };

  static Status Missing(const std::string& name) {
    return Status::Error(ErrorCode::kFileNotFound, name + ": no such file");
  }
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_MEMORY_FS_H_
