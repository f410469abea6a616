// Console output, the window title, the command tail and the process frame.
// Every line the user sees goes through PrintText and PrintLineEnd, which
// write at once and unbuffered: a line may be left open and finished later.
// Platform code lives in console_posix.cc / console_win32.cc.
#ifndef GRENFEL_SERVICES_CONSOLE_H_
#define GRENFEL_SERVICES_CONSOLE_H_

#include <string>
#include <string_view>

namespace grenfel {

// Sets up the process before the driver runs: takes standard output, makes
// the interrupt keys (and a closed output pipe) unable to stop a run, has
// freed large blocks go back to the system, and forms the command tail from
// the arguments.
void StartConsole(int argc, char** argv);

// The arguments after the program name as one text.
const std::string& CommandTail();

// Writes the bytes as they are, no line end added; failures are ignored.
void PrintText(std::string_view text);
// Writes CR LF.
void PrintLineEnd();
// Writes one line of advice to standard error, with the platform's line
// end: never to standard output, whose lines scripts read. Dropped while the
// console is captured.
void PrintErrorLine(std::string_view text);
// Shows the text as the console window title where there is one. Where
// standard error is a terminal (on Linux), the text is shown there too, as a
// status line that other output makes way for.
void SetTitle(std::string_view text);
// Erases the status line, if one is shown; called once the run is over.
void EndStatusLine();

// Tests: while `sink` is set, printed bytes are appended to it instead of
// going to standard output, and titles are appended to `titles` (one per
// line) when that is set.
void CaptureConsole(std::string* sink, std::string* titles = nullptr);

// Ends the process at once with exit code 255 and a line on standard error:
// memory ran out and no file may be left half-written by going on.
[[noreturn]] void DieOutOfMemory();

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_CONSOLE_H_
