#include "services/rewrite.h"

#include <utility>

namespace grenfel {
namespace {

constexpr char kCompleteMark = 0x1A;

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

const char* RoleName(ListRole role) {
  switch (role) {
    case ListRole::kInclude:
      return "include file";
    case ListRole::kExclude:
      return "exclude file";
    case ListRole::kList:
      break;
  }
  return "list";
}

// What stays untouched when reading a file of this role fails.
const char* UnchangedClause(ListRole role) {
  return role == ListRole::kList ? "it was left unchanged." : "the list was left unchanged.";
}

}  // namespace

Status ReadListFile(FileSystem* fs, const std::string& name, ListRole role,
                    std::unique_ptr<FileData>* data) {
  // Lists and exclude files are rewritten in place; an include file is only
  // read, so it may be a pipe.
  bool regular_only = role != ListRole::kInclude;
  Status s = fs->ReadFile(name, regular_only, data);
  if (!s.ok()) {
    if (s.code == kBadFileMode) {
      return Status::Error(s.code, "The " + std::string(RoleName(role)) + " " + Quoted(name) +
                                       " is not a regular file (" + s.message + "); " +
                                       UnchangedClause(role));
    }
    return Status::Error(s.code, "Cannot read the " + std::string(RoleName(role)) + " " +
                                     Quoted(name) + " (" + s.message + "); " +
                                     UnchangedClause(role));
  }
  if (HasDataAfterEnd((*data)->bytes())) {
    data->reset();
    return Status::Error(kBadFileMode,
                         "The " + std::string(RoleName(role)) + " " + Quoted(name) +
                             " holds data after a Ctrl-Z byte, which ends its readable text: "
                             "what follows would be lost; " +
                             UnchangedClause(role));
  }
  return Status::Ok();
}

ListRewrite::ListRewrite(FileSystem* fs, std::string listName, std::string companionName,
                         std::unique_ptr<WritableFile> companion)
    : fs_(fs),
      listName_(std::move(listName)),
      companionName_(std::move(companionName)),
      companion_(std::move(companion)) {}

ListRewrite::~ListRewrite() {
  if (!finished_) Abandon();
}

Status ListRewrite::Begin(FileSystem* fs, const std::string& listName,
                          const std::string& companionName, std::unique_ptr<ListRewrite>* out) {
  std::unique_ptr<WritableFile> companion;
  Status s = fs->OpenForWriting(companionName, WriteMode::kCreateEmptyOnly, &companion);
  if (s.code == kFileAlreadyOpen) {
    // Someone's data: never empty or delete it. Tell what it is.
    std::unique_ptr<FileData> leftover;
    bool complete = fs->ReadFile(companionName, true, &leftover).ok() &&
                    !leftover->bytes().empty() && leftover->bytes().back() == kCompleteMark;
    if (complete) {
      return Status::Error(
          s.code, "The companion file " + Quoted(companionName) +
                      " holds the complete new contents of " + Quoted(listName) +
                      " from an interrupted run; copy it over the list, or delete it, and run "
                      "again. Both files were left unchanged.");
    }
    return Status::Error(s.code, "The companion file " + Quoted(companionName) +
                                     " already exists and holds data; " + Quoted(listName) +
                                     " was not touched by the run that left it, so it can be "
                                     "deleted. Both files were left unchanged.");
  }
  if (!s.ok()) {
    return Status::Error(s.code, "Cannot create the companion file " + Quoted(companionName) +
                                     " (" + s.message + "); the list " + Quoted(listName) +
                                     " was left unchanged.");
  }
  out->reset(new ListRewrite(fs, listName, companionName, std::move(companion)));
  return Status::Ok();
}

Status ListRewrite::Abandon() {
  finished_ = true;
  companion_.reset();
  Status s = fs_->Delete(companionName_);
  if (s.ok()) s = fs_->SyncFolderOf(companionName_);
  return s;
}

Status ListRewrite::Commit(Status contentStatus) {
  finished_ = true;
  // 1. Complete the companion: contents, mark, on disk.
  Status s = contentStatus;
  if (s.ok()) s = companion_->Append(std::string_view(&kCompleteMark, 1));
  if (s.ok()) s = companion_->Sync();
  if (s.ok()) s = companion_->Close();
  if (s.ok()) s = fs_->SyncFolderOf(companionName_);
  companion_.reset();
  FileInfo written;
  if (s.ok()) s = fs_->Stat(companionName_, &written);
  if (s.ok() && written.size == 0) {
    s = Status::Error(kIoError, "stat(" + companionName_ + "): empty");
  }
  if (!s.ok()) {
    fs_->Delete(companionName_);
    return Status::Error(s.code, "Cannot write the companion file " + Quoted(companionName_) +
                                     " (" + s.message + "); the list " + Quoted(listName_) +
                                     " was left unchanged.");
  }

  // 2. Rewrite the list in place from the companion's bytes, less the mark.
  std::unique_ptr<WritableFile> list;
  s = fs_->OpenForWriting(listName_, WriteMode::kTruncateExisting, &list);
  if (s.ok()) s = fs_->CopyInto(companionName_, written.size - 1, list.get());
  if (s.ok()) s = list->Sync();
  if (s.ok()) s = list->Close();
  list.reset();
  if (!s.ok()) {
    return Status::Error(s.code, "Rewriting the list " + Quoted(listName_) + " failed (" +
                                     s.message + "); its complete new contents are in " +
                                     Quoted(companionName_) +
                                     ", which was kept: copy it over the list.");
  }

  // 3. The list is complete: the companion has served.
  s = fs_->Delete(companionName_);
  if (s.ok()) s = fs_->SyncFolderOf(companionName_);
  if (!s.ok()) {
    return Status::Error(s.code, "The list " + Quoted(listName_) +
                                     " was rewritten, but its companion file " +
                                     Quoted(companionName_) + " could not be removed (" +
                                     s.message + "); delete it before the next run.");
  }
  return Status::Ok();
}

}  // namespace grenfel
