// The literal deletion by pattern on the Windows file calls; see
// delete_files_win32.h.
#include "reference/delete_files_win32.h"

#include <windows.h>

#include "services/fileio_win32.h"

namespace grenfel {
namespace {

constexpr size_t kMaxPatternLength = 256;
// Volume label entries (no longer named by the headers).
constexpr DWORD kVolumeLabelAttribute = 0x8;

}  // namespace

Status DeleteFiles(const std::string& pattern) {
  if (pattern.empty()) return Status::Ok();
  std::string used = pattern;
  if (used.back() == ':' || used.back() == '\\') used += "*.*";
  used = used.substr(0, kMaxPatternLength);

  QuietErrors quiet;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(used.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    // Some systems say "no more files" for a folder that has no match.
    if (error == ERROR_NO_MORE_FILES) error = ERROR_FILE_NOT_FOUND;
    return ErrorStatus("find", pattern, error);
  }
  // Matches are named by their folder part of the pattern and their own
  // name. Windows takes "/" as a separator too.
  size_t cut = used.find_last_of(":\\/");
  std::string folder = cut == std::string::npos ? "" : used.substr(0, cut + 1);
  constexpr DWORD kSkipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_DIRECTORY | kVolumeLabelAttribute;
  Status result;
  do {
    if ((found.dwFileAttributes & kSkipped) != 0) continue;
    std::string name = folder + found.cFileName;
    if (!::DeleteFileA(name.c_str())) {
      result = LastErrorStatus("unlink", name);
      break;
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return result;
}

}  // namespace grenfel
