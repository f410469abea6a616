// The platform's own file system on real files, the same on POSIX and on
// Windows: a held list keeps others out and is rewritten in place through
// its own descriptor or handle, from a companion copied inside the system
// where it can be, and files of other layers go to the portable copy.
#include <fstream>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "services/fileio.h"
#include "services/scratch_folder.h"
#include "services/string_file.h"

namespace grenfel {
namespace {

void Put(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

// The whole file, through the layer under test.
std::string Read(const std::string& name) {
  std::unique_ptr<FileData> data;
  Status s = RealFileSystem()->ReadFile(name, true, &data);
  EXPECT_TRUE(s.ok()) << s.message;
  return s.ok() ? std::string(data->bytes()) : std::string();
}

TEST(RealFileSystem, AHeldFileIsRewrittenInPlaceThroughItsOwnHandle) {
  ScratchFolder dir;
  FileSystem* files = RealFileSystem();
  const std::string list = dir / "members.lst";
  Put(list, "old contents\r\n");
  std::unique_ptr<HeldFile> held;
  ASSERT_TRUE(files->OpenHeld(list, &held).ok());
  EXPECT_EQ(held->bytes(), "old contents\r\n");
  // Nobody else gets in while it is held, not even to read it.
  std::unique_ptr<FileData> data;
  EXPECT_EQ(files->ReadFile(list, true, &data).code, ErrorCode::kPermissionDenied);
  FileInfo now;
  ASSERT_TRUE(held->Look(&now).ok());
  EXPECT_TRUE(SameUnchangedFile(now, held->opened()));

  // The companion is read back into the list; the list grows, then shrinks.
  std::unique_ptr<WritableFile> companion;
  ASSERT_TRUE(
      files->OpenForWriting(dir / "members.TMP", WriteMode::kCreateEmptyOnly, &companion).ok());
  const std::string longer(3000000, 'x');
  ASSERT_TRUE(companion->Append(longer).ok());
  ASSERT_TRUE(companion->Sync().ok());
  std::string buffer(1 << 16, '\0');
  held->ReleaseBytes();
  ASSERT_TRUE(held->Reserve(longer.size()).ok());
  ASSERT_TRUE(files->CopyInto(companion.get(), longer.size(), held.get(), &buffer).ok());
  ASSERT_TRUE(held->Cut(longer.size()).ok());
  ASSERT_TRUE(held->Reload().ok());
  EXPECT_EQ(held->bytes(), longer);
  ASSERT_TRUE(held->WriteAt(0, "short").ok());
  ASSERT_TRUE(held->Cut(5).ok());
  ASSERT_TRUE(held->Reload().ok());
  EXPECT_EQ(held->bytes(), "short");

  // A writable file of another layer goes to the copy through the buffer,
  // which reads it back: one kept in memory cannot be, and the list stays.
  std::string kept;
  StringWritableFile inMemory(&kept);
  EXPECT_EQ(files->CopyInto(&inMemory, 5, held.get(), &buffer).code,
            ErrorCode::kNotOpenForReadingBack);

  FileInfo after;
  ASSERT_TRUE(held->Look(&after).ok());
  EXPECT_EQ(after.inode, now.inode);
  held.reset();
  EXPECT_EQ(Read(list), "short");

  // A companion that holds data is not taken over.
  companion.reset();
  EXPECT_EQ(
      files->OpenForWriting(dir / "members.TMP", WriteMode::kCreateEmptyOnly, &companion).code,
      ErrorCode::kCompanionHoldsData);
}

}  // namespace
}  // namespace grenfel
