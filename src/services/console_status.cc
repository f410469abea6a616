// The status line of a run on the console; see console_status.h.
#include "services/console_status.h"

#include <string>
#include <string_view>

namespace grenfel {
namespace {

constexpr double kRefreshSeconds = 1.0;
constexpr std::string_view kEraseToRowEnd = "\x1b[K";
// Blanks between text left open on the row and the status.
constexpr std::string_view kGap = "  ";
// With less room than this beside the cursor, the line is not drawn.
constexpr size_t kLeastRoom = 8;

std::string_view PhaseOf(std::string_view text) {
  size_t count = text.find(" [");
  return count == std::string_view::npos ? text : text.substr(0, count);
}

// The text cut to fit, ending on a whole UTF-8 character when cut.
std::string Fitted(const std::string& text, size_t room) {
  if (text.size() <= room) return text;
  std::string fitted = text.substr(0, room);
  while (!fitted.empty() && (static_cast<unsigned char>(fitted.back()) & 0xC0) == 0x80) {
    fitted.pop_back();
  }
  if (!fitted.empty() && static_cast<unsigned char>(fitted.back()) >= 0xC0) fitted.pop_back();
  return fitted;
}

// The status after the cursor, and the cursor moved back to where it was.
std::string Drawn(StatusLine& line, size_t column, size_t width) {
  std::string bytes(line.onScreen ? kEraseToRowEnd : "");
  line.onScreen = false;
  std::string_view gap = column > 0 ? kGap : "";
  // The last column stays free: writing into it would move some terminals on
  // to the next row.
  size_t used = column + gap.size() + 1;
  if (width < used + kLeastRoom) return bytes;
  std::string shown = Fitted(line.text, width - used);
  if (shown.empty()) return bytes;
  size_t back = gap.size() + shown.size();
  bytes += gap;
  bytes += shown;
  bytes += "\x1b[" + std::to_string(back) + "D";
  line.onScreen = true;
  return bytes;
}

}  // namespace

std::string StatusUpdate(StatusLine& line, std::string_view title, double now, size_t column,
                         size_t width) {
  std::string text;
  text.reserve(title.size());
  for (char c : title) {
    unsigned char byte = static_cast<unsigned char>(c);
    // A file name must not be able to send control sequences of its own.
    text.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
  std::string_view phase = PhaseOf(text);
  if (line.everDrawn && phase == line.phase && now - line.drawnAt < kRefreshSeconds) return "";
  line.text = std::move(text);
  line.phase = std::string(PhaseOf(line.text));
  line.drawnAt = now;
  line.everDrawn = true;
  return Drawn(line, column, width);
}

std::string StatusErase(StatusLine& line) {
  if (!line.onScreen) return "";
  line.onScreen = false;
  return std::string(kEraseToRowEnd);
}

std::string StatusRedraw(StatusLine& line, size_t column, size_t width) {
  if (!line.everDrawn) return "";
  return Drawn(line, column, width);
}

size_t ColumnAfter(size_t column, std::string_view bytes, size_t width) {
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      column = 0;
    } else if (++column >= width && width > 0) {
      column = 0;
    }
  }
  return column;
}

}  // namespace grenfel
