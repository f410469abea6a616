// The status line: the phase and count of a run (the texts of the console
// title), shown on standard error when that is a terminal, so that a person
// sees them where a terminal shows no title. Only the bytes to send are made
// here; console_posix.cc decides whether there is a terminal and sends them.
//
// The line is drawn at the cursor, after whatever the program's output left
// open on that row, and the cursor is put back where it was: output that
// follows erases it first (StatusErase) and has it drawn again after itself
// (StatusRedraw), so the output's bytes and their order stay as they are.
#ifndef GRENFEL_SERVICES_CONSOLE_STATUS_H_
#define GRENFEL_SERVICES_CONSOLE_STATUS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace grenfel {

struct StatusLine {
  std::string text;    // the text drawn last, control bytes made harmless
  std::string phase;   // its part before a " [" count
  double drawnAt = 0;  // seconds, any steady clock
  bool everDrawn = false;
  bool onScreen = false;  // drawn and not erased since
};

// Texts of one phase are drawn at most once a second; a new phase is drawn at
// once. `column` is where the cursor stands on its row, `width` the
// terminal's. Returns the bytes to send, often none.
std::string StatusUpdate(StatusLine& line, std::string_view title, double now, size_t column,
                         size_t width);

// Erases the line drawn at the cursor; nothing when none is on the screen.
std::string StatusErase(StatusLine& line);

// Draws the last text again at the cursor, after other output moved it.
std::string StatusRedraw(StatusLine& line, size_t column, size_t width);

// Where the cursor stands after `bytes` were written from `column`: a line
// end or a carriage return goes back to the row's start; every other byte
// takes one column, and a full row goes on at the start of the next.
size_t ColumnAfter(size_t column, std::string_view bytes, size_t width);

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_CONSOLE_STATUS_H_
