// End-to-end tests of what resume and verify believe of rows that say a file
// was copied: the files on disk are looked at again.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

class VerifyTest : public FrontEndTest {
 protected:
  void MakeTree() {
    MakeDirs(P("src/sub"));
    WriteFile(P("src/a"), RandomBytes(3000, 1));
    WriteFile(P("src/sub/b"), RandomBytes(5000, 2));
    WriteFile(P("src/sub/c"), RandomBytes(7000, 3));
  }
  void ExpectCopied() {
    for (const char* f : {"a", "sub/b", "sub/c"}) {
      EXPECT_TRUE(FilesEqual(P("src/") + f, P("dst/") + f)) << f;
    }
  }
};

TEST_F(VerifyTest, ResumeCopiesAgainTargetsDeletedOrCutSinceTheCopy) {
  MakeTree();
  RunResult r = Qv({"copy", "--verify", "always", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  ASSERT_TRUE(RemoveFileAt(P("dst/a")).ok());
  ASSERT_TRUE(SetPathLength(P("dst/sub/c"), 10).ok());

  r = Qv({"resume", task});
  EXPECT_NE(r.output.find("a: missing or changed at the target"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("c: missing or changed at the target"), std::string::npos) << r.output;
  EXPECT_TRUE(FilesEqual(P("src/a"), P("dst/a")));
  // The cut file at the target is never replaced: it is reported, and once
  // moved away the file is copied again.
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(
      r.output.find(JoinPath("sub", "c") + ": the file at the target differs from the source"),
      std::string::npos)
      << r.output;
  EXPECT_EQ(ReadFile(P("dst/sub/c")).size(), 10u);
  ASSERT_TRUE(RenameNoReplace(P("dst/sub/c"), P("c.cut")).ok());
  r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  ExpectCopied();
}

TEST_F(VerifyTest, VerifyHashesEveryCopiedFileAgainAndReportsDifferences) {
  MakeTree();
  RunResult r = Qv({"copy", "--verify", "never", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);

  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_NE(r.output.find("verified 3 files: all equal"), std::string::npos) << r.output;
  r = Qv({"status", task, "--json"});
  EXPECT_EQ(r.output.find("md5uncheck"), std::string::npos) << r.output;

  // One byte changed, the size the same: only a hash tells.
  std::string changed = ReadFile(P("dst/sub/b"));
  changed[100] = static_cast<char>(changed[100] ^ 1);
  WriteFile(P("dst/sub/b"), changed);
  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("differs: " + JoinPath("sub", "b")), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("1 differ"), std::string::npos) << r.output;
  r = Qv({"status", task, "--only", "error"});
  EXPECT_NE(r.output.find("md5error"), std::string::npos) << r.output;
  // The changed target is left as it is.
  EXPECT_EQ(ReadFile(P("dst/sub/b")), changed);
}

}  // namespace
}  // namespace quorvalmist::testing
