// The literal deletion by pattern of the Windows program's file rules. The
// program itself deletes only files it names whole; this is kept, linked
// only into the tests, as the rule stands.
#ifndef GRENFEL_REFERENCE_DELETE_FILES_WIN32_H_
#define GRENFEL_REFERENCE_DELETE_FILES_WIN32_H_

#include <string>

#include "services/fileio.h"

namespace grenfel {

// Deletes every file that matches a pattern ("*" and "?" allowed). A name
// that ends in ":" or "\" means all of that folder ("*.*" is added). Hidden
// and system files, folders and volume labels are skipped. No match at all
// gives ErrorCode::kFileNotFound (ErrorCode::kPathNotFound when the folder is missing); the first
// deletion that fails ends the call with its code and leaves the later
// matches alone. The empty name does nothing. Only the first 256 bytes of the
// name are used.
Status DeleteFiles(const std::string& pattern);

}  // namespace grenfel

#endif  // GRENFEL_REFERENCE_DELETE_FILES_WIN32_H_
