// Files called like the copier's temporary files are the user's: they are
// copied like any other file, never written into, renamed or removed.
#include "common/temp_name.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

class TempNamesTest : public SystemTest {};

// A source tree with pairs "f" and "f_quorvalmist_temp", and a target that
// already holds a user's file called like the temporary file of a target to
// come: every file is copied, both files of each pair end in the target, and
// the user's file is left as it was (the copy goes through the next name).
TEST_F(TempNamesTest, FilesCalledLikeTemporaryFilesAreCopiedAndNeverTaken) {
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  for (int i = 1; i <= 3; ++i) {
    std::string n = std::to_string(i);
    WriteFile(P("src/f" + n), "real " + n + RandomBytes(5000, i));
    WriteFile(P("src/f" + n + "_quorvalmist_temp"), "user data " + n);
  }
  WriteFile(P("src/g"), RandomBytes(20000, 9));
  WriteFile(P("dst/g_quorvalmist_temp"), "the user's own file");

  RunResult r = Qv({"copy", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_NE(r.output.find("done: 7 of 7 files copied"), std::string::npos) << r.output;
  for (int i = 1; i <= 3; ++i) {
    std::string n = std::to_string(i);
    EXPECT_TRUE(FilesEqual(P("src/f" + n), P("dst/f" + n))) << n;
    EXPECT_TRUE(
        FilesEqual(P("src/f" + n + "_quorvalmist_temp"), P("dst/f" + n + "_quorvalmist_temp")))
        << n;
  }
  EXPECT_TRUE(FilesEqual(P("src/g"), P("dst/g")));
  EXPECT_EQ(ReadFile(P("dst/g_quorvalmist_temp")), "the user's own file");
  EXPECT_FALSE(PathExists(P("dst/g~1_quorvalmist_temp")));
  EXPECT_FALSE(ReadFileTag(P("dst/g"), kTempTag).has_value());
}

// A source called like the temporary file of another target's stopped copy:
// that temporary file is neither judged as the user's target nor taken; the
// row stops with the reason, and the stopped copy's file stays for its resume.
TEST_F(TempNamesTest, ATargetNameHeldByAStoppedCopysTemporaryFileIsLeftToIt) {
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  WriteFile(P("src/h_quorvalmist_temp"), "a user's file");
  WriteFile(P("dst/h_quorvalmist_temp"), "half of h");
  ASSERT_TRUE(TagTempFor(P("dst/h_quorvalmist_temp"), NarrowToWide(P("dst/h"))).ok());

  RunResult r = Qv({"copy", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("held by the temporary file of another file's unfinished copy"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(ReadFile(P("dst/h_quorvalmist_temp")), "half of h");
  EXPECT_TRUE(IsTempFor(P("dst/h_quorvalmist_temp"), NarrowToWide(P("dst/h"))));
}

}  // namespace
}  // namespace quorvalmist::testing
