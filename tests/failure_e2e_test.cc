// Failures end to end, against the built program on Linux: a disk that fills
// up, write and fsync errors and kills injected by an LD_PRELOAD shim, a
// file-size limit, files that cannot be read or written, a companion that
// cannot be created, locked files, files that are not regular files and a
// closed standard output. Whatever happens, no member is lost: every list
// holds its old bytes or its complete new bytes, or its companion holds the
// complete new bytes followed by the Ctrl-Z mark; and a later run leaves a
// companion with data alone, saying what it is.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

using Files = std::map<std::string, std::string>;
constexpr char kMark = '\x1A';

class FailureE2e : public testing::Test {
 protected:
  void SetUp() override {
    const char* wrapper = getenv("GRENFEL_E2E_WRAPPER");
    if (wrapper != nullptr && *wrapper != '\0') {
      GTEST_SKIP() << "Linux failure tests; not run through GRENFEL_E2E_WRAPPER";
    }
  }
};

// ---------------------------------------------------------------------------
// Running commands: like RunProgram, but any command line, with a file-size
// limit and a time limit (a run that hangs is killed and fails the test).

struct Launch {
  std::vector<std::string> env;  // "NAME=value", added to the environment
  rlim_t fileSizeLimit = RLIM_INFINITY;
  int seconds = 20;
};

RunResult RunCommand(const std::vector<std::string>& command, const std::string& cwd,
                     const Launch& how = {}) {
  std::vector<std::string> argvText(command), envText(how.env);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string_view name = text.substr(0, text.find('=') + 1);
    bool replaced = std::any_of(how.env.begin(), how.env.end(),
                                [&](const std::string& e) { return e.starts_with(name); });
    if (!replaced) envText.emplace_back(text);
  }
  std::vector<char*> argv, envp;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  for (std::string& entry : envText) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  RunResult result{"", -1};
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return result;
  }
  pid_t child = fork();
  if (child == 0) {
    setsid();
    struct rlimit limit = {how.fileSizeLimit, how.fileSizeLimit};
    int input = open("/dev/null", O_RDONLY);
    if (chdir(cwd.c_str()) != 0 || input < 0 || dup2(input, 0) < 0 || dup2(ends[1], 1) < 0 ||
        setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      _exit(127);
    }
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(ends[1]);
  if (child < 0) {
    close(ends[0]);
    ADD_FAILURE() << "fork failed";
    return result;
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool timedOut = false;
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = how.seconds * 1000LL - (now.tv_sec - start.tv_sec) * 1000LL -
                     (now.tv_nsec - start.tv_nsec) / 1000000;
    struct pollfd wait = {ends[0], POLLIN, 0};
    int ready = timedOut ? 1 : poll(&wait, 1, static_cast<int>(std::max(left, 0LL)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && !timedOut) {
      timedOut = true;
      kill(-child, SIGKILL);  // the child leads its own process group
      kill(child, SIGKILL);
      continue;
    }
    char buffer[65536];
    ssize_t got = read(ends[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.out.append(buffer, static_cast<size_t>(got));
  }
  close(ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) ADD_FAILURE() << "killed after " << how.seconds << " s: " << command.back();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return result;
}

// The program with the command tail `tail` (pieces between single blanks).
std::vector<std::string> Grenfel(std::string_view tail) {
  std::vector<std::string> command = {ProgramPath()};
  for (size_t start = 0;;) {
    size_t blank = tail.find(' ', start);
    command.emplace_back(tail.substr(start, blank - start));
    if (blank == std::string_view::npos) return command;
    start = blank + 1;
  }
}

RunResult RunGrenfel(std::string_view tail, const std::string& cwd, const Launch& how = {}) {
  return RunCommand(Grenfel(tail), cwd, how);
}

// ---------------------------------------------------------------------------
// Folders and outcomes.

// Every entry of the folder; entries that are not regular files show as a
// placeholder (a FIFO must not be read).
Files Snapshot(const ScratchDir& dir) {
  Files files;
  for (const std::string& name : dir.Entries()) {
    files[name] = std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / name))
                      ? ReadFile(dir / name)
                      : "<not a regular file>";
  }
  return files;
}

void Fill(const ScratchDir& dir, const Files& files) {
  for (const auto& [name, bytes] : files) WriteFile(dir / name, bytes);
}

// A run that stopped with exit code 2 on one "* Error: " line holding every
// piece of `needles`, without a run-time line.
void ExpectFailure(const RunResult& run, std::initializer_list<std::string_view> needles) {
  EXPECT_EQ(run.exitCode, 2) << run.out;
  size_t error = run.out.find("\r\n* Error: ");
  ASSERT_NE(error, std::string::npos) << run.out;
  std::string line = run.out.substr(error + 2);
  EXPECT_EQ(line.find("\r\n"), line.size() - 2) << "one error line, last:\n" << run.out;
  for (std::string_view needle : needles) {
    EXPECT_NE(line.find(needle), std::string::npos) << "no \"" << needle << "\" in " << line;
  }
}

// The folder after a clean run of `tail` on `files`, and what it printed
// (without the run-time line).
struct Clean {
  Files files;
  std::string out;
};

Clean CleanRun(const Files& files, std::string_view tail) {
  ScratchDir dir;
  Fill(dir, files);
  RunResult run = RunGrenfel(tail, dir.path());
  EXPECT_EQ(run.exitCode, 0) << tail << "\n" << run.out;
  return {Snapshot(dir), WithoutRuntime(run.out)};
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Realistic lists: a closed list (an errors-to line, two moderators) of a
// few hundred members over a few dozen domains, one of them large, with
// case variants of earlier members (duplicates under /ND), blanks around
// some records and empty lines; an include list that overlaps it; an
// unsorted exclude list naming some members in upper case, one twice.
struct Lists {
  std::string members, include, exclude;
};

Lists RealisticLists(int memberCount) {
  uint32_t seed = 20081031;
  auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  std::vector<std::string> addresses;
  for (int i = 0; i < memberCount; ++i) {
    uint32_t domain = next(5) == 0 ? 0 : next(40);
    addresses.push_back("user" + std::to_string(next(100000)) + "@d" + std::to_string(domain) +
                        ".example");
  }
  Lists lists;
  lists.members =
      "+ERRORS-TO:=owner@lists.example\r\nmod1@lists.example\r\n"
      "Mod2@lists.example\r\nCLOSED\r\n";
  for (size_t i = 0; i < addresses.size(); ++i) {
    lists.members += (i % 9 == 4 ? "  " + addresses[i] + " " : addresses[i]) + "\r\n";
    if (i % 7 == 3) lists.members += Upper(addresses[i / 2]) + "\r\n";
    if (i % 50 == 0) lists.members += "\r\n";
  }
  for (size_t i = 0; i < 30; ++i) {
    lists.include +=
        (i % 3 == 0 ? addresses[i * 7 % addresses.size()]
                    : "new" + std::to_string(i) + "@d" + std::to_string(i % 5) + ".example") +
        "\r\n";
  }
  for (size_t i = 0; i < 25; ++i) {
    lists.exclude += Upper(addresses[i * 37 % addresses.size()]) + "\r\n";
  }
  lists.exclude += addresses[37] + "\r\n";
  return lists;
}

std::string WithoutLastByte(std::string bytes) {
  if (!bytes.empty()) bytes.pop_back();
  return bytes;
}

// ---------------------------------------------------------------------------
// Things to undo whatever happens: a mount, an immutable flag, a lock.

class Tmpfs {
 public:
  Tmpfs(const std::string& folder, const char* options) : folder_(folder) {
    std::filesystem::create_directory(folder);
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, options) == 0;
    error_ = mounted_ ? 0 : errno;
  }
  ~Tmpfs() {
    if (mounted_ && umount2(folder_.c_str(), 0) != 0) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string error() const { return std::strerror(error_); }

 private:
  std::string folder_;
  bool mounted_;
  int error_;
};

// The immutable flag (what chattr +i sets) on a file or folder while alive.
class Immutable {
 public:
  explicit Immutable(std::string path) : path_(std::move(path)) { set_ = Flag(true); }
  ~Immutable() { Clear(); }
  bool set() const { return set_; }
  void Clear() {
    if (set_ && !Flag(false)) ADD_FAILURE() << "cannot clear the immutable flag of " << path_;
    set_ = false;
  }

 private:
  bool Flag(bool on) {
    int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
  }

  std::string path_;
  bool set_;
};

// An exclusive flock held by this process (not the program) while alive.
class Locked {
 public:
  explicit Locked(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    EXPECT_TRUE(fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0) << "cannot lock " << path;
  }
  ~Locked() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

// ---------------------------------------------------------------------------
// The fault shim.

#ifdef GRENFEL_WRITE_SHIM
constexpr const char* kShim = GRENFEL_WRITE_SHIM;
#else
constexpr const char* kShim = nullptr;
#endif

// The environment for a run under the shim with these GRENFEL_FAULT_ entries.
std::vector<std::string> ShimEnv(std::vector<std::string> faults) {
  faults.push_back(std::string("LD_PRELOAD=") + (kShim != nullptr ? kShim : ""));
  // A sanitized program wants its runtime loaded first, not the shim.
  const char* asan = getenv("ASAN_OPTIONS");
  std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
  faults.push_back("ASAN_OPTIONS=" + options + "verify_asan_link_order=0");
  return faults;
}

bool ShimBuilt() { return kShim != nullptr && Exists(kShim); }
constexpr const char* kNoShim = "no write_fault shim (tests/helpers.cmake builds it)";

// ---------------------------------------------------------------------------

TEST_F(FailureE2e, KilledRunLeavesACompanionThatTheNextRunRefuses) {
  if (!ShimBuilt()) GTEST_SKIP() << kNoShim;
  const std::string oldList = "bb@x\r\naa@x\r\ncc@x\r\n", newList = "aa@x\r\nbb@x\r\ncc@x\r\n";
  const size_t companionSize = newList.size() + 1;
  struct Case {
    size_t bytes;          // written before the kill
    bool complete;         // the companion holds the new bytes and the mark
    std::string listThen;  // the list after the kill
  };
  for (const Case& c : {Case{0, false, oldList}, Case{5, false, oldList},
                        Case{companionSize - 1, false, oldList}, Case{companionSize, true, oldList},
                        Case{companionSize + 7, true, newList.substr(0, 7) + oldList.substr(7)}}) {
    SCOPED_TRACE("killed after " + std::to_string(c.bytes) + " bytes");
    ScratchDir dir;
    WriteFile(dir / "members.lst", oldList);
    RunResult killed = RunGrenfel(
        "members.lst", dir.path(),
        {ShimEnv({"GRENFEL_FAULT_ACTION=kill", "GRENFEL_FAULT_BYTES=" + std::to_string(c.bytes)})});
    EXPECT_EQ(killed.exitCode, -SIGKILL);
    const std::string companion = (newList + kMark).substr(0, std::min(c.bytes, companionSize));
    const Files left = {{"members.TMP", companion}, {"members.lst", c.listThen}};
    EXPECT_EQ(Snapshot(dir), left);
    if (!companion.empty()) {
      // The next run leaves both alone and says what the companion is.
      RunResult again = RunGrenfel("members.lst", dir.path());
      ExpectFailure(again,
                    {"\"members.TMP\"", c.complete ? "copy it over the list" : "can be deleted",
                     "Both files were left unchanged."});
      EXPECT_EQ(Snapshot(dir), left);
    }
    // Doing what the line says: copy a complete companion over the list (or
    // delete a partial one) and run again.
    if (c.complete) WriteFile(dir / "members.lst", WithoutLastByte(companion));
    if (!companion.empty()) std::filesystem::remove(dir / "members.TMP");
    EXPECT_EQ(RunGrenfel("members.lst", dir.path()).exitCode, 0);
    EXPECT_EQ(Snapshot(dir), (Files{{"members.lst", newList}}));
  }
}

// The failure point swept over whole runs. A run does its rewrites in order,
// each one: companion written and marked, list rewritten, companion removed.
struct Rewrite {
  std::string file, companion, before, after;
};

struct Sweep {
  Files files;  // the folder before each run
  std::string tail;
  std::vector<Rewrite> rewrites;
  Clean clean;
};

enum class Cut { kUntouched, kPartial, kKept };  // the rewrite a run stopped in
struct Where {
  size_t rewrite;  // rewrites.size(): after the last one
  Cut cut;
};

// Where the folder says the run stopped; nothing when it fits nowhere (a
// member was lost, or a companion holds something else).
std::optional<Where> Locate(const Sweep& sweep, const Files& now) {
  Files expected = sweep.files;
  for (size_t j = 0; j <= sweep.rewrites.size(); ++j) {
    if (j > 0) expected[sweep.rewrites[j - 1].file] = sweep.rewrites[j - 1].after;
    if (j == sweep.rewrites.size()) {
      if (now == expected) return Where{j, Cut::kUntouched};
      break;
    }
    const Rewrite& r = sweep.rewrites[j];
    Files rest = now;
    auto companion = rest.find(r.companion);
    if (companion == rest.end()) {
      if (rest == expected) return Where{j, Cut::kUntouched};
      continue;
    }
    std::string kept = companion->second, complete = r.after + kMark;
    rest.erase(companion);
    if (kept == complete && rest.count(r.file) != 0) {
      rest[r.file] = expected[r.file];  // the list may hold anything
      if (rest == expected) return Where{j, Cut::kKept};
    } else if (complete.starts_with(kept) && rest == expected) {
      return Where{j, Cut::kPartial};
    }
  }
  return std::nullopt;
}

std::string Describe(const Files& files) {
  std::ostringstream text;
  for (const auto& [name, bytes] : files) {
    text << "  " << name << ": " << bytes.size() << " bytes"
         << (!bytes.empty() && bytes.back() == kMark ? ", ends with the mark" : "") << "\n";
  }
  return text.str();
}

// A run of the sweep: under the shim, with fsync counted but skipped (no
// power is lost here, and it makes the runs several times quicker).
RunResult RunSwept(const Sweep& sweep, const ScratchDir& dir, std::vector<std::string> faults) {
  faults.push_back("GRENFEL_FAULT_NOSYNC=1");
  return RunGrenfel(sweep.tail, dir.path(), {ShimEnv(faults)});
}

// One faulted run, and what must hold after it.
void RunFaulted(const Sweep& sweep, const std::vector<std::string>& faults, bool fires) {
  std::string point;
  for (const std::string& fault : faults) point += fault + " ";
  SCOPED_TRACE(sweep.tail + " with " + point);
  ScratchDir dir;
  Fill(dir, sweep.files);
  RunResult run = RunSwept(sweep, dir, faults);
  Files now = Snapshot(dir);
  std::optional<Where> where = Locate(sweep, now);
  ASSERT_TRUE(where.has_value()) << "exit " << run.exitCode << ", a member was lost:\n"
                                 << Describe(now) << run.out;
  const bool done = where->rewrite == sweep.rewrites.size();
  const Rewrite* r = done ? nullptr : &sweep.rewrites[where->rewrite];
  if (!fires) {
    EXPECT_EQ(run.exitCode, 0) << run.out;
  } else {
    EXPECT_NE(run.exitCode, 0) << "the fault went unnoticed:\n" << run.out;
  }
  if (run.exitCode == 0) {
    EXPECT_TRUE(done) << "exit 0, but the run stopped in a rewrite of " << r->file;
    EXPECT_EQ(WithoutRuntime(run.out), sweep.clean.out);
    return;
  }
  if (run.exitCode == 2) {
    EXPECT_NE(where->cut, Cut::kPartial) << "a partial companion stayed:\n" << Describe(now);
    if (run.out.find("could not be removed") != std::string::npos) {
      // The rewrite before finished, but its folder could not be synced
      // after its companion was removed.
      ASSERT_TRUE(where->cut == Cut::kUntouched && where->rewrite > 0) << run.out;
      const Rewrite& finished = sweep.rewrites[where->rewrite - 1];
      ExpectFailure(run, {"The list \"" + finished.file + "\" was rewritten",
                          "companion file \"" + finished.companion + "\""});
    } else if (where->cut == Cut::kKept) {
      ExpectFailure(run, {"Rewriting the list \"" + r->file + "\" failed",
                          "complete new contents are in \"" + r->companion + "\""});
    } else if (run.out.find("Cannot make room") != std::string::npos) {
      // No room for the list's new length: found before it was touched.
      ASSERT_NE(r, nullptr) << run.out;
      ExpectFailure(run, {"Cannot make room to rewrite the list \"" + r->file + "\"",
                          "it was left unchanged and the companion removed"});
    } else {
      ASSERT_NE(r, nullptr) << run.out;
      ExpectFailure(
          run, {"Cannot write the companion file \"" + r->companion + "\"", "was left unchanged"});
    }
  } else {
    ASSERT_EQ(run.exitCode, -SIGKILL) << run.out;
    if (r != nullptr && where->cut != Cut::kUntouched && !now[r->companion].empty()) {
      // The next run refuses the leftover companion and changes nothing.
      // Deleting complete new contents is advised only when the list
      // already holds them.
      RunResult again = RunSwept(sweep, dir, {});
      const char* advice = where->cut != Cut::kKept                    ? "can be deleted"
                           : now[r->file] + kMark == now[r->companion] ? "delete the companion"
                                                                       : "copy it over the list";
      ExpectFailure(again, {"\"" + r->companion + "\"", advice});
      EXPECT_EQ(Snapshot(dir), now);
    }
  }
  if (where->cut == Cut::kKept) {
    // Doing what the line says: the companion, less its mark, copied over
    // the list and deleted; then a run completes the work.
    WriteFile(dir / r->file, WithoutLastByte(now[r->companion]));
    std::filesystem::remove(dir / r->companion);
    EXPECT_EQ(RunSwept(sweep, dir, {}).exitCode, 0);
    EXPECT_EQ(Snapshot(dir), sweep.clean.files) << "after recovery";
  }
}

void SweepFailurePoints(const Sweep& sweep, int points) {
  for (const Rewrite& r : sweep.rewrites) ASSERT_NE(r.before, r.after) << r.file;
  // A clean run under the shim counts the bytes, write calls and fsyncs.
  ScratchDir aside;
  RunFaulted(sweep, {"GRENFEL_FAULT_REPORT=" + aside / "report"}, false);
  long long bytes = 0, calls = 0, syncs = 0, reservations = 0;
  std::istringstream(ReadFile(aside / "report")) >> bytes >> calls >> syncs >> reservations;
  long long expectedBytes = 0;
  std::set<long long> cuts = {0, bytes, bytes + 1};
  for (const Rewrite& r : sweep.rewrites) {
    // Each rewrite writes the companion (contents and mark), then the list.
    for (long long size : {r.after.size() + 1, r.after.size()}) {
      expectedBytes += static_cast<long long>(size);
      for (long long near : {expectedBytes - 1, expectedBytes, expectedBytes + 1}) {
        cuts.insert(near);
      }
    }
  }
  ASSERT_EQ(bytes, expectedBytes) << "the files were written more than once";
  ASSERT_GE(syncs, static_cast<long long>(2 * sweep.rewrites.size()));
  // Each rewrite reserves the list's new length once, before touching it.
  ASSERT_EQ(reservations, static_cast<long long>(sweep.rewrites.size()));
  for (long long at = 0; at < bytes; at += std::max(1LL, bytes / points)) cuts.insert(at);

  int errorKind = 0;
  auto error = [&errorKind] {
    return std::string("GRENFEL_FAULT_ACTION=") + (++errorKind % 2 != 0 ? "enospc" : "eio");
  };
  // Both actions at one point; false once anything failed (the first
  // failing point tells enough).
  auto both = [&](const std::string& fault, bool errorFires, bool killFires) {
    RunFaulted(sweep, {fault, error()}, errorFires);
    RunFaulted(sweep, {fault, "GRENFEL_FAULT_ACTION=kill"}, killFires);
    return !testing::Test::HasFailure();
  };
  for (long long at : cuts) {
    if (at <= bytes + 1 &&
        !both("GRENFEL_FAULT_BYTES=" + std::to_string(at), at < bytes, at <= bytes)) {
      return;
    }
  }
  for (long long call = 1; call <= calls + 1; ++call) {
    if (!both("GRENFEL_FAULT_CALL=" + std::to_string(call), call <= calls, call <= calls)) return;
  }
  // A failed fsync fails once: a run that tried again and went on would
  // exit 0 and be caught.
  for (long long sync = 1; sync <= syncs + 1; ++sync) {
    if (!both("GRENFEL_FAULT_FSYNC=" + std::to_string(sync), sync <= syncs, sync <= syncs)) return;
  }
  for (long long reserve = 1; reserve <= reservations + 1; ++reserve) {
    if (!both("GRENFEL_FAULT_RESERVE=" + std::to_string(reserve), reserve <= reservations,
              reserve <= reservations)) {
      return;
    }
  }
}

TEST_F(FailureE2e, EveryFailurePointOfARealisticRunLosesNoMember) {
  if (!ShimBuilt()) GTEST_SKIP() << kNoShim;
  const Lists lists = RealisticLists(300);
  const int points = kSanitized ? 8 : 32;  // byte positions per sweep
  {
    // One rewrite: a closed list with duplicates, /ND.
    Sweep sweep{{{"members.lst", lists.members}}, "members.lst /ND", {}, {}};
    sweep.clean = CleanRun(sweep.files, sweep.tail);
    sweep.rewrites = {
        {"members.lst", "members.TMP", lists.members, sweep.clean.files["members.lst"]}};
    SweepFailurePoints(sweep, points * 3 / 4);
  }
  {
    // Two rewrites: the exclude list first, then the list with the include
    // list merged in.
    Sweep sweep{
        {{"members.lst", lists.members}, {"in.lst", lists.include}, {"bad.lst", lists.exclude}},
        "members.lst in.lst /B=bad.lst /ND",
        {},
        {}};
    sweep.clean = CleanRun(sweep.files, sweep.tail);
    sweep.rewrites = {
        {"bad.lst", "bad.TMP", lists.exclude, sweep.clean.files["bad.lst"]},
        {"members.lst", "members.TMP", lists.members, sweep.clean.files["members.lst"]}};
    SweepFailurePoints(sweep, points);
  }
  {
    // Three: then the grouping rewrites the sorted list once more.
    Sweep sweep{{{"members.lst", lists.members}, {"bad.lst", lists.exclude}},
                "members.lst /B=bad.lst /ND /G5",
                {},
                {}};
    sweep.clean = CleanRun(sweep.files, sweep.tail);
    Clean sorted = CleanRun(sweep.files, "members.lst /B=bad.lst /ND");
    sweep.rewrites = {{"bad.lst", "bad.TMP", lists.exclude, sweep.clean.files["bad.lst"]},
                      {"members.lst", "members.TMP", lists.members, sorted.files["members.lst"]},
                      {"members.lst", "members.TMP", sorted.files["members.lst"],
                       sweep.clean.files["members.lst"]}};
    SweepFailurePoints(sweep, points / 2);
  }
}

TEST_F(FailureE2e, DiskThatFillsUp) {
  // 64 KiB of room. Sizes keep a margin of several pages either way.
  const Lists big = RealisticLists(1800), small = RealisticLists(60);
  ASSERT_GT(big.members.size(), 40000u);
  ASSERT_LT(big.members.size(), 56000u);
  ScratchDir dir;
  Tmpfs disk(dir / "disk", "size=64k,mode=0700");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
  const std::string folder = dir / "disk";
  auto entries = [&folder] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  {
    // Room for the companion and the list: rewritten.
    WriteFile(folder + "/members.lst", small.members);
    RunResult run = RunGrenfel("members.lst /ND", folder);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(ReadFile(folder + "/members.lst"),
              CleanRun({{"members.lst", small.members}}, "members.lst /ND").files["members.lst"]);
    EXPECT_EQ(entries(), std::vector<std::string>{"members.lst"});
  }
  {
    // No room for the companion: the list stays, the partial companion goes.
    WriteFile(folder + "/members.lst", big.members);
    RunResult run = RunGrenfel("members.lst /ND", folder);
    ExpectFailure(run, {"Cannot write the companion file \"members.TMP\"",
                        "No space left on device", "\"members.lst\" was left unchanged"});
    EXPECT_EQ(ReadFile(folder + "/members.lst"), big.members);
    EXPECT_EQ(entries(), std::vector<std::string>{"members.lst"});
  }
  {
    // A small list that an include list (elsewhere) makes large: the
    // companion fits, the list rewritten in place does not. Room for the
    // new length is reserved before the list is touched, so the run stops
    // there: the list as it was, the companion removed.
    // Its members only: control lines are refused in an include list.
    WriteFile(folder + "/members.lst", small.members);
    WriteFile(dir / "in.lst", big.members.substr(big.members.find("CLOSED\r\n") + 8));
    RunResult run = RunGrenfel("members.lst ../in.lst", folder);
    ExpectFailure(
        run, {"Cannot make room to rewrite the list \"members.lst\"", "No space left on device",
              "it was left unchanged and the companion removed"});
    EXPECT_EQ(entries(), std::vector<std::string>{"members.lst"});
    EXPECT_EQ(ReadFile(folder + "/members.lst"), small.members);
  }
}

TEST_F(FailureE2e, FileSizeLimitIsAnErrorNotAKill) {
  const std::string oldList = RealisticLists(100).members;
  const std::string newList =
      CleanRun({{"members.lst", oldList}}, "members.lst").files["members.lst"];
  for (rlim_t limit :
       {rlim_t{0}, rlim_t{1}, rlim_t{4096}, rlim_t{newList.size()}, rlim_t{newList.size() + 1}}) {
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    ScratchDir dir;
    WriteFile(dir / "members.lst", oldList);
    Launch limited;
    limited.fileSizeLimit = limit;
    RunResult run = RunGrenfel("members.lst", dir.path(), limited);
    if (limit > newList.size()) {
      EXPECT_EQ(run.exitCode, 0) << run.out;
      EXPECT_EQ(Snapshot(dir), (Files{{"members.lst", newList}}));
    } else {
      ExpectFailure(run, {"Cannot write the companion file \"members.TMP\"", "File too large",
                          "\"members.lst\" was left unchanged"});
      EXPECT_EQ(Snapshot(dir), (Files{{"members.lst", oldList}}));
    }
  }
}

TEST_F(FailureE2e, FilesRootCannotReadAreRefusedAndNothingIsWritten) {
  ScratchDir probe;
  const std::vector<std::string> withoutOverride = {
      "setpriv", "--bounding-set=-dac_override,-dac_read_search"};
  std::vector<std::string> check = withoutOverride;
  check.push_back("true");
  if (RunCommand(check, probe.path()).exitCode != 0) {
    GTEST_SKIP() << "setpriv cannot drop the file-access capabilities here";
  }
  const Files files = {{"members.lst", "bb@x\r\naa@x\r\n"},
                       {"in.lst", "cc@x\r\n"},
                       {"bad.lst", "bb@x\r\nzz@x\r\n"}};  // sorted: rewritten as it is
  for (auto [file, role] : {std::pair<std::string, std::string>{"members.lst", "list"},
                            {"in.lst", "include file"},
                            {"bad.lst", "exclude file"}}) {
    SCOPED_TRACE(file);
    ScratchDir dir;
    Fill(dir, files);
    std::filesystem::permissions(dir / file, std::filesystem::perms::none);
    std::vector<std::string> command = withoutOverride;
    for (const std::string& arg : Grenfel("members.lst in.lst /B=bad.lst")) command.push_back(arg);
    RunResult run = RunCommand(command, dir.path());
    ExpectFailure(run, {"Cannot read the " + role, "\"" + file + "\"", "Permission denied"});
    std::filesystem::permissions(dir / file, std::filesystem::perms::owner_read);
    EXPECT_EQ(Snapshot(dir), files);
  }
}

TEST_F(FailureE2e, ImmutableListOrFolder) {
  const std::string oldList = "bb@x\r\naa@x\r\n", newList = "aa@x\r\nbb@x\r\n";
  {
    // The list can be read but not written: the run finds out before it
    // touches the list, and removes the companion.
    ScratchDir dir;
    WriteFile(dir / "members.lst", oldList);
    Immutable frozen(dir / "members.lst");
    if (!frozen.set()) GTEST_SKIP() << "cannot set the immutable flag (chattr +i) here";
    RunResult run = RunGrenfel("members.lst", dir.path());
    ExpectFailure(run, {"Cannot make room to rewrite the list \"members.lst\"",
                        "Operation not permitted", "it was left unchanged"});
    EXPECT_EQ(Snapshot(dir), (Files{{"members.lst", oldList}}));
    frozen.Clear();
    EXPECT_EQ(RunGrenfel("members.lst", dir.path()).exitCode, 0);
    EXPECT_EQ(Snapshot(dir), (Files{{"members.lst", newList}}));
  }
  {
    // The folder takes no new file: no companion, the list untouched.
    ScratchDir dir;
    const Files files = {{"members.lst", oldList}, {"bad.lst", "zz@x\r\ncc@x\r\n"}};
    Fill(dir, files);
    Immutable frozen(dir.path());
    if (!frozen.set()) GTEST_SKIP() << "cannot set the immutable flag (chattr +i) here";
    for (std::string_view tail : {"members.lst", "members.lst /B=bad.lst"}) {
      RunResult run = RunGrenfel(tail, dir.path());
      std::string companion = tail == "members.lst" ? "members.TMP" : "bad.TMP";
      ExpectFailure(
          run, {"Cannot create the companion file \"" + companion + "\"", "was left unchanged"});
      EXPECT_EQ(Snapshot(dir), files);
    }
  }
}

TEST_F(FailureE2e, FilesHeldByAnotherProcessAreRefusedAtOnce) {
  const Files files = {{"members.lst", "bb@x\r\naa@x\r\n"},
                       {"in.lst", "cc@x\r\n"},
                       {"bad.lst", "bb@x\r\nzz@x\r\n"}};  // sorted: rewritten as it is
  for (auto [held, needle] :
       {std::pair<std::string, std::string>{"members.lst", "Cannot read the list"},
        {"in.lst", "Cannot read the include file"},
        {"bad.lst", "Cannot read the exclude file"},
        {"members.TMP", "Cannot create the companion file"}}) {
    SCOPED_TRACE(held);
    ScratchDir dir;
    Files before = files;
    before[held];  // an empty companion is taken over, unless someone holds it
    Fill(dir, before);
    Locked lock(dir / held);
    Launch quick;
    quick.seconds = 5;
    RunResult run = RunCommand(Grenfel("members.lst in.lst /B=bad.lst"), dir.path(), quick);
    ExpectFailure(run, {needle, "\"" + held + "\"", "held by another process"});
    EXPECT_EQ(Snapshot(dir), before);
  }
}

TEST_F(FailureE2e, PipesDevicesAndFoldersAreRefusedWithoutWaiting) {
  const std::string list = "bb@x\r\naa@x\r\n";
  Launch quick;
  quick.seconds = 5;
  auto fifo = [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path; };
  {
    ScratchDir dir;
    fifo(dir / "members.lst");
    ExpectFailure(RunGrenfel("members.lst", dir.path(), quick),
                  {"The list \"members.lst\" is not a regular file"});
    std::filesystem::create_directory(dir / "folder.lst");
    ExpectFailure(RunGrenfel("folder.lst", dir.path(), quick),
                  {"The list \"folder.lst\" is not a regular file"});
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"folder.lst", "members.lst"}));
  }
  {
    ScratchDir dir;
    WriteFile(dir / "members.lst", list);
    fifo(dir / "bad.lst");
    ExpectFailure(RunGrenfel("members.lst /B=bad.lst", dir.path(), quick),
                  {"\"bad.lst\" is not a regular file"});
    ExpectFailure(RunGrenfel("members.lst /B=/dev/null", dir.path(), quick),
                  {"\"/dev/null\" is not a regular file"});
    // A FIFO where the companion goes is no companion: left alone.
    fifo(dir / "members.TMP");
    ExpectFailure(RunGrenfel("members.lst", dir.path(), quick),
                  {"Cannot create the companion file \"members.TMP\""});
    EXPECT_EQ(Snapshot(dir), (Files{{"bad.lst", "<not a regular file>"},
                                    {"members.TMP", "<not a regular file>"},
                                    {"members.lst", list}}));
  }
  ScratchDir dir;
  ExpectFailure(RunGrenfel("/dev/null", dir.path(), quick),
                {"The list \"/dev/null\" is not a regular file"});
  EXPECT_FALSE(Exists("/dev/null.TMP"));
}

TEST_F(FailureE2e, OutputClosedEarlyDoesNotStopTheRun) {
  const Lists lists = RealisticLists(300);
  const Files files = {{"members.lst", lists.members}, {"bad.lst", lists.exclude}};
  const std::string tail = "members.lst /B=bad.lst /ND /G";
  const Files expected = CleanRun(files, tail).files;
  // The shell runs the program as "$0" "$@" and keeps its exit code aside.
  struct Case {
    std::string script, out;
  } cases[] = {
      {"{ \"$0\" \"$@\"; echo $? >\"$STATUS\"; } | head -c 1", "Q"},
      {"{ sleep 0.2; \"$0\" \"$@\"; echo $? >\"$STATUS\"; } | true", ""},
      {"\"$0\" \"$@\" >&-; echo $? >\"$STATUS\"", ""},
      {"\"$0\" \"$@\" >/dev/full; echo $? >\"$STATUS\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ScratchDir dir, aside;
    Fill(dir, files);
    std::vector<std::string> command = {"sh", "-c", c.script};
    for (const std::string& arg : Grenfel(tail)) command.push_back(arg);
    RunResult run = RunCommand(command, dir.path(), {{"STATUS=" + aside / "status"}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(ReadFile(aside / "status"), "0\n");
    EXPECT_EQ(Snapshot(dir), expected);
  }
}

}  // namespace
}  // namespace grenfel::e2e
