// What the program sends to standard error: the status line while standard
// error is a terminal (on a pseudo-terminal here), and the hint after a name
// that an option was cut out of is not found. Standard output stays what it
// is without them.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

enum class Sink { kPipe, kTerminal };

struct ConsoleRun {
  std::string out;       // standard output, when it was a pipe
  std::string err;       // standard error, when it was a pipe
  std::string terminal;  // what reached the terminal
  int exitCode = -1;
};

bool OnWindows() {
  const char* windows = getenv("GRENFEL_E2E_WINDOWS");
  return windows != nullptr && *windows != '\0' && std::string_view(windows) != "0";
}

// Runs the program in `cwd` with standard output and standard error each on
// a pipe or on one pseudo-terminal of 80 columns, which is then the
// program's controlling terminal (with both on pipes, it has none). TERM is
// `term` (unset when empty).
ConsoleRun RunOnConsole(const std::vector<std::string>& args, const std::string& cwd, Sink out,
                        Sink err, const std::string& term = "xterm") {
  ConsoleRun run;
  std::vector<std::string> argvText;
  const char* wrapper = getenv("GRENFEL_E2E_WRAPPER");
  if (wrapper != nullptr && *wrapper != '\0') argvText.push_back(wrapper);
  argvText.push_back(ProgramPath());
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).rfind("TERM=", 0) != 0) envText.emplace_back(*entry);
  }
  if (!term.empty()) envText.push_back("TERM=" + term);
  std::vector<char*> envp;
  for (std::string& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const bool withTerminal = out == Sink::kTerminal || err == Sink::kTerminal;
  int master = -1, slaveHeld = -1;
  std::string slaveName;
  if (withTerminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return run;
    }
    slaveName = ptsname(master);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 80;
    ioctl(master, TIOCSWINSZ, &size);
    // Held until the program has started, so that the terminal does not end
    // before the program has opened it.
    slaveHeld = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHeld < 0) {
      ADD_FAILURE() << "cannot open " << slaveName;
      return run;
    }
  }
  int outPipe[2], errPipe[2], started[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
      pipe2(started, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return run;
  }
  pid_t child = fork();
  if (child == 0) {
    setsid();
    int slave = withTerminal ? open(slaveName.c_str(), O_RDWR) : -1;
    int input = open("/dev/null", O_RDONLY);
    if ((withTerminal && (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0)) || input < 0 ||
        dup2(input, 0) < 0 || dup2(out == Sink::kTerminal ? slave : outPipe[1], 1) < 0 ||
        dup2(err == Sink::kTerminal ? slave : errPipe[1], 2) < 0 || chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    if (slave >= 0) close(slave);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  close(started[1]);
  char ignored;
  while (read(started[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  close(started[0]);
  if (slaveHeld >= 0) close(slaveHeld);
  // The terminal reports an error once the program and its descendants have
  // closed it; the pipes report their end.
  struct pollfd ends[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
  std::string* into[3] = {&run.out, &run.err, &run.terminal};
  int open = withTerminal ? 3 : 2;
  while (open > 0) {
    if (poll(ends, 3, 30000) <= 0) {
      ADD_FAILURE() << "the program did not finish";
      break;
    }
    for (int i = 0; i < 3; ++i) {
      if (ends[i].fd < 0 || ends[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(ends[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        into[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        // The terminal stays open until the program has ended: closing it
        // would hang the program up.
        if (ends[i].fd != master) close(ends[i].fd);
        ends[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (master >= 0) close(master);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The rows a terminal of `width` columns shows after `bytes`, trailing
// blanks dropped. It knows what the program sends: text, CR, LF, erase to
// the row's end (ESC [ K), cursor left (ESC [ n D) and the title (ESC ] ...
// BEL), which shows nothing on the rows.
std::vector<std::string> Screen(std::string_view bytes, size_t width = 80) {
  std::vector<std::string> rows(1);
  size_t row = 0, column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == ']') {
      i = bytes.find('\a', i);
      if (i == std::string_view::npos) break;
    } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      size_t end = i + 2;
      while (end < bytes.size() && bytes[end] >= '0' && bytes[end] <= '9') ++end;
      std::string number(bytes.substr(i + 2, end - i - 2));
      char command = end < bytes.size() ? bytes[end] : '\0';
      if (command == 'K') {
        if (rows[row].size() > column) rows[row].resize(column);
      } else if (command == 'D') {
        size_t back = number.empty() ? 1 : std::stoul(number);
        column = back > column ? 0 : column - back;
      } else {
        ADD_FAILURE() << "unexpected sequence ESC [" << number << command;
      }
      i = end;
    } else {
      if (column >= width) {
        column = 0;
        if (++row == rows.size()) rows.emplace_back();
      }
      if (rows[row].size() <= column) rows[row].resize(column + 1, ' ');
      rows[row][column++] = c;
    }
  }
  for (std::string& text : rows) text.erase(text.find_last_not_of(' ') + 1);
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

// The lines of the output without their line ends.
std::vector<std::string> Lines(std::string_view out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string_view::npos) end = out.size();
    std::string line(out.substr(start, end - start));
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void CopyExamples(const ScratchDir& dir) {
  for (const char* name : {"members.lst", "new.lst", "bad.lst"}) {
    WriteFile(dir / name, ReadFile(std::string(GRENFEL_SOURCE_DIR) + "/examples/" + name));
  }
}

const std::vector<std::string> kRun = {"members.lst", "new.lst", "/B=bad.lst", "/ND", "/G"};

TEST(StatusLine, ShownOnATerminalStandardErrorAndErasedStandardOutputUnchanged) {
  if (OnWindows()) GTEST_SKIP() << "the Windows console shows the phase in its title only";
  std::string plain;
  {
    ScratchDir dir;
    CopyExamples(dir);
    plain = WithoutRuntime(RunProgram(kRun, dir.path()).out);
  }
  {
    // Standard output to a pipe: it gets its bytes and nothing else, while
    // the terminal saw the phases and is left blank.
    ScratchDir dir;
    CopyExamples(dir);
    ConsoleRun run = RunOnConsole(kRun, dir.path(), Sink::kPipe, Sink::kTerminal);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(WithoutRuntime(run.out), plain);
    EXPECT_NE(run.terminal.find("Grenfel : Sorting members.lst\x1b["), std::string::npos)
        << run.terminal;
    EXPECT_NE(run.terminal.find("Grenfel : Grouping\x1b["), std::string::npos);
    EXPECT_EQ(Screen(run.terminal), std::vector<std::string>{});
  }
  {
    // Both on the terminal: the status stood beside the open lines and made
    // way for them; what stays on the screen is the output alone.
    ScratchDir dir;
    CopyExamples(dir);
    ConsoleRun run = RunOnConsole(kRun, dir.path(), Sink::kTerminal, Sink::kTerminal);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.terminal.find("   Reading  Grenfel : Sorting members.lst\x1b["),
              std::string::npos)
        << run.terminal;
    std::vector<std::string> screen = Screen(run.terminal);
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(screen.back().rfind("Runtime: ", 0), 0u) << screen.back();
    screen.pop_back();
    std::vector<std::string> expected = Lines(plain);
    EXPECT_EQ(screen, expected);
  }
  {
    // Standard error not a terminal, or a terminal that cannot take the
    // sequences: no status line.
    ScratchDir dir;
    CopyExamples(dir);
    ConsoleRun run = RunOnConsole(kRun, dir.path(), Sink::kTerminal, Sink::kPipe);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.terminal.find("\x1b[K"), std::string::npos);
    CopyExamples(dir);
    run = RunOnConsole(kRun, dir.path(), Sink::kPipe, Sink::kTerminal, "dumb");
    EXPECT_EQ(WithoutRuntime(run.out), plain);
    EXPECT_EQ(run.terminal, "");
  }
}

// The program's own lines on standard error: under wine, wine may add some.
std::string OwnErrors(const std::string& err) {
  if (!OnWindows()) return err;
  std::string own;
  for (const std::string& line : Lines(err)) {
    if (line.rfind("grenfel: ", 0) == 0) own += line + "\n";
  }
  return own;
}

std::string FirstLine(const std::string& text) {
  std::vector<std::string> lines = Lines(text);
  return lines.empty() ? "" : lines.front();
}

TEST(NameHint, OptionsCutFromANameThatIsThenMissingAreNamedOnStandardError) {
  ScratchDir dir;
  WriteFile(dir / "members.lst", "a@x.org\r\n");
  std::filesystem::create_directory(dir / "lists");
  WriteFile(dir / "lists/good.lst", "a@x.org\r\n");

  ConsoleRun run = RunOnConsole({"lists/good.lst"}, dir.path(), Sink::kPipe, Sink::kPipe);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, std::string(kBannerLine) + "* Error: File not found \"listsood.lst\"\r\n");
  EXPECT_EQ(Lines(OwnErrors(run.err)),
            (std::vector<std::string>{
                "grenfel: hint: \"/g\" in \"lists/good.lst\" was taken as the option /G "
                "(grouping, sessions of 10).",
                "grenfel: hint: options are found anywhere on the line, in any letter case, even "
                "inside a name; run from the list's folder with a plain name."}));

  // The include name left over by "/Gx"; an exclude name glued to a path.
  run = RunOnConsole({"members.lst", "/Gx"}, dir.path(), Sink::kPipe, Sink::kPipe);
  EXPECT_EQ(run.out, std::string(kBannerLine) + "*Error: File not found \"x\"\r\n");
  EXPECT_EQ(FirstLine(OwnErrors(run.err)),
            "grenfel: hint: \"/G\" in \"/Gx\" was taken as the option /G (grouping, sessions of "
            "10).");
  run = RunOnConsole({"members.lst", "old/B=bad.lst"}, dir.path(), Sink::kPipe, Sink::kPipe);
  EXPECT_EQ(run.out, std::string(kBannerLine) + "* Error: exclude file (bad.lst) not found.\r\n");
  EXPECT_EQ(FirstLine(OwnErrors(run.err)),
            "grenfel: hint: \"/B=bad.lst\" in \"old/B=bad.lst\" was taken as the option /B= "
            "(exclude file \"bad.lst\").");

  // Options that stand alone explain nothing; neither does a run that goes.
  run = RunOnConsole({"missing.lst", "/ND", "/G5"}, dir.path(), Sink::kPipe, Sink::kPipe);
  EXPECT_EQ(run.out, std::string(kBannerLine) + "* Error: File not found \"missing.lst\"\r\n");
  EXPECT_EQ(OwnErrors(run.err), "");
  run = RunOnConsole({"members.lst/ND"}, dir.path(), Sink::kPipe, Sink::kPipe);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(OwnErrors(run.err), "");
}

}  // namespace
}  // namespace grenfel::e2e
