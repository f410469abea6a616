// Rewriting a list in place without ever losing it. The new contents go to
// the list's companion file first, followed by one Ctrl-Z as a mark that they
// are complete, and are put on disk; only then is the list itself cut and
// written again (it keeps its inode, owner, permissions and links; nothing is
// renamed); the companion is removed last. Whatever fails, the list holds its
// old bytes or its new bytes, and in the second case the companion holds the
// rest of the story.
#ifndef GRENFEL_SERVICES_REWRITE_H_
#define GRENFEL_SERVICES_REWRITE_H_

#include <memory>
#include <string>

#include "services/fileio.h"

namespace grenfel {

// What a file is to the run; it decides what may be refused and how the
// error line names the file.
enum class ListRole { kList, kInclude, kExclude };

// Reads a whole list, include or exclude file. Lists and exclude files are
// rewritten in place, so anything but a regular file is refused; an include
// file may be a pipe. A file holding data after a Ctrl-Z byte is refused too:
// the Ctrl-Z ends its readable text, so a rewrite would drop that data. The
// message of a failure is a whole error line (without "* Error: ").
Status ReadListFile(FileSystem* fs, const std::string& name, ListRole role,
                    std::unique_ptr<FileData>* data);

class ListRewrite {
 public:
  // Claims the companion: creates it, or takes it over when it exists empty.
  // A companion that holds data is left alone and refused, with a message
  // that tells whether it holds complete new contents from an interrupted
  // run. On failure `*out` stays empty and nothing was changed.
  static Status Begin(FileSystem* fs, const std::string& listName, const std::string& companionName,
                      std::unique_ptr<ListRewrite>* out);

  ~ListRewrite();

  // Where the new contents are written. Any failure of Append may be passed
  // to Commit through `contentStatus`.
  WritableFile* contents() { return companion_.get(); }

  // Finishes the rewrite. When `contentStatus` (the first failure met while
  // writing the contents) is not ok, or the companion cannot be completed,
  // the partial companion is removed and the list is untouched. When the
  // list itself cannot be rewritten the companion is kept and the message
  // says it holds the complete new contents.
  Status Commit(Status contentStatus);

  // Gives up without touching the list: the companion is removed.
  Status Abandon();

 private:
  ListRewrite(FileSystem* fs, std::string listName, std::string companionName,
              std::unique_ptr<WritableFile> companion);

  FileSystem* fs_;
  std::string listName_;
  std::string companionName_;
  std::unique_ptr<WritableFile> companion_;
  bool finished_ = false;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_REWRITE_H_
