// The status line: when it is redrawn, how it fits on the row, and where
// the cursor stands.
#include "services/console_status.h"

#include <string>

#include "gtest/gtest.h"

namespace grenfel {
namespace {

TEST(StatusLine, NewPhaseAtOnceItsCountAtMostOnceASecond) {
  StatusLine line;
  // At the row's start: the text, then the cursor back before it.
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Sorting a.lst", 100.0, 0, 80),
            "Grenfel : Sorting a.lst\x1b[23D");
  // A new phase replaces it at once, erasing the old text first.
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Writing a.lst", 100.1, 0, 80),
            "\x1b[KGrenfel : Writing a.lst\x1b[23D");
  // Its running count waits for the second to pass.
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Writing a.lst [5]", 100.5, 0, 80), "");
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Writing a.lst [9]", 101.1, 0, 80),
            "\x1b[KGrenfel : Writing a.lst [9]\x1b[27D");
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Writing a.lst [12]", 101.9, 0, 80), "");
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Grouping", 101.95, 0, 80),
            "\x1b[KGrenfel : Grouping\x1b[18D");

  // Output makes way and has it drawn after itself, two blanks after text
  // left open on the row.
  EXPECT_EQ(StatusErase(line), "\x1b[K");
  EXPECT_EQ(StatusErase(line), "");
  EXPECT_EQ(StatusRedraw(line, 10, 80), "  Grenfel : Grouping\x1b[20D");
  EXPECT_EQ(StatusErase(line), "\x1b[K");
  StatusLine neverDrawn;
  EXPECT_EQ(StatusRedraw(neverDrawn, 0, 80), "");
}

TEST(StatusLine, FitsBesideTheCursorAndSendsNoControlBytesOfANamesOwn) {
  StatusLine line;
  // 20 columns, cursor at 5: 5 + 2 blanks + 1 free column leave 12.
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Sorting long.lst", 0, 5, 20), "  Grenfel : So\x1b[14D");
  // Cut on a whole character: "\xC3\xA9" is one.
  line = {};
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Sorting \xC3\xA9", 0, 0, 20),
            "Grenfel : Sorting \x1b[18D");
  // Too little room: nothing drawn, and nothing to erase later.
  line = {};
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Sorting a.lst", 0, 70, 80), "");
  EXPECT_EQ(StatusErase(line), "");
  // An escape or line end in a file name is shown as '?'.
  line = {};
  EXPECT_EQ(StatusUpdate(line, "Grenfel : Sorting a\x1b]0;x\a\r\n", 0, 0, 80),
            "Grenfel : Sorting a?]0;x???\x1b[27D");
}

TEST(StatusLine, ColumnFollowsTheBytesWritten) {
  EXPECT_EQ(ColumnAfter(0, "   Reading", 80), 10u);
  EXPECT_EQ(ColumnAfter(10, ", Writing.\r\n", 80), 0u);
  EXPECT_EQ(ColumnAfter(0, "abc\ndef", 80), 3u);
  EXPECT_EQ(ColumnAfter(78, "abcd", 80), 2u);
}

}  // namespace
}  // namespace grenfel
