// The console on POSIX systems: standard output written at once, the
// terminal's title and a status line on standard error, and the process
// frame (signals kept from stopping a rewrite, the command tail from argv).
#include <errno.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "services/console.h"
#include "services/console_status.h"

namespace grenfel {
namespace {

std::string commandTail;
std::string* capturedOutput = nullptr;
std::string* capturedTitles = nullptr;

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed pipe or a full disk: output is lost, the run goes on
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

// A closed standard descriptor would be handed out again by the next open:
// the list file could then become "standard output" and receive our lines.
void KeepStandardDescriptorsTaken() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

void IgnoreSignal(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

// The controlling terminal, opened on the first title and kept open; -1 when
// there is none or it cannot show titles.
class Terminal {
 public:
  ~Terminal() {
    if (fd_ >= 0) close(fd_);
  }

  int fd() {
    if (!tried_) {
      tried_ = true;
      const char* term = getenv("TERM");
      if (term != nullptr && *term != '\0' && std::string_view(term) != "dumb") {
        fd_ = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
      }
    }
    return fd_;
  }

 private:
  bool tried_ = false;
  int fd_ = -1;
};

Terminal terminal;

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The status line on standard error, while that is a terminal in the
// foreground. When standard output is the same terminal, the row's column is
// followed through both, so that the status stands after what is open there.
class StatusTerminal {
 public:
  void Title(std::string_view text) {
    if (!Usable()) return;
    WriteAll(STDERR_FILENO, StatusUpdate(line_, text, SteadySeconds(), column_, Width()));
  }

  // Output to `fd` (standard output or error) is about to be written: the
  // status makes way for it when they share the row.
  void BeforeOutput(int fd) {
    if (!Shares(fd)) return;
    WriteAll(STDERR_FILENO, StatusErase(line_));
  }
  void AfterOutput(int fd, std::string_view bytes) {
    if (!Shares(fd)) return;
    column_ = ColumnAfter(column_, bytes, Width());
    if (!finished_ && Usable()) WriteAll(STDERR_FILENO, StatusRedraw(line_, column_, Width()));
  }

  void End() {
    if (state_ == kUnknown) return;
    WriteAll(STDERR_FILENO, StatusErase(line_));
    finished_ = true;
  }

 private:
  enum State { kUnknown, kNone, kAlone, kWithOutput };

  void Look() {
    if (state_ != kUnknown) return;
    state_ = kNone;
    const char* term = getenv("TERM");
    if (!isatty(STDERR_FILENO) || term == nullptr || *term == '\0' ||
        std::string_view(term) == "dumb") {
      return;
    }
    struct stat errorInfo, outputInfo;
    bool sameTerminal = isatty(STDOUT_FILENO) && fstat(STDERR_FILENO, &errorInfo) == 0 &&
                        fstat(STDOUT_FILENO, &outputInfo) == 0 &&
                        errorInfo.st_rdev == outputInfo.st_rdev;
    state_ = sameTerminal ? kWithOutput : kAlone;
  }

  // A run in the background would be stopped for writing to the terminal,
  // or scribble over what the user is doing there.
  bool Usable() {
    Look();
    return state_ != kNone && !finished_ && tcgetpgrp(STDERR_FILENO) == getpgrp();
  }

  bool Shares(int fd) {
    Look();
    if (state_ == kNone) return false;
    return fd == STDERR_FILENO || state_ == kWithOutput;
  }

  size_t Width() {
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
  }

  State state_ = kUnknown;
  bool finished_ = false;
  size_t column_ = 0;
  StatusLine line_;
};

StatusTerminal statusTerminal;

}  // namespace

void StartConsole(int argc, char** argv) {
  KeepStandardDescriptorsTaken();
  // A run that is rewriting a list must not be stopped halfway: not by the
  // interrupt keys, not by a reader that closed our output early, and not by
  // a file-size limit, which must show as a failed write instead. A hang-up
  // still ends the process.
  IgnoreSignal(SIGPIPE);
  IgnoreSignal(SIGINT);
  IgnoreSignal(SIGQUIT);
  IgnoreSignal(SIGXFSZ);
#if defined(__GLIBC__)
  // Large blocks come from the system and go back to it when freed. Left to
  // itself, the allocator raises that threshold once a large block is
  // freed, and the next blocks of a big list's later phases then stay with
  // the process after they are freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif

  commandTail.clear();
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandTail += ' ';
    commandTail += argv[i];
  }
}

const std::string& CommandTail() { return commandTail; }

void PrintText(std::string_view text) {
  if (capturedOutput != nullptr) {
    capturedOutput->append(text);
    return;
  }
  statusTerminal.BeforeOutput(STDOUT_FILENO);
  WriteAll(STDOUT_FILENO, text);
  statusTerminal.AfterOutput(STDOUT_FILENO, text);
}

void PrintLineEnd() { PrintText("\r\n"); }

void PrintErrorLine(std::string_view text) {
  if (capturedOutput != nullptr) return;
  std::string line(text);
  line.push_back('\n');
  statusTerminal.BeforeOutput(STDERR_FILENO);
  WriteAll(STDERR_FILENO, line);
  statusTerminal.AfterOutput(STDERR_FILENO, line);
}

void SetTitle(std::string_view text) {
  if (capturedOutput != nullptr) {
    if (capturedTitles != nullptr) {
      capturedTitles->append(text);
      capturedTitles->push_back('\n');
    }
    return;
  }
  statusTerminal.Title(text);
  int fd = terminal.fd();
  // A run in the background would be stopped for writing to the terminal,
  // or scribble over what the user is doing there.
  if (fd < 0 || tcgetpgrp(fd) != getpgrp()) return;
  std::string sequence = "\x1b]0;";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    // A file name must not be able to send escape sequences of its own.
    sequence.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
  sequence.push_back('\a');
  WriteAll(fd, sequence);
}

void CaptureConsole(std::string* sink, std::string* titles) {
  capturedOutput = sink;
  capturedTitles = sink != nullptr ? titles : nullptr;
}

void EndStatusLine() { statusTerminal.End(); }

void DieOutOfMemory() {
  statusTerminal.End();
  WriteAll(STDERR_FILENO, "grenfel: out of memory; the run was stopped.\n");
  _exit(255);
}

}  // namespace grenfel
