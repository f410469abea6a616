// The rewrite in place against a file system in memory: what it leaves
// when the list changes meanwhile, or a companion is in the way.
#include "services/rewrite.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "services/memory_fs.h"

namespace grenfel {
namespace {

constexpr std::string_view kOld = "bb@x\r\naa@x\r\n";
constexpr std::string_view kNew = "aa@x\r\nbb@x\r\n";

// Reads the list, writes its new contents to the companion, lets
// `meanwhile` act on the files, then commits.
template <typename Meanwhile>
RunFailure Rewrite(MemoryFileSystem* fs, Meanwhile meanwhile) {
  std::unique_ptr<HeldFile> list;
  std::string_view readable;
  RunFailure s = OpenListFile(fs, "m.lst", ListRole::kList, &list, &readable);
  if (!s.ok()) return s;
  std::unique_ptr<ListRewrite> rewrite;
  s = ListRewrite::Begin(fs, "m.lst", "m.TMP", list.get(), &rewrite);
  if (!s.ok()) return s;
  Status written = rewrite->contents()->Append(kNew);
  meanwhile();
  return rewrite->Commit(written);
}

TEST(ListRewriteTest, AListThatChangedSinceItWasReadIsLeftAsItIs) {
  MemoryFileSystem fs;
  fs.files["m.lst"] = std::string(kOld);
  ASSERT_TRUE(Rewrite(&fs, [] {}).ok());
  EXPECT_EQ(fs.files["m.lst"], kNew);
  EXPECT_EQ(fs.files.count("m.TMP"), 0u);

  // Written by someone else meanwhile, even to the same size; or removed.
  for (std::string_view change : {"appended", "rewritten", "removed"}) {
    SCOPED_TRACE(std::string(change));
    fs.files = {{"m.lst", std::string(kOld)}};
    std::string theirs = change == "appended" ? std::string(kOld) + "cc@x\r\n" : "zz@x\r\nyy@x\r\n";
    RunFailure s = Rewrite(&fs, [&] {
      if (change == "removed") {
        fs.files.erase("m.lst");
        return;
      }
      fs.files["m.lst"] = theirs;
      ++fs.changes["m.lst"];
    });
    // A removed list may already fail the look at the held file.
    EXPECT_TRUE(s.step == FailedStep::kCheckUnchanged ||
                (change == "removed" && s.step == FailedStep::kLookBeforeRewrite))
        << static_cast<int>(s.step);
    EXPECT_EQ(s.file, "m.lst");
    EXPECT_EQ(fs.files.count("m.TMP"), 0u);
    EXPECT_EQ(fs.files.count("m.lst") ? fs.files["m.lst"] : "", change == "removed" ? "" : theirs);
  }

  // A list that is gone when it is to be read is an error, not an empty list.
  fs.files.clear();
  RunFailure s = Rewrite(&fs, [] {});
  EXPECT_EQ(s.step, FailedStep::kReadFile);
  EXPECT_EQ(s.file, "m.lst");
  EXPECT_EQ(s.role, ListRole::kList);
  EXPECT_TRUE(fs.files.empty());
}

TEST(ListRewriteTest, ALeftoverCompanionIsDescribedWithSafeAdvice) {
  struct Case {
    std::string companion;
    CompanionContents found;
  };
  for (const Case& c : {
           // Complete, and the list holds it already: deleting it is safe.
           Case{std::string(kOld) + "\x1A", CompanionContents::kCompleteAndInList},
           // Complete, and the list does not hold it: only copying is.
           Case{std::string(kNew) + "\x1A", CompanionContents::kCompleteNotInList},
           // Never completed: the list was not touched.
           Case{"aa@x\r\n", CompanionContents::kIncomplete},
       }) {
    SCOPED_TRACE(c.companion);
    MemoryFileSystem fs;
    fs.files = {{"m.lst", std::string(kOld)}, {"m.TMP", c.companion}};
    RunFailure s = Rewrite(&fs, [] {});
    EXPECT_EQ(s.step, FailedStep::kClaimCompanion);
    EXPECT_EQ(s.cause.code, ErrorCode::kCompanionHoldsData);
    EXPECT_EQ(s.companionContents, c.found);
    EXPECT_EQ(s.companion, "m.TMP");
    EXPECT_EQ(fs.files["m.lst"], kOld);
    EXPECT_EQ(fs.files["m.TMP"], c.companion);
  }
}

}  // namespace
}  // namespace grenfel
