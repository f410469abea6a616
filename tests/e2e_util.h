// Helpers for end-to-end tests: scratch folders, whole-file reads and writes,
// and runs of the built program with its standard output captured.
//
// The program is GRENFEL_BINARY (set by the build), or the environment
// variable GRENFEL_E2E_BINARY when set. When GRENFEL_E2E_WRAPPER is set (for
// example to a Windows loader), the program is run through it: the wrapper
// is argv[0] and the program its first argument.
#ifndef GRENFEL_TESTS_E2E_UTIL_H_
#define GRENFEL_TESTS_E2E_UTIL_H_

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "gtest/gtest.h"

extern char** environ;

namespace grenfel::e2e {

// True when the tests (and so the program beside them) are built with
// AddressSanitizer, which makes runs many times slower: heavy tests take
// smaller inputs then.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The line every run starts with.
inline constexpr std::string_view kBannerLine =
    "Quill's VARN Mailing List Optimizer version 20081031\r\n";

// A fresh folder under /tmp, removed with everything in it when destroyed.
// Its path holds no "/B=", "/ND" or "/G" in any letter case, so it may stand
// in a command tail.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/e2e-grenfel-XXXXXX";
    if (mkdtemp(name) == nullptr) {
      // Without a folder of our own every later path would be wrong.
      perror("mkdtemp");
      abort();
    }
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of an entry of the folder.
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  // Names of the entries, sorted; shows files a run left behind.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) ADD_FAILURE() << "cannot write " << path;
}

// The whole file; "" (and a test failure) when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// True when there is an entry of that name (a dangling link counts).
inline bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct RunResult {
  std::string out;  // standard output, byte for byte
  int exitCode;     // the exit code; minus the signal number when killed by one
};

inline std::string ProgramPath() {
  const char* chosen = getenv("GRENFEL_E2E_BINARY");
#ifdef GRENFEL_BINARY
  if (chosen == nullptr || *chosen == '\0') chosen = GRENFEL_BINARY;
#endif
  if (chosen == nullptr || *chosen == '\0') return "";
  // The run changes folder before it starts the program.
  return std::filesystem::absolute(chosen).string();
}

// Runs the program with `args` in the folder `cwd` (named so as not to be
// hidden by testing::Test::Run inside a test body), standard input from
// /dev/null, standard error shared with the test. `extraEnv` holds
// "NAME=value" entries that are added to (or replace) the environment. The
// program runs in a session of its own, so it has no controlling terminal
// and sets no terminal title.
inline RunResult RunProgram(const std::vector<std::string>& args, const std::string& cwd,
                            const std::vector<std::string>& extraEnv = {}) {
  RunResult result{"", -1};
  std::string program = ProgramPath();
  if (program.empty()) {
    ADD_FAILURE() << "no program to run: set GRENFEL_E2E_BINARY";
    return result;
  }

  // Everything the child needs is built before fork: it only calls the
  // system after it.
  std::vector<std::string> argvText;
  const char* wrapper = getenv("GRENFEL_E2E_WRAPPER");
  if (wrapper != nullptr && *wrapper != '\0') argvText.push_back(wrapper);
  argvText.push_back(program);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> envText(extraEnv);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& extra : extraEnv) {
      if (extra.compare(0, extra.find('='), name) == 0) replaced = true;
    }
    if (!replaced) envText.emplace_back(text);
  }
  std::vector<char*> envp;
  for (std::string& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return result;
  }
  pid_t child = fork();
  if (child < 0) {
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (child == 0) {
    setsid();
    int input = open("/dev/null", O_RDONLY);
    if (chdir(cwd.c_str()) != 0 || input < 0 || dup2(input, 0) < 0 || dup2(pipeEnds[1], 1) < 0) {
      _exit(127);
    }
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  char buffer[65536];
  for (;;) {
    ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.out.append(buffer, static_cast<size_t>(got));
  }
  close(pipeEnds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = -WTERMSIG(status);
  }
  return result;
}

// Runs the program with the command tail written as one text: the
// arguments are the pieces between single blanks, so they join back into
// exactly that tail (two blanks in a row give an empty argument).
inline RunResult RunTail(std::string_view tail, const std::string& cwd) {
  std::vector<std::string> args;
  if (!tail.empty()) {
    size_t start = 0;
    for (;;) {
      size_t blank = tail.find(' ', start);
      args.emplace_back(tail.substr(start, blank - start));
      if (blank == std::string_view::npos) break;
      start = blank + 1;
    }
  }
  return RunProgram(args, cwd);
}

// The output without its last line, which must be the run-time line
// "Runtime: <digits>.<digit> seconds." and CR LF; the time varies from run
// to run. Records a test failure and returns the output unchanged when that
// line is missing.
inline std::string WithoutRuntime(const std::string& out) {
  size_t lineStart = out.rfind("\r\n", out.size() >= 3 ? out.size() - 3 : 0);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 2;
  std::string_view line = std::string_view(out).substr(lineStart);
  std::string_view rest = line;
  bool matches = rest.substr(0, 9) == "Runtime: ";
  rest.remove_prefix(std::min<size_t>(9, rest.size()));
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  matches = matches && digits > 0 && rest.size() == digits + 13 && rest[digits] == '.' &&
            rest[digits + 1] >= '0' && rest[digits + 1] <= '9' &&
            rest.substr(digits + 2) == " seconds.\r\n";
  if (!matches) {
    ADD_FAILURE() << "no run-time line at the end of:\n" << out;
    return out;
  }
  return out.substr(0, lineStart);
}

}  // namespace grenfel::e2e

#endif  // GRENFEL_TESTS_E2E_UTIL_H_
