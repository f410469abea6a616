#include "services/rewrite.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "services/memory_fs.h"

namespace grenfel {
namespace {

constexpr std::string_view kOld = "bb@x\r\naa@x\r\n";
constexpr std::string_view kNew = "aa@x\r\nbb@x\r\n";

bool Holds(const Status& s, std::string_view text) {
  return s.message.find(text) != std::string::npos;
}

// Reads the list, writes its new contents to the companion, lets
// `meanwhile` act on the files, then commits.
template <typename Meanwhile>
Status Rewrite(MemoryFileSystem* fs, Meanwhile meanwhile) {
  std::unique_ptr<HeldFile> list;
  Status s = OpenListFile(fs, "m.lst", ListRole::kList, &list);
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
    Status s = Rewrite(&fs, [&] {
      if (change == "removed") {
        fs.files.erase("m.lst");
        return;
      }
      fs.files["m.lst"] = theirs;
      ++fs.changes["m.lst"];
    });
    EXPECT_TRUE(Holds(s, change == "removed" ? "nothing was written to it"
                                             : "The list \"m.lst\" changed during the run"))
        << s.message;
    EXPECT_EQ(fs.files.count("m.TMP"), 0u);
    EXPECT_EQ(fs.files.count("m.lst") ? fs.files["m.lst"] : "", change == "removed" ? "" : theirs);
  }

  // A list that is gone when it is to be read is an error, not an empty list.
  fs.files.clear();
  Status s = Rewrite(&fs, [] {});
  EXPECT_TRUE(Holds(s, "Cannot read the list \"m.lst\"")) << s.message;
  EXPECT_TRUE(fs.files.empty());
}

TEST(ListRewriteTest, ALeftoverCompanionIsDescribedWithSafeAdvice) {
  struct Case {
    std::string companion, advice, notSaid;
  };
  for (const Case& c : {
           // Complete, and the list holds it already: deleting it is safe.
           Case{std::string(kOld) + "\x1A", "delete the companion", "copy it"},
           // Complete, and the list does not hold it: only copying is.
           Case{std::string(kNew) + "\x1A", "copy it over the list", "delete the companion"},
           // Never completed: the list was not touched.
           Case{"aa@x\r\n", "can be deleted", "copy it"},
       }) {
    SCOPED_TRACE(c.advice);
    MemoryFileSystem fs;
    fs.files = {{"m.lst", std::string(kOld)}, {"m.TMP", c.companion}};
    Status s = Rewrite(&fs, [] {});
    EXPECT_TRUE(Holds(s, c.advice)) << s.message;
    EXPECT_FALSE(Holds(s, c.notSaid)) << s.message;
    EXPECT_FALSE(Holds(s, "interrupted")) << s.message;
    EXPECT_EQ(fs.files["m.lst"], kOld);
    EXPECT_EQ(fs.files["m.TMP"], c.companion);
  }
}

}  // namespace
}  // namespace grenfel
