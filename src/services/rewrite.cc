#include "services/rewrite.h"

#include <new>
#include <utility>

namespace grenfel {
namespace {

constexpr char kCompleteMark = 0x1A;
// What the list is copied through where the system cannot copy by itself.
constexpr size_t kCopyBufferSize = 1 << 20;

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

// The error line for a file of this role that cannot be opened or read.
Status ReadFailure(const Status& s, const std::string& name, ListRole role) {
  if (s.code == ErrorCode::kNotRegularFile) {
    return Status::Error(s.code, "The " + std::string(RoleName(role)) + " " + Quoted(name) +
                                     " is not a regular file (" + s.message + "); " +
                                     UnchangedClause(role));
  }
  return Status::Error(s.code, "Cannot read the " + std::string(RoleName(role)) + " " +
                                   Quoted(name) + " (" + s.message + "); " + UnchangedClause(role));
}

Status RefuseDataAfterEnd(const std::string& name, ListRole role) {
  return Status::Error(ErrorCode::kDataAfterEnd,
                       "The " + std::string(RoleName(role)) + " " + Quoted(name) +
                           " holds data after a Ctrl-Z byte, which ends its readable text: "
                           "what follows would be lost; " +
                           UnchangedClause(role));
}

// The refusal of a companion that holds data: someone's data, never emptied
// or deleted. It tells what the companion is, and advises deleting complete
// new contents only when the list already holds them.
Status CompanionHoldsData(FileSystem* fs, const std::string& listName,
                          const std::string& companionName, HeldFile* list, const Status& s) {
  std::unique_ptr<FileData> leftover;
  bool complete = fs->ReadFile(companionName, true, &leftover).ok() && !leftover->bytes().empty() &&
                  leftover->bytes().back() == kCompleteMark;
  if (complete) {
    std::string_view contents = leftover->bytes();
    contents.remove_suffix(1);
    if (contents == list->bytes()) {
      return Status::Error(s.code, "The companion file " + Quoted(companionName) +
                                       " holds the complete new contents of " + Quoted(listName) +
                                       ", which the list already holds: delete the companion "
                                       "and run again. Both files were left unchanged.");
    }
    return Status::Error(
        s.code, "The companion file " + Quoted(companionName) +
                    " holds the complete new contents of " + Quoted(listName) +
                    " from an earlier run that did not finish: copy it over the list (its last "
                    "byte, a Ctrl-Z, does no harm), then delete it and run again. Both files "
                    "were left unchanged.");
  }
  return Status::Error(s.code, "The companion file " + Quoted(companionName) +
                                   " already exists and holds data; " + Quoted(listName) +
                                   " was not touched by the run that left it, so it can be "
                                   "deleted. Both files were left unchanged.");
}

// The line for a companion that cannot be claimed (created, or taken over).
Status CannotCreateCompanion(const Status& s, const std::string& listName,
                             const std::string& companionName) {
  return Status::Error(s.code, "Cannot create the companion file " + Quoted(companionName) + " (" +
                                   s.message + "); the list " + Quoted(listName) +
                                   " was left unchanged.");
}

}  // namespace

const char* ListRoleName(ListRole role) { return RoleName(role); }

Status OpenListFile(FileSystem* fs, const std::string& name, ListRole role,
                    std::unique_ptr<HeldFile>* held) {
  Status s = fs->OpenHeld(name, held);
  if (!s.ok()) {
    held->reset();
    return ReadFailure(s, name, role);
  }
  if (HasDataAfterEnd((*held)->bytes())) {
    held->reset();
    return RefuseDataAfterEnd(name, role);
  }
  return Status::Ok();
}

Status ReadListFile(FileSystem* fs, const std::string& name, ListRole role,
                    std::unique_ptr<FileData>* data) {
  // Lists and exclude files are rewritten in place; an include file is only
  // read, so it may be a pipe.
  bool regularOnly = role != ListRole::kInclude;
  Status s = fs->ReadFile(name, regularOnly, data);
  if (!s.ok()) return ReadFailure(s, name, role);
  if (HasDataAfterEnd((*data)->bytes())) {
    data->reset();
    return RefuseDataAfterEnd(name, role);
  }
  return Status::Ok();
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

Status ListRewrite::Begin(FileSystem* fs, const std::string& listName,
                          const std::string& companionName, HeldFile* list,
                          std::unique_ptr<ListRewrite>* out) {
  std::unique_ptr<WritableFile> companion;
  Status s = fs->OpenForWriting(companionName, WriteMode::kCreateEmptyOnly, &companion);
  if (s.code == ErrorCode::kCompanionHoldsData)
    return CompanionHoldsData(fs, listName, companionName, list, s);
  if (!s.ok()) return CannotCreateCompanion(s, listName, companionName);
  fs->RemoveOnFault(companionName, true);
  out->reset(new ListRewrite(fs, listName, companionName, list, std::move(companion)));
  return Status::Ok();
}

Status ListRewrite::Preview(FileSystem* fs, const std::string& listName,
                            const std::string& companionName, HeldFile* list) {
  Status s = fs->CheckCompanion(companionName);
  if (s.code == ErrorCode::kCompanionHoldsData) {
    return CompanionHoldsData(fs, listName, companionName, list, s);
  }
  if (!s.ok()) return CannotCreateCompanion(s, listName, companionName);
  return Status::Ok();
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

Status ListRewrite::CheckUnchanged() {
  FileInfo now, named;
  Status s = list_->Look(&now);
  if (!s.ok()) {
    return Status::Error(s.code, "Cannot look at the list " + Quoted(listName_) +
                                     " before rewriting it (" + s.message +
                                     "); nothing was written to it, and it was left unchanged.");
  }
  // The name must still lead to the file that is held: a list replaced by
  // another file under the same name is no longer ours to write.
  s = fs_->Stat(listName_, &named);
  bool sameName = s.ok() && named.device == now.device && named.inode == now.inode;
  if (!sameName || !SameUnchangedFile(list_->opened(), now)) {
    return Status::Error(ErrorCode::kListChangedDuringRun,
                         "The list " + Quoted(listName_) +
                             " changed during the run (another program wrote, replaced or "
                             "removed it); nothing was written to it, and it was left as that "
                             "program made it. Run again.");
  }
  return Status::Ok();
}

Status ListRewrite::Commit(Status contentStatus) {
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
    return Status::Error(s.code, "Cannot write the companion file " + Quoted(companionName_) +
                                     " (" + s.message + "); the list " + Quoted(listName_) +
                                     " was left unchanged.");
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
    return Status::Error(ErrorCode::kOutOfMemory,
                         "Not enough memory to rewrite the list " + Quoted(listName_) +
                             "; it was left unchanged and the companion removed.");
  }
  s = CheckUnchanged();
  if (!s.ok()) {
    DropCompanion();
    return s;
  }
  // From here on the companion may be the only complete copy of the list.
  fs_->RemoveOnFault(companionName_, false);
  s = list_->Reserve(length);
  if (!s.ok()) {
    DropCompanion();
    return Status::Error(s.code, "Cannot make room to rewrite the list " + Quoted(listName_) +
                                     " (" + s.message +
                                     "); it was left unchanged and the companion removed. Free "
                                     "some room (or make the list writable) and run again.");
  }

  // 3. Overwrite the list from its start with the companion's bytes, less
  // the mark, and cut it to its new length last.
  s = fs_->CopyInto(companion_.get(), length, list_, &buffer);
  if (s.ok()) s = list_->Cut(length);
  if (!s.ok()) {
    companion_.reset();
    return Status::Error(s.code, "Rewriting the list " + Quoted(listName_) + " failed (" +
                                     s.message + "); its complete new contents are in " +
                                     Quoted(companionName_) +
                                     ", which was kept: copy it over the list.");
  }

  // 4. The list is complete: the companion has served.
  companion_.reset();
  Status removed = fs_->Delete(companionName_);
  if (removed.ok()) removed = fs_->SyncFolderOf(companionName_);
  if (!removed.ok()) {
    return Status::Error(removed.code, "The list " + Quoted(listName_) +
                                           " was rewritten, but its companion file " +
                                           Quoted(companionName_) + " could not be removed (" +
                                           removed.message + "); delete it before the next run.");
  }
  return Status::Ok();
}

}  // namespace grenfel
