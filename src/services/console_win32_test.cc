// The Windows console start-up as a program meets it: this test program
// starts itself again with command lines of its choosing and standard output
// on a pipe, and the child prints the command tail it found.
#include <windows.h>

#include <string>

#include "gtest/gtest.h"
#include "services/console.h"

namespace grenfel {
namespace {

constexpr char kChildVariable[] = "GRENFEL_CONSOLE_CHILD";
constexpr DWORD kChildExitCode = 42;

// In the child, before any test runs: start up as the program does, print
// the tail in brackets, end.
[[maybe_unused]] const bool kIsChild = [] {
  if (::GetEnvironmentVariableA(kChildVariable, nullptr, 0) == 0) return false;
  StartConsole(0, nullptr);
  PrintText("[");
  PrintText(CommandTail());
  PrintText("]");
  PrintLineEnd();
  ::ExitProcess(kChildExitCode);
  return true;
}();

struct ChildRun {
  std::string out;
  DWORD exitCode = 0;
};

// Starts this program as the child with exactly `commandLine`, its standard
// output an inherited pipe given as an explicit startup handle.
ChildRun RunChild(std::string commandLine) {
  ChildRun run;
  char self[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  EXPECT_TRUE(length > 0 && length < MAX_PATH);

  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  EXPECT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;

  ::SetEnvironmentVariableA(kChildVariable, "1");
  PROCESS_INFORMATION process;
  BOOL started = ::CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
  ::SetEnvironmentVariableA(kChildVariable, nullptr);
  ::CloseHandle(writeEnd);
  EXPECT_TRUE(started) << "error " << ::GetLastError();
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      run.out.append(buffer, got);
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  ::CloseHandle(readEnd);
  return run;
}

TEST(WinConsole, CommandTailComesFromTheProcessCommandLine) {
  struct Case {
    std::string line;
    std::string tail;
  };
  const Case cases[] = {
      // A quoted program name may hold blanks; the blanks after it go.
      {R"("C:\Program Files\grenfel\grenfel.exe"   x)", "x"},
      // A tab after the name is the first byte of the tail; trailing blanks
      // and quotes stay.
      {"grenfel.exe\t/B=\"my list.lst\"  members.lst  ", "\t/B=\"my list.lst\"  members.lst  "},
      // A quote that never closes: all of it is the program name.
      {R"("grenfel.exe members.lst)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ChildRun run = RunChild(c.line);
    EXPECT_EQ(run.exitCode, kChildExitCode);
    EXPECT_EQ(run.out, "[" + c.tail + "]\r\n");
  }
}

}  // namespace
}  // namespace grenfel
