// The README's sample output is what the program prints for the command it
// shows, and that command is the one its first set-up command runs.
#include <string>
#include <string_view>
#include <vector>

#include "e2e_util.h"
#include "gtest/gtest.h"

namespace grenfel::e2e {
namespace {

constexpr std::string_view kIndent = "    ";
constexpr std::string_view kPrompt = "    $ ./grenfel ";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

TEST(Readme, SampleOutputIsWhatTheFirstSetUpCommandPrints) {
  const std::string source(GRENFEL_SOURCE_DIR);
  std::vector<std::string> readme = Lines(ReadFile(source + "/README.md"));

  // The sample: a prompt line with the arguments, then the printed lines,
  // indented like it, up to the first line that is not.
  size_t at = 0;
  while (at < readme.size() && readme[at].rfind(kPrompt, 0) != 0) ++at;
  ASSERT_LT(at, readme.size()) << "no sample run (\"" << kPrompt << "...\") in README.md";
  const std::string arguments = readme[at].substr(kPrompt.size());
  std::string expected;
  for (++at; at < readme.size() && readme[at].rfind(kIndent, 0) == 0; ++at) {
    expected += readme[at].substr(kIndent.size()) + "\r\n";
  }

  // The first set-up command ends by running the same command.
  std::string setUp;
  for (const std::string& line : readme) {
    if (line.rfind("    (cmake -S . -B build ", 0) == 0) {
      setUp = line;
      break;
    }
  }
  EXPECT_NE(setUp.find("&& ./grenfel " + arguments + ")"), std::string::npos)
      << "the first set-up command is not the sample's: " << setUp;

  ScratchDir dir;
  for (const char* name : {"members.lst", "new.lst", "bad.lst"}) {
    WriteFile(dir / name, ReadFile(source + "/examples/" + name));
  }
  RunResult run = RunProgram(Words(arguments), dir.path());
  EXPECT_EQ(run.exitCode, 0);
  // Both end with a run-time line; the time itself varies.
  EXPECT_EQ(WithoutRuntime(run.out), WithoutRuntime(expected));
}

}  // namespace
}  // namespace grenfel::e2e
