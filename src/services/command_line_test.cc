// Where the program name ends on a command line, quoted or plain.
#include "services/command_line.h"

#include <string>

#include "gtest/gtest.h"

namespace grenfel {
namespace {

TEST(CommandTailFromLine, QuotedProgramNameEndsAtItsClosingQuote) {
  // Blanks inside the quotes belong to the name; blanks after it are skipped.
  EXPECT_EQ(CommandTailFromLine(R"("C:\Program Files\grenfel.exe"   x)"), "x");
  // Nothing needs to separate the closing quote from the tail.
  EXPECT_EQ(CommandTailFromLine(R"("grenfel"members.lst /ND)"), "members.lst /ND");
  // Quotes later on are the tail's own.
  EXPECT_EQ(CommandTailFromLine(R"("a b" /B="my list.lst" x)"), R"(/B="my list.lst" x)");
  EXPECT_EQ(CommandTailFromLine(R"("grenfel.exe")"), "");
  EXPECT_EQ(CommandTailFromLine(R"("")"), "");
  // A quote that is never closed leaves nothing after the name.
  EXPECT_EQ(CommandTailFromLine(R"("C:\grenfel.exe members.lst)"), "");
}

TEST(CommandTailFromLine, PlainProgramNameEndsAtABlankOrAControlByte) {
  EXPECT_EQ(CommandTailFromLine("grenfel members.lst new.lst"), "members.lst new.lst");
  // A quote inside an unquoted name does not start a quoted name.
  EXPECT_EQ(CommandTailFromLine(R"(gren"fel x" y)"), R"(x" y)");
  // Bytes above 0x7F are part of the name.
  EXPECT_EQ(CommandTailFromLine("gr\xE9nfel\x99 x"), "x");
  EXPECT_EQ(CommandTailFromLine("grenfel"), "");
  EXPECT_EQ(CommandTailFromLine(""), "");
}

TEST(CommandTailFromLine, OnlyBlanksAfterTheNameAreSkipped) {
  // A tab ends the name and stays as the first byte of the tail.
  EXPECT_EQ(CommandTailFromLine("grenfel\tx"), "\tx");
  EXPECT_EQ(CommandTailFromLine("\"grenfel\"\t x"), "\t x");
  EXPECT_EQ(CommandTailFromLine("grenfel  \tx"), "\tx");
  // Trailing blanks and blanks inside the tail are kept as they are.
  EXPECT_EQ(CommandTailFromLine("grenfel   a  b  "), "a  b  ");
  EXPECT_EQ(CommandTailFromLine("grenfel    "), "");
  // Other control bytes end a plain name too, and are not skipped.
  EXPECT_EQ(CommandTailFromLine("grenfel\x1F!"), "\x1F!");
}

}  // namespace
}  // namespace grenfel
