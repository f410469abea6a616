// Rewriting a list in place without ever losing it. The list is held (open
// and locked) from its first read to the end of its rewrite. The new
// contents go to the list's companion file first, followed by one Ctrl-Z as
// a mark that they are complete, and are put on disk. Then, before the
// list is touched: the copy buffer is allocated, the list is checked to be
// still the file that was read, and room for its new length is reserved.
// Only then is the list overwritten from its start, through the descriptor
// that read it (it keeps its inode, owner, permissions and links; nothing
// is renamed), and cut to its new length last; the companion is removed
// after that. Whatever fails, the list holds its old bytes or its new
// bytes, and in the second case the companion holds the rest of the story.
#ifndef GRENFEL_SERVICES_REWRITE_H_
#define GRENFEL_SERVICES_REWRITE_H_

#include <memory>
#include <string>

#include "services/failure.h"
#include "services/fileio.h"

namespace grenfel {

// Opens a list or exclude file, which is rewritten in place: it is held from
// now until `*held` is destroyed, and anything but a regular file is
// refused. A file holding data after a Ctrl-Z byte is refused too: the
// Ctrl-Z ends its readable text, so a rewrite would drop that data.
// `*readable` receives the readable part of its bytes (ReadablePart).
RunFailure OpenListFile(FileSystem* fs, const std::string& name, ListRole role,
                        std::unique_ptr<HeldFile>* held, std::string_view* readable);

// Reads a whole include file, which may be a pipe; refused like the above.
RunFailure ReadListFile(FileSystem* fs, const std::string& name, ListRole role,
                        std::unique_ptr<FileData>* data, std::string_view* readable);

class ListRewrite {
 public:
  // Claims the companion of the held `list`: creates it, or takes it over
  // when it exists empty and is ours. A companion that holds data is left
  // alone and refused, with what it was found to hold. On failure `*out` stays
  // empty and nothing was changed. `list` must outlive the rewrite.
  static RunFailure Begin(FileSystem* fs, const std::string& listName,
                          const std::string& companionName, HeldFile* list,
                          std::unique_ptr<ListRewrite>* out);

  // What Begin would refuse, found without creating, changing or deleting
  // anything: for a run that writes nothing.
  static RunFailure Preview(FileSystem* fs, const std::string& listName,
                            const std::string& companionName, HeldFile* list);

  ~ListRewrite();

  // Where the new contents are written. Any failure of Append may be passed
  // to Commit through `contentStatus`.
  WritableFile* contents() { return companion_.get(); }

  // Finishes the rewrite; the list's bytes are released first, so views
  // into them must not be used after. When `contentStatus` (the first
  // failure met while writing the contents) is not ok, or the companion
  // cannot be completed, or the list changed since it was read, or there is
  // no room for its new length, the companion is removed and the list is
  // untouched. When the list itself cannot be rewritten the companion is
  // kept, holding the complete new contents.
  RunFailure Commit(Status contentStatus);

  // Gives up without touching the list: the companion is removed.
  Status Abandon();

 private:
  ListRewrite(FileSystem* fs, std::string listName, std::string companionName, HeldFile* list,
              std::unique_ptr<WritableFile> companion);

  // Removes the companion, which holds nothing needed.
  void DropCompanion();
  // Not ok when the list is no longer the file that was read.
  RunFailure CheckUnchanged();
  // The failure of a step of this rewrite.
  RunFailure Failed(FailedStep step, Status cause) const;

  FileSystem* fs_;
  HeldFile* list_;
  std::string listName_;
  std::string companionName_;
  std::unique_ptr<WritableFile> companion_;
  bool finished_ = false;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_REWRITE_H_
