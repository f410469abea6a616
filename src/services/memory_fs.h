// For tests and fuzzing: a file system held in memory. Files are byte
// strings by name; there are no folders, locks or identities beyond names.
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

  bool Exists(const std::string& name) override { return files.count(name) > 0; }

  Status Stat(const std::string& name, FileInfo* info) override {
    auto it = files.find(name);
    if (it == files.end()) return Missing(name);
    info->kind = FileKind::kRegular;
    info->size = it->second.size();
    info->device = 1;
    info->inode = std::hash<std::string>()(name);
    return Status::Ok();
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
      return Status::Error(kFileAlreadyOpen, name + ": already holds data");
    }
    files[name].clear();
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

   private:
    std::string* target_;
  };

  static Status Missing(const std::string& name) {
    return Status::Error(kFileNotFound, name + ": no such file");
  }
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_MEMORY_FS_H_
