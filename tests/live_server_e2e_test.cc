// The program beside a list server that keeps working on its files, on
// Linux: another process appends to a list while it is sorted (under flock,
// as the server does, and without), cuts it short while it is mapped,
// leaves links or other users' files where a companion goes, and names
// files whose companions are each other. No member is ever lost and no file
// but the named ones and their companions is ever written.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

// Lists long enough that the sort takes a while; a sanitized program is
// many times slower, so fewer members give it the same window.
constexpr int kLongList = kSanitized ? 60000 : 400000;

class LiveServerE2e : public testing::Test {
 protected:
  void SetUp() override {
    const char* wrapper = getenv("GRENFEL_E2E_WRAPPER");
    if (wrapper != nullptr && *wrapper != '\0') {
      GTEST_SKIP() << "Linux tests; not run through GRENFEL_E2E_WRAPPER";
    }
  }
};

// A list of `count` members in no order, CR LF lines.
std::string UnsortedList(int count) {
  std::string list;
  uint32_t seed = 12345;
  for (int i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    list += "user" + std::to_string(seed % 100000000) + "@d" + std::to_string(seed % 997) +
            ".example\r\n";
  }
  return list;
}

// Runs the command `argvText` in `cwd`; once its output holds `cue` (when
// not empty), calls `act` while the command goes on, then collects the rest.
template <typename Act>
RunResult RunCommandActingAt(std::vector<std::string> argvText, const std::string& cwd,
                             std::string_view cue, Act act) {
  RunResult result{"", -1};
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return result;
  }
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    if (chdir(cwd.c_str()) != 0 || dup2(ends[1], 1) < 0) _exit(127);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(ends[1]);
  bool acted = cue.empty();
  char buffer[4096];
  for (;;) {
    ssize_t got = read(ends[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.out.append(buffer, static_cast<size_t>(got));
    if (!acted && result.out.find(cue) != std::string::npos) {
      acted = true;
      act();
    }
  }
  close(ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(acted) << "never saw \"" << cue << "\" in:\n" << result.out;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return result;
}

// The program on `args`, with `act` called once its output holds `cue`.
template <typename Act>
RunResult RunAndActAt(const std::vector<std::string>& args, const std::string& cwd,
                      std::string_view cue, Act act) {
  std::vector<std::string> argvText = {ProgramPath()};
  argvText.insert(argvText.end(), args.begin(), args.end());
  return RunCommandActingAt(argvText, cwd, cue, act);
}

RunResult RunCommandIn(const std::vector<std::string>& argvText, const std::string& cwd) {
  return RunCommandActingAt(argvText, cwd, "", [] {});
}

void Append(const std::string& path, std::string_view line, bool underLock, int delayMs) {
  if (delayMs > 0) usleep(static_cast<useconds_t>(delayMs) * 1000);
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  // The server's way: wait for the lock, then append.
  if (underLock) {
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
  }
  ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  close(fd);
}

TEST_F(LiveServerE2e, AMemberAppendedDuringTheRunIsNeverLost) {
  const std::string list = UnsortedList(kLongList);
  const std::string member = "late.member@server.example\r\n";
  ScratchDir clean;
  WriteFile(clean / "m.lst", list);
  ASSERT_EQ(RunTail("m.lst", clean.path()).exitCode, 0);
  const std::string sorted = ReadFile(clean / "m.lst");

  // Under the lock the appender waits until the run has rewritten the list
  // and let it go: the member comes after the sorted members, whatever the
  // moment it tried.
  for (int delayMs : {0, 5, 40, 150}) {
    SCOPED_TRACE("appended under flock " + std::to_string(delayMs) + " ms into the sort");
    ScratchDir dir;
    WriteFile(dir / "m.lst", list);
    RunResult run = RunAndActAt({"m.lst"}, dir.path(), "Sorting",
                                [&] { Append(dir / "m.lst", member, true, delayMs); });
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(ReadFile(dir / "m.lst"), sorted + member);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"m.lst"});
  }
  // Without the lock the run sees that the list is not what it read, and
  // leaves it as the appender made it.
  for (int delayMs : {0, 2, 10}) {
    SCOPED_TRACE("appended without flock " + std::to_string(delayMs) + " ms into the sort");
    ScratchDir dir;
    WriteFile(dir / "m.lst", list);
    RunResult run = RunAndActAt({"m.lst"}, dir.path(), "Sorting",
                                [&] { Append(dir / "m.lst", member, false, delayMs); });
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_NE(run.out.find("* Error: The list \"m.lst\" changed during the run"), std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFile(dir / "m.lst"), list + member);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"m.lst"});
  }
}

TEST_F(LiveServerE2e, AListCutShortWhileMappedStopsTheRunCleanly) {
  const std::string list = UnsortedList(kLongList * 3 / 4);
  for (bool asExclude : {false, true}) {
    SCOPED_TRACE(asExclude ? "the exclude file cut short" : "the list cut short");
    ScratchDir dir;
    WriteFile(dir / "m.lst", list);
    WriteFile(dir / "bad.lst", list.substr(0, list.size() / 2));
    const std::string victim = asExclude ? "bad.lst" : "m.lst";
    // Cut to a few members, without asking for the lock.
    const std::string left = list.substr(0, list.find("\r\n") + 2);
    // The exclude file is cut once it has been read for its own sort, the
    // list once it has been read and filtered.
    const std::string cue = asExclude ? "* \"bad.lst\" has" : "Reading, Filtering";
    RunResult run = RunAndActAt({"m.lst", "/B=bad.lst"}, dir.path(), cue,
                                [&] { WriteFile(dir / victim, left); });
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_NE(run.out.find("\r\n* Error: The file \"" + victim +
                           "\" was cut short by another program while the run was reading it; "
                           "the run stopped, and that file and the list are as they were left. "
                           "Run again.\r\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Runtime"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(dir / victim), left);
    EXPECT_EQ(ReadFile(dir / "m.lst"), asExclude ? list : left);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"bad.lst", "m.lst"}));
  }
}

TEST_F(LiveServerE2e, LongNamesAreUsedWhole) {
  ScratchDir dir;
  // A 300-byte path whose first 255 bytes name a neighbour.
  const std::string folder = dir / std::string(200, 'f');
  std::filesystem::create_directory(folder);
  std::string name = folder + "/" + std::string(300 - folder.size() - 5, 'L') + ".lst";
  ASSERT_EQ(name.size(), 300u);
  const std::string neighbour = name.substr(0, 255);
  WriteFile(name, "bb@x\r\naa@x\r\n");
  WriteFile(neighbour, "zz@x\r\nyy@x\r\n");
  WriteFile(dir / "in.lst", "cc@x\r\n");
  RunResult run = RunTail(name + " " + dir / "in.lst", dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ReadFile(name), "aa@x\r\nbb@x\r\ncc@x\r\n");
  EXPECT_EQ(ReadFile(neighbour), "zz@x\r\nyy@x\r\n");
  // An empty file under the shortened companion name is not the companion.
  const std::string shortCompanion = (name.substr(0, name.size() - 3) + "TMP").substr(0, 255);
  WriteFile(shortCompanion, "");
  EXPECT_EQ(RunTail(name + " /ND", dir.path()).exitCode, 0);
  EXPECT_TRUE(Exists(shortCompanion));
  EXPECT_FALSE(Exists(name.substr(0, name.size() - 3) + "TMP"));
}

TEST_F(LiveServerE2e, CompanionsThatAreNamedFilesAreRefusedBeforeAnythingIsRead) {
  struct Case {
    std::string tail, needle;
  };
  for (const Case& c : {Case{"x.TMP /B=x.lst",
                             "The list file \"x.TMP\" is the companion file of "
                             "the exclude file \"x.lst\""},
                        Case{"members.lst members.TMP",
                             "The include file \"members.TMP\" is the "
                             "companion file of the list file"},
                        Case{"members.lst /B=members.TMP",
                             "The exclude file \"members.TMP\" is the companion file of the list "
                             "file \"members.lst\""},
                        Case{"members.lst /B=other.TMP", "The exclude file \"other.TMP\""}}) {
    SCOPED_TRACE(c.tail);
    ScratchDir dir;
    for (const char* name : {"x.TMP", "x.lst", "members.lst", "members.TMP", "other.lst"}) {
      WriteFile(dir / name, "bb@x\r\naa@x\r\n");
    }
    // The same file as members.TMP under another name.
    ASSERT_EQ(link((dir / "members.TMP").c_str(), (dir / "other.TMP").c_str()), 0);
    RunResult run = RunTail(c.tail, dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("* Error: " + c.needle), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("nothing was changed"), std::string::npos) << run.out;
    for (const std::string& name : dir.Entries()) {
      EXPECT_EQ(ReadFile(dir / name), "bb@x\r\naa@x\r\n") << name;
    }
  }
}

TEST_F(LiveServerE2e, ACompanionThatIsNotOursIsLeftAlone) {
  const std::string list = "bb@x\r\naa@x\r\n";
  {
    // Links, dangling or not, never receive the list.
    ScratchDir dir;
    WriteFile(dir / "m.lst", list);
    WriteFile(dir / "empty", "");
    for (const char* target : {"nowhere", "empty"}) {
      SCOPED_TRACE(std::string("a link to ") + target);
      std::filesystem::remove(dir / "m.TMP");
      std::filesystem::create_symlink(target, dir / "m.TMP");
      RunResult run = RunTail("m.lst", dir.path());
      EXPECT_EQ(run.exitCode, 2) << run.out;
      EXPECT_NE(run.out.find("* Error: Cannot create the companion file \"m.TMP\""),
                std::string::npos)
          << run.out;
      EXPECT_NE(run.out.find("symbolic link"), std::string::npos) << run.out;
      EXPECT_EQ(ReadFile(dir / "m.lst"), list);
      EXPECT_FALSE(Exists(dir / "nowhere"));
      EXPECT_EQ(ReadFile(dir / "empty"), "");
      EXPECT_TRUE(std::filesystem::is_symlink(dir / "m.TMP"));
      // A dry run refuses it the same way.
      RunResult dry = RunTail("m.lst --dry-run", dir.path());
      EXPECT_EQ(dry.exitCode, 2);
      EXPECT_EQ(dry.out, run.out);
    }
    // An empty companion of our own is taken over.
    std::filesystem::remove(dir / "m.TMP");
    WriteFile(dir / "m.TMP", "");
    EXPECT_EQ(RunTail("m.lst", dir.path()).exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "m.lst"), "aa@x\r\nbb@x\r\n");
    EXPECT_FALSE(Exists(dir / "m.TMP"));
  }
  {
    // In a shared folder, another user's empty companion that anyone may
    // write: a user running the tool there must not put the list into it.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    ScratchDir dir;
    const std::string shared = dir / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    WriteFile(shared + "/m.lst", list);
    WriteFile(shared + "/m.TMP", "");
    ASSERT_EQ(chown((shared + "/m.lst").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((shared + "/m.TMP").c_str(), 0666), 0);
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups"};
    std::vector<std::string> probe = asNobody, command = asNobody;
    probe.push_back("true");
    if (RunCommandIn(probe, shared).exitCode != 0) GTEST_SKIP() << "no setpriv here";
    command.push_back(ProgramPath());
    command.push_back("m.lst");
    std::vector<std::string> dryCommand = command;
    dryCommand.push_back("--dry-run");
    RunResult dry = RunCommandIn(dryCommand, shared);
    RunResult run = RunCommandIn(command, shared);
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_EQ(dry.exitCode, 2);
    EXPECT_EQ(dry.out, run.out);
    EXPECT_NE(run.out.find("belongs to another user"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(shared + "/m.TMP"), "");
    EXPECT_EQ(ReadFile(shared + "/m.lst"), list);
  }
}

}  // namespace
}  // namespace grenfel::e2e
