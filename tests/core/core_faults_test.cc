// The core program on tasks that must not be mistaken for finished work: a
// failed existence check, and target roots that are inside or equal to the
// source root under another spelling.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/text.h"
#include "tests/core/core_test_support.h"

namespace quorvalmist::testing {
namespace {

using CoreFaultsTest = CoreTest;

// A file whose existence check fails is neither skipped nor recorded: the run
// ends with a database error, and no directory counts as searched.
TEST_F(CoreFaultsTest, AFailedExistenceCheckEndsTheRunAsADatabaseError) {
  MakeDirs(Path("src/sub"));
  WriteFile(Path("src/a"), "a");
  WriteFile(Path("src/sub/b"), "b");
  AddDirTask(L"T", Path("src"), Path("dst"));
  Execute(L"alter table tcitem2 rename column sourcefile to sourcepath");

  RunResult r = RunCore(L"T");
  EXPECT_EQ(r.exit_code, 2) << r.error;
  EXPECT_NE(r.error.find("database error"), std::string::npos) << r.error;
  EXPECT_EQ(SearchedDirs(L"T"), std::vector<std::wstring>{});
  EXPECT_FALSE(PathExists(Path("dst")));
}

// The target root is found by identity, whatever its spelling: the walk never
// enters it, so nothing below it is copied into itself.
TEST_F(CoreFaultsTest, ATargetInsideTheSourceIsNeverEnteredHoweverItIsSpelled) {
  // One source tree per spelling; each target root is there already and holds
  // a file from an earlier copy.
  const std::vector<std::pair<std::string, std::string>> spellings = {
      {"dot", "/./t"},
      {"slashes", "//t/"},
      {"relative", "/t"},  // relative to the workspace, the core's directory
      {"link", "/t"},      // through a link to the source root
  };
  for (const auto& [name, tail] : spellings) {
    SCOPED_TRACE(name);
    std::string src = Path(name + "/src");
    MakeDirs(src + "/sub");
    WriteFile(src + "/a", "a");
    WriteFile(src + "/sub/b", "b");
    MakeDirs(src + "/t");
    WriteFile(src + "/t/old", "old");
    std::string target = src + tail;
    if (name == "relative") target = name + "/src" + tail;
    if (name == "link") {
      ASSERT_EQ(::symlink(src.c_str(), Path(name + "/link").c_str()), 0);
      target = Path(name + "/link") + tail;
    }
    std::wstring task = L"T-" + NarrowToWide(name);
    AddDirTask(task, src, target);
    RunResult r = RunCore(task);
    EXPECT_EQ(r.exit_code, 0) << r.error;
    EXPECT_EQ(ReadFile(src + "/t/a"), "a");
    EXPECT_EQ(ReadFile(src + "/t/sub/b"), "b");
    EXPECT_FALSE(PathExists(src + "/t/t")) << "the target was copied into itself";
    EXPECT_EQ(Items(task).size(), 2u);
  }
}

// A target root that is the source root ends the run at once: non-zero exit,
// a message, no row, nothing written.
TEST_F(CoreFaultsTest, ATargetRootThatIsTheSourceRootEndsTheRunUntouched) {
  ASSERT_EQ(::symlink(Path("src").c_str(), Path("link").c_str()), 0);
  MakeDirs(Path("src/sub"));
  WriteFile(Path("src/a"), "a");
  WriteFile(Path("src/sub/b"), "b");
  int n = 0;
  for (const std::string& target : {Path("src/."), Path("link"), std::string("src/sub/..")}) {
    SCOPED_TRACE(target);
    std::wstring task = L"S" + std::to_wstring(n++);
    AddDirTask(task, Path("src"), target);
    RunResult r = RunCore(task);
    EXPECT_EQ(r.exit_code, 3) << r.error;
    EXPECT_NE(r.error.find("is the source directory"), std::string::npos) << r.error;
    EXPECT_TRUE(Items(task).empty());
    EXPECT_TRUE(SearchedDirs(task).empty());
  }
  // Nothing was added beside the source files (no temporary file).
  std::vector<std::string> names;
  for (const char* dir : {"src", "src/sub"}) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(Path(dir).c_str()), ::closedir);
    ASSERT_TRUE(d);
    while (dirent* e = ::readdir(d.get())) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", ".", "..", "..", "a", "b", "sub"}));
}

}  // namespace
}  // namespace quorvalmist::testing
