// The front end on every platform: a tree with blanks, quotes, Cyrillic and
// Japanese names, an empty file and a 3 MB file is copied, stopped from
// another process while a file is being copied, and resumed; the copy then
// equals the source and no temporary file is left.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/temp_name.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

class StopResumeTest : public FrontEndTest {
 protected:
  // The files under `root`, relative, as the file system's text.
  static std::vector<std::string> FilesUnder(const std::string& root) {
    std::vector<std::string> files;
    std::error_code ec;
    std::filesystem::path base = FileSystemPath(root);
    for (auto it = std::filesystem::recursive_directory_iterator(base, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec)) files.push_back(PathText(it->path().lexically_relative(base)));
    }
    return files;
  }

  // True once some file under dst is a temporary file with data in it: a
  // copier is in the middle of a file.
  bool CopyingAFile() {
    for (const std::string& name : FilesUnder(P("dst"))) {
      std::optional<PathInfo> info = StatPath(P("dst") + "/" + name);
      if (name.ends_with(WideToNarrow(kTempSuffix)) && info && info->size > 0) return true;
    }
    return false;
  }
};

TEST_F(StopResumeTest, ATreeOfHostileNamesIsStoppedInsideAFileAndResumedToAnEqualCopy) {
  const std::string cyrillic =
      "\u043f\u0430\u043f\u043a\u0430 \u0434\u0430\u043d\u043d\u044b\u0445";
  const std::string japanese = "\u30d5\u30a1\u30a4\u30eb";
  MakeDirs(P("src/a b/" + cyrillic));
  MakeDirs(P("src/empty folder"));
  WriteFile(P("src/it's " + japanese + ".txt"), RandomBytes(5000, 1));
  WriteFile(P("src/empty file"), "");
  WriteRandomFile(P("src/a b/three.bin"), 3 << 20, 2);
  WriteRandomFile(P("src/a b/" + cyrillic + "/" + japanese + " 'q'.dat"), 300000, 3);
  const std::vector<std::string> sources = FilesUnder(P("src"));
  ASSERT_EQ(sources.size(), 4u);

  // One byte a chunk: every file with data takes long enough to be caught.
  auto copy = StartQv({"copy", "--verify", "always", "--chunk-size", "1", P("src"), P("dst")});
  ASSERT_TRUE(WaitFor([&] { return CopyingAFile(); }, std::chrono::seconds(60))) << copy->output();
  std::string task = TaskId(copy->output());
  ASSERT_FALSE(task.empty()) << copy->output();
  RunResult stop = Qv({"stop", task});
  EXPECT_EQ(stop.exit_code, 0) << stop.output << stop.error;
  EXPECT_EQ(copy->Wait(), 1) << copy->output();
  EXPECT_NE(copy->output().find("resume with:"), std::string::npos) << copy->output();

  RunResult resume = Qv({"resume", "--chunk-size", "1MiB", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  for (const std::string& name : sources) {
    EXPECT_TRUE(FilesEqual(P("src/") + name, P("dst/") + name)) << name;
  }
  EXPECT_EQ(FilesUnder(P("dst")).size(), sources.size());  // no temporary file left
  EXPECT_TRUE(PathExists(P("dst/empty folder")));
}

}  // namespace
}  // namespace quorvalmist::testing
