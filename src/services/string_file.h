// Writable files that keep what is written in memory: a dry run writes its
// lists into one instead of a companion, and a run that must look at a list
// as written before the list is cut copies what it writes into one.
#ifndef GRENFEL_SERVICES_STRING_FILE_H_
#define GRENFEL_SERVICES_STRING_FILE_H_

#include <string>
#include <string_view>

#include "services/fileio.h"

namespace grenfel {

// Keeps what is written in `*bytes`, or drops it when `bytes` is null.
class StringWritableFile : public WritableFile {
 public:
  explicit StringWritableFile(std::string* bytes) : bytes_(bytes) {}
  Status Append(std::string_view data) override {
    if (bytes_ != nullptr) bytes_->append(data);
    return Status::Ok();
  }
  Status Sync() override { return Status::Ok(); }
  Status Close() override { return Status::Ok(); }

 private:
  std::string* bytes_;
};

// Writes everything to `file` and keeps a copy in `*bytes`.
class CopyingWritableFile : public WritableFile {
 public:
  CopyingWritableFile(WritableFile* file, std::string* bytes) : file_(file), bytes_(bytes) {}
  Status Append(std::string_view data) override {
    bytes_->append(data);
    return file_->Append(data);
  }
  Status Sync() override { return file_->Sync(); }
  Status Close() override { return file_->Close(); }

 private:
  WritableFile* file_;
  std::string* bytes_;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_STRING_FILE_H_
