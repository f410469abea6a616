// The deletion by pattern, on real files under wine or Windows.
#include "reference/delete_files_win32.h"

#include <windows.h>

#include <string>

#include "gtest/gtest.h"
#include "services/scratch_folder.h"
#include "services/win32_test_files.h"

namespace grenfel {
namespace {

TEST(DeleteFiles, DeletesMatchesButSkipsHiddenSystemAndFolders) {
  ScratchFolder dir;
  for (const char* name : {"a.lst", "b.lst", "hidden.lst", "system.lst", "keep.txt"}) {
    Put(dir / name, "x");
  }
  ASSERT_TRUE(::CreateDirectoryA((dir / "folder.lst").c_str(), nullptr));
  ASSERT_TRUE(::SetFileAttributesA((dir / "hidden.lst").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::SetFileAttributesA((dir / "system.lst").c_str(), FILE_ATTRIBUTE_SYSTEM));
  // The attribute must have stuck, or the test proves nothing.
  ASSERT_NE(::GetFileAttributesA((dir / "hidden.lst").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  Status s = DeleteFiles(dir / "*.lst");
  EXPECT_TRUE(s.ok()) << s.message;
  EXPECT_FALSE(Present(dir / "a.lst"));
  EXPECT_FALSE(Present(dir / "b.lst"));
  for (const char* kept : {"hidden.lst", "system.lst", "folder.lst", "keep.txt"}) {
    EXPECT_TRUE(Present(dir / kept)) << kept;
  }
  EXPECT_EQ(DeleteFiles(dir / "*.none").code, ErrorCode::kFileNotFound);
  EXPECT_EQ(DeleteFiles(dir / "nofolder\\*.lst").code, ErrorCode::kPathNotFound);

  // A name that ends in a backslash means every file of that folder; a
  // read-only file stops the deletion with its code, and stays.
  Put(dir / "folder.lst\\one", "1");
  ASSERT_TRUE(::SetFileAttributesA((dir / "folder.lst\\one").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(DeleteFiles(dir / "folder.lst\\").code, ErrorCode::kPermissionDenied);
  EXPECT_TRUE(Present(dir / "folder.lst\\one"));
  ASSERT_TRUE(::SetFileAttributesA((dir / "folder.lst\\one").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFiles(dir / "folder.lst\\").ok());
  EXPECT_FALSE(Present(dir / "folder.lst\\one"));
}

}  // namespace
}  // namespace grenfel
