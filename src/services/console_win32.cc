// The console on Windows: standard output through WriteFile on the handle
// the process was given, the console window title, the control keys, and the
// command tail cut from the process command line (the arguments of main are
// not used: Windows hands a program one line, and the tail is that line's).
#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "services/command_line.h"
#include "services/console.h"

namespace grenfel {
namespace {

struct ConsoleState {
  // Standard output until StartConsole has looked at the startup data.
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  std::string commandTail;
  std::string* capturedOutput = nullptr;
  std::string* capturedTitles = nullptr;
};

// Made on first use, so that it is ready whatever runs first.
ConsoleState& State() {
  static ConsoleState state;
  return state;
}

// WriteFile may write fewer bytes than asked (wine does on pipes): go on
// with the rest. A failure or no progress loses the output; the run goes on.
void WriteAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD asked = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), asked, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

// Ctrl+C, Ctrl+Break and closing the console are answered as handled, so
// that neither key stops a run halfway through a rewrite. (After a close the
// system ends the process anyway once the handler returns.)
BOOL WINAPI AnswerControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void StartConsole(int, char**) {
  ConsoleState& state = State();
  state.output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  // A process started with explicit standard handles writes to the output
  // handle it was given.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  ::GetStartupInfoA(&startup);
  if ((startup.dwFlags & STARTF_USESTDHANDLES) != 0) state.output = startup.hStdOutput;

  ::SetConsoleCtrlHandler(AnswerControlEvent, TRUE);

  const char* line = ::GetCommandLineA();
  state.commandTail = CommandTailFromLine(line != nullptr ? line : "");
}

const std::string& CommandTail() { return State().commandTail; }

void PrintText(std::string_view text) {
  ConsoleState& state = State();
  if (state.capturedOutput != nullptr) {
    state.capturedOutput->append(text);
    return;
  }
  WriteAll(state.output, text);
}

void PrintLineEnd() { PrintText("\r\n"); }

void PrintErrorLine(std::string_view text) {
  if (State().capturedOutput != nullptr) return;
  std::string line(text);
  line += "\r\n";
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), line);
}

void SetTitle(std::string_view text) {
  ConsoleState& state = State();
  if (state.capturedOutput != nullptr) {
    if (state.capturedTitles != nullptr) {
      state.capturedTitles->append(text);
      state.capturedTitles->push_back('\n');
    }
    return;
  }
  // Fails without a console window (output to a pipe under a service, say);
  // that is of no consequence.
  ::SetConsoleTitleA(std::string(text).c_str());
}

void CaptureConsole(std::string* sink, std::string* titles) {
  ConsoleState& state = State();
  state.capturedOutput = sink;
  state.capturedTitles = sink != nullptr ? titles : nullptr;
}

// The console window's title shows the phase; there is no status line.
void EndStatusLine() {}

void DieOutOfMemory() {
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), "grenfel: out of memory; the run was stopped.\r\n");
  ::ExitProcess(255);
}

}  // namespace grenfel
