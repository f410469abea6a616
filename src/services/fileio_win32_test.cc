// What only the Windows file layer can show: share mode 0, the system's
// error codes, and file identity across spellings of a name.
#include "services/fileio_win32.h"

#include <windows.h>

#include <string>

#include "gtest/gtest.h"
#include "services/fileio.h"
#include "services/scratch_folder.h"
#include "services/win32_test_files.h"

namespace grenfel {
namespace {

// The whole file, through the layer under test.
std::string Read(const std::string& path) {
  std::unique_ptr<FileData> data;
  Status s = RealFileSystem()->ReadFile(path, true, &data);
  EXPECT_TRUE(s.ok()) << s.message;
  return s.ok() ? std::string(data->bytes()) : std::string();
}

TEST(WinFileSystem, AHeldFileCannotBeOpenedAgain) {
  ScratchFolder dir;
  FileSystem* files = RealFileSystem();
  std::string list = dir / "members.lst";
  Put(list, "a@x.org\r\n");
  std::unique_ptr<FileData> data;
  std::unique_ptr<WritableFile> second;

  std::unique_ptr<WritableFile> held;
  ASSERT_TRUE(files->OpenForWriting(list, WriteMode::kTruncateExisting, &held).ok());
  Status s = files->ReadFile(list, true, &data);
  EXPECT_EQ(s.code, ErrorCode::kPermissionDenied);
  EXPECT_EQ(s.message, "open(" + list + "): held by another process");
  EXPECT_EQ(files->OpenForWriting(list, WriteMode::kCreateOrTruncate, &second).code,
            ErrorCode::kPermissionDenied);
  // The command-line checks still see it.
  FileInfo info;
  EXPECT_TRUE(files->Exists(list));
  EXPECT_TRUE(files->Stat(list, &info).ok());
  ASSERT_TRUE(held->Append("b@x.org\r\n").ok());
  ASSERT_TRUE(held->Close().ok());
  EXPECT_EQ(Read(list), "b@x.org\r\n");

  // A reader that shares everything still keeps grenfel out: a list that the
  // server has open is not rewritten under it.
  HANDLE reader = ::CreateFileA(list.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(files->ReadFile(list, true, &data).code, ErrorCode::kPermissionDenied);
  EXPECT_EQ(files->OpenForWriting(list, WriteMode::kTruncateExisting, &second).code,
            ErrorCode::kPermissionDenied);
  ::CloseHandle(reader);
  EXPECT_EQ(Read(list), "b@x.org\r\n");
}

TEST(WinFileSystem, FailuresGiveTheirCodesAndThePosixTexts) {
  ScratchFolder dir;
  FileSystem* files = RealFileSystem();
  std::unique_ptr<FileData> data;
  std::unique_ptr<WritableFile> file;

  Status s = files->ReadFile(dir / "missing.lst", true, &data);
  EXPECT_EQ(s.code, ErrorCode::kFileNotFound);
  EXPECT_EQ(s.message, "open(" + (dir / "missing.lst") + "): No such file or directory");
  EXPECT_EQ(files->OpenForWriting(dir / "missing.lst", WriteMode::kTruncateExisting, &file).code,
            ErrorCode::kFileNotFound);
  EXPECT_FALSE(Present(dir / "missing.lst"));
  EXPECT_EQ(files->OpenForWriting(dir / "no\\x.lst", WriteMode::kCreateOrTruncate, &file).code,
            ErrorCode::kPathNotFound);

  // A read-only file can be read but not deleted.
  std::string readOnly = dir / "locked.lst";
  Put(readOnly, "x\r\n");
  ASSERT_TRUE(::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  s = files->Delete(readOnly);
  EXPECT_EQ(s.code, ErrorCode::kPermissionDenied);
  EXPECT_EQ(s.message, "unlink(" + readOnly + "): Permission denied");
  EXPECT_EQ(Read(readOnly), "x\r\n");

  // A folder is not a file to read or write: the same codes and texts as
  // on POSIX.
  std::string folder = dir / "sub.lst";
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  s = files->ReadFile(folder, false, &data);
  EXPECT_EQ(s.code, ErrorCode::kNotRegularFile);
  EXPECT_EQ(s.message, "open(" + folder + "): is a directory");
  s = files->OpenForWriting(folder, WriteMode::kCreateEmptyOnly, &file);
  EXPECT_EQ(s.code, ErrorCode::kIoError);
  EXPECT_EQ(s.message, "open(" + folder + "): Is a directory");

  // A device may be read as an include file, never as a list.
  EXPECT_EQ(files->ReadFile("NUL", true, &data).code, ErrorCode::kNotRegularFile);
  ASSERT_TRUE(files->ReadFile("NUL", false, &data).ok());
  EXPECT_EQ(data->bytes(), "");
  EXPECT_EQ(files->OpenForWriting("NUL", WriteMode::kTruncateExisting, &file).code,
            ErrorCode::kNotRegularFile);
}

TEST(WinFileSystem, IdentityIsTheSameForEverySpellingOfAName) {
  ScratchFolder dir;
  FileSystem* files = RealFileSystem();
  Put(dir / "members.lst", "a@x.org\r\n");
  Put(dir / "bad.lst", "a@x.org\r\n");

  FileInfo first, other;
  ASSERT_TRUE(files->Stat(dir / "members.lst", &first).ok());
  EXPECT_EQ(first.kind, FileKind::kRegular);
  std::string folderName = dir.path().substr(dir.path().find_last_of('\\') + 1);
  for (const std::string& spelling :
       {dir / "MEMBERS.LST", dir / ".\\members.lst", dir.path() + "/members.lst",
        dir / "..\\" + folderName + "\\Members.Lst"}) {
    SCOPED_TRACE(spelling);
    FileInfo again;
    ASSERT_TRUE(files->Stat(spelling, &again).ok());
    EXPECT_EQ(again.device, first.device);
    EXPECT_EQ(again.inode, first.inode);
  }
  ASSERT_TRUE(files->Stat(dir / "bad.lst", &other).ok());
  EXPECT_FALSE(other.device == first.device && other.inode == first.inode);
  ASSERT_TRUE(files->Stat(dir.path(), &other).ok());
  EXPECT_EQ(other.kind, FileKind::kDirectory);

  // A rewrite in place keeps the file. More than the write buffer holds
  // comes out whole, however the system splits the writes.
  std::string expected;
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(files->OpenForWriting(dir / "members.lst", WriteMode::kTruncateExisting, &file).ok());
  for (size_t piece : {size_t{1}, size_t{700000}, size_t{2500000}, size_t{13}}) {
    std::string bytes(piece, static_cast<char>('a' + expected.size() % 26));
    expected += bytes;
    ASSERT_TRUE(file->Append(bytes).ok());
  }
  ASSERT_TRUE(file->Sync().ok());
  ASSERT_TRUE(file->Close().ok());
  FileInfo after;
  ASSERT_TRUE(files->Stat(dir / "members.lst", &after).ok());
  EXPECT_EQ(after.inode, first.inode);
  EXPECT_TRUE(Read(dir / "members.lst") == expected);

  // Names are used whole: a longer name is another file, and one that the
  // system cannot take whole is known beforehand.
  std::string longest = dir / std::string(254 - dir.path().size(), 'q');
  Put(longest, "q");
  EXPECT_FALSE(files->Exists(longest + "tail"));
  EXPECT_TRUE(files->NameUsable(std::string(MAX_PATH - 1, 'n')));
  EXPECT_FALSE(files->NameUsable(std::string(MAX_PATH, 'n')));
}

}  // namespace
}  // namespace grenfel
