// What the Windows file layer shares with other Windows code (the deletion
// by pattern among the reference procedures): the quiet error mode and the
// statuses made from the system's error codes. Include this header from
// Windows code only.
#ifndef GRENFEL_SERVICES_FILEIO_WIN32_H_
#define GRENFEL_SERVICES_FILEIO_WIN32_H_

#include <windows.h>

#include <string>

#include "services/fileio.h"

namespace grenfel {

// Fails critical errors quietly, with no message box for a file that cannot
// be opened, for the life of a file operation: a missing floppy or a dead
// network drive must give an error code, not a dialog that waits for
// someone at the server.
class QuietErrors {
 public:
  QuietErrors();
  ~QuietErrors();
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  UINT previous_;
};

// The status for a system error met by `call` on `name`: its code, and a
// "call(name): reason" message worded as the POSIX build words it.
Status ErrorStatus(const char* call, const std::string& name, DWORD error);

// The same for the error of the call that just failed.
Status LastErrorStatus(const char* call, const std::string& name);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_FILEIO_WIN32_H_
