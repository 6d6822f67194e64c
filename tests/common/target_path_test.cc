#include "common/target_path.h"

#include <gtest/gtest.h>

namespace quorvalmist {
namespace {

TEST(TargetPathTest, NormalizesRootsAndMirrorsTheRelativePart) {
  EXPECT_EQ(NormalizeDirPath(L"/src"), L"/src/");
  EXPECT_EQ(NormalizeDirPath(L"/src/"), L"/src/");
  EXPECT_EQ(NormalizeDirPath(L"/src\\/"), L"/src/");
  EXPECT_EQ(NormalizeDirPath(L"/src//\\\\//"), L"/src/");
  EXPECT_EQ(NormalizeDirPath(L"/"), L"/");
  for (const wchar_t* root : {L"/s", L"/s/", L"/s\\/"}) {
    EXPECT_EQ(MakeTargetPath(L"/s/a b/C.txt", root, L"/t\\"), L"/t/a b/C.txt") << root;
  }
  EXPECT_EQ(JoinEntryPath(L"/s", L"x"), L"/s/x");
  EXPECT_EQ(JoinEntryPath(L"/s/", L"x"), L"/s/x");
}

}  // namespace
}  // namespace quorvalmist
