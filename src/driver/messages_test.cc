// The sentences are checked byte for byte by the end-to-end tests; here,
// what must hold for every one of them: each names its files, and advice to
// delete a companion is given only where that loses nothing.
#include "driver/messages.h"

#include <string>

#include "gtest/gtest.h"

namespace grenfel {
namespace {

bool Says(const std::string& line, const std::string& text) {
  return line.find(text) != std::string::npos;
}

TEST(FailureLineTest, EveryStepNamesItsFilesAndWhatWasLeft) {
  for (int step = static_cast<int>(FailedStep::kReadFile);
       step <= static_cast<int>(FailedStep::kWriteReport); ++step) {
    for (ListRole role : {ListRole::kList, ListRole::kInclude, ListRole::kExclude}) {
      RunFailure f = RunFailure::Of(static_cast<FailedStep>(step),
                                    Status::Error(ErrorCode::kIoError, "write(x): boom"), "m.lst",
                                    role, "m.TMP");
      std::string line = FailureLine(f);
      SCOPED_TRACE(line);
      EXPECT_TRUE(Says(line, "\"m.lst\""));
      // Every line says what became of the files.
      EXPECT_TRUE(Says(line, "unchanged") || Says(line, "kept") || Says(line, "rewritten") ||
                  Says(line, "as that program made it"));
      bool rewriting = f.step == FailedStep::kClaimCompanion ||
                       f.step == FailedStep::kWriteCompanion ||
                       f.step == FailedStep::kRewriteList || f.step == FailedStep::kRemoveCompanion;
      if (rewriting) {
        EXPECT_TRUE(Says(line, "\"m.TMP\""));
      }
      // The system's reason is given where the step has one.
      if (rewriting || f.step == FailedStep::kReadFile || f.step == FailedStep::kMakeRoom) {
        EXPECT_TRUE(Says(line, "(write(x): boom)"));
      }
    }
  }
}

TEST(FailureLineTest, ACompanionIsCalledDeletableOnlyWhenNothingIsLostByIt) {
  RunFailure f =
      RunFailure::Of(FailedStep::kClaimCompanion, Status::Error(ErrorCode::kCompanionHoldsData, ""),
                     "m.lst", ListRole::kList, "m.TMP");
  f.companionContents = CompanionContents::kCompleteNotInList;
  std::string onlyCopy = FailureLine(f);
  EXPECT_TRUE(Says(onlyCopy, "copy it over the list")) << onlyCopy;
  EXPECT_FALSE(Says(onlyCopy, "can be deleted") || Says(onlyCopy, "delete the companion"))
      << onlyCopy;
  f.companionContents = CompanionContents::kCompleteAndInList;
  EXPECT_TRUE(Says(FailureLine(f), "delete the companion"));
  f.companionContents = CompanionContents::kIncomplete;
  EXPECT_TRUE(Says(FailureLine(f), "can be deleted"));
  // A companion that cannot be created holds nothing of ours: no advice.
  f.cause = Status::Error(ErrorCode::kCompanionNotOurs, "open(m.TMP): is a symbolic link");
  EXPECT_TRUE(Says(FailureLine(f), "Cannot create the companion file \"m.TMP\""));
}

TEST(FailureLineTest, ARefusedExcludeFileSaysBothFilesWereLeft) {
  RunFailure f =
      RunFailure::Of(FailedStep::kCheckContents, Status::Error(ErrorCode::kUnixLineEnds, ""),
                     "bad.lst", ListRole::kExclude);
  EXPECT_TRUE(Says(FailureLine(f), "The exclude file \"bad.lst\" ends its lines with LF alone"));
  EXPECT_TRUE(Says(FailureLine(f), "it and the list were left unchanged"));
  f.role = ListRole::kInclude;
  EXPECT_TRUE(Says(FailureLine(f), "; the list was left unchanged."));
}

}  // namespace
}  // namespace grenfel
