// The safe rewrite of a list in place: the companion written and put on disk
// first, then the list overwritten from it, and the companion removed.
#include "services/rewrite.h"

#include <new>
#include <utility>

namespace grenfel {
namespace {

constexpr char kCompleteMark = 0x1A;
// What the list is copied through where the system cannot copy by itself.
constexpr size_t kCopyBufferSize = 1 << 20;

// What a companion that holds data holds: someone's data, never emptied or
// deleted. Deleting complete new contents is safe only when the list
// already holds them.
CompanionContents FindCompanionContents(FileSystem* fs, const std::string& companionName,
                                        HeldFile* list) {
  std::unique_ptr<FileData> leftover;
  bool complete = fs->ReadFile(companionName, true, &leftover).ok() && !leftover->bytes().empty() &&
                  leftover->bytes().back() == kCompleteMark;
  if (!complete) return CompanionContents::kIncomplete;
  std::string_view contents = leftover->bytes();
  contents.remove_suffix(1);
  return contents == list->bytes() ? CompanionContents::kCompleteAndInList
                                   : CompanionContents::kCompleteNotInList;
}

// The failure to claim a companion (create it, or take it over).
RunFailure ClaimFailure(FileSystem* fs, const std::string& listName,
                        const std::string& companionName, HeldFile* list, const Status& s) {
  RunFailure failure =
      RunFailure::Of(FailedStep::kClaimCompanion, s, listName, ListRole::kList, companionName);
  if (s.code == ErrorCode::kCompanionHoldsData) {
    failure.companionContents = FindCompanionContents(fs, companionName, list);
  }
  return failure;
}

// Finds the readable part of a file's bytes; refused, with *readable
// empty, when data follows it.
RunFailure FindReadable(std::string_view bytes, const std::string& name, ListRole role,
                        std::string_view* readable) {
  *readable = ReadablePart(bytes);
  if (!HasDataAfterEnd(bytes, *readable)) return RunFailure::None();
  *readable = {};
  return RunFailure::Of(FailedStep::kCheckContents, Status::Error(ErrorCode::kDataAfterEnd, ""),
                        name, role);
}

}  // namespace

RunFailure OpenListFile(FileSystem* fs, const std::string& name, ListRole role,
                        std::unique_ptr<HeldFile>* held, std::string_view* readable) {
  Status s = fs->OpenHeld(name, held);
  if (!s.ok()) {
    held->reset();
    return RunFailure::Of(FailedStep::kReadFile, s, name, role);
  }
  RunFailure failure = FindReadable((*held)->bytes(), name, role, readable);
  if (!failure.ok()) held->reset();
  return failure;
}

RunFailure ReadListFile(FileSystem* fs, const std::string& name, ListRole role,
                        std::unique_ptr<FileData>* data, std::string_view* readable) {
  // Lists and exclude files are rewritten in place; an include file is only
  // read, so it may be a pipe.
  bool regularOnly = role != ListRole::kInclude;
  Status s = fs->ReadFile(name, regularOnly, data);
  if (!s.ok()) return RunFailure::Of(FailedStep::kReadFile, s, name, role);
  RunFailure failure = FindReadable((*data)->bytes(), name, role, readable);
  if (!failure.ok()) data->reset();
  return failure;
}

ListRewrite::ListRewrite(FileSystem* fs, std::string listName, std::string companionName,
                         HeldFile* list, std::unique_ptr<WritableFile> companion)
    : fs_(fs),
      list_(list),
      listName_(std::move(listName)),
      companionName_(std::move(companionName)),
      companion_(std::move(companion)) {}

ListRewrite::~ListRewrite() {
  if (!finished_) Abandon();
}

RunFailure ListRewrite::Begin(FileSystem* fs, const std::string& listName,
                              const std::string& companionName, HeldFile* list,
                              std::unique_ptr<ListRewrite>* out) {
  std::unique_ptr<WritableFile> companion;
  Status s = fs->OpenForWriting(companionName, WriteMode::kCreateEmptyOnly, &companion);
  if (!s.ok()) return ClaimFailure(fs, listName, companionName, list, s);
  fs->RemoveOnFault(companionName, true);
  out->reset(new ListRewrite(fs, listName, companionName, list, std::move(companion)));
  return RunFailure::None();
}

RunFailure ListRewrite::Preview(FileSystem* fs, const std::string& listName,
                                const std::string& companionName, HeldFile* list) {
  Status s = fs->CheckCompanion(companionName);
  if (!s.ok()) return ClaimFailure(fs, listName, companionName, list, s);
  return RunFailure::None();
}

RunFailure ListRewrite::Failed(FailedStep step, Status cause) const {
  return RunFailure::Of(step, std::move(cause), listName_, ListRole::kList, companionName_);
}

void ListRewrite::DropCompanion() {
  companion_.reset();
  fs_->RemoveOnFault(companionName_, false);
  fs_->Delete(companionName_);
}

Status ListRewrite::Abandon() {
  finished_ = true;
  companion_.reset();
  fs_->RemoveOnFault(companionName_, false);
  Status s = fs_->Delete(companionName_);
  if (s.ok()) s = fs_->SyncFolderOf(companionName_);
  return s;
}

RunFailure ListRewrite::CheckUnchanged() {
  FileInfo now, named;
  Status s = list_->Look(&now);
  if (!s.ok()) return Failed(FailedStep::kLookBeforeRewrite, s);
  // The name must still lead to the file that is held: a list replaced by
  // another file under the same name is no longer ours to write.
  s = fs_->Stat(listName_, &named);
  bool sameName = s.ok() && named.device == now.device && named.inode == now.inode;
  if (!sameName || !SameUnchangedFile(list_->opened(), now)) {
    return Failed(FailedStep::kCheckUnchanged, Status::Error(ErrorCode::kListChangedDuringRun, ""));
  }
  return RunFailure::None();
}

RunFailure ListRewrite::Commit(Status contentStatus) {
  finished_ = true;
  // 1. Complete the companion: contents, mark, on disk. It stays open: the
  // list is copied from it.
  Status s = contentStatus;
  if (s.ok()) s = companion_->Append(std::string_view(&kCompleteMark, 1));
  if (s.ok()) s = companion_->Sync();
  if (s.ok()) s = fs_->SyncFolderOf(companionName_);
  FileInfo written;
  if (s.ok()) s = fs_->Stat(companionName_, &written);
  if (s.ok() && written.size == 0) {
    s = Status::Error(ErrorCode::kIoError, "stat(" + companionName_ + "): empty");
  }
  if (!s.ok()) {
    DropCompanion();
    return Failed(FailedStep::kWriteCompanion, s);
  }
  const uint64_t length = written.size - 1;

  // 2. Before the list is touched: its mapped bytes go (so that cutting it
  // can never fault a view), everything the copy needs is allocated, the
  // list must still be the file that was read, and its new length must fit
  // on disk. Any failure here leaves the list as it is.
  list_->ReleaseBytes();
  std::string buffer;
  try {
    buffer.resize(kCopyBufferSize);
  } catch (const std::bad_alloc&) {
    DropCompanion();
    return Failed(FailedStep::kAllocateCopyBuffer, Status::Error(ErrorCode::kOutOfMemory, ""));
  }
  RunFailure changed = CheckUnchanged();
  if (!changed.ok()) {
    DropCompanion();
    return changed;
  }
  // From here on the companion may be the only complete copy of the list.
  fs_->RemoveOnFault(companionName_, false);
  s = list_->Reserve(length);
  if (!s.ok()) {
    DropCompanion();
    return Failed(FailedStep::kMakeRoom, s);
  }

  // 3. Overwrite the list from its start with the companion's bytes, less
  // the mark, and cut it to its new length last.
  s = fs_->CopyInto(companion_.get(), length, list_, &buffer);
  if (s.ok()) s = list_->Cut(length);
  if (!s.ok()) {
    companion_.reset();
    return Failed(FailedStep::kRewriteList, s);
  }

  // 4. The list is complete: the companion has served.
  companion_.reset();
  Status removed = fs_->Delete(companionName_);
  if (removed.ok()) removed = fs_->SyncFolderOf(companionName_);
  if (!removed.ok()) return Failed(FailedStep::kRemoveCompanion, removed);
  return RunFailure::None();
}

}  // namespace grenfel
